#pragma once
// The effect fingerprint of a camera state and the small texts its events carry.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "producer/telemetry_sink.h"

namespace tesmira::telemetry {

// "none", "no_face", "bypass", "zero_strength", "model_error"; any other value "none".
std::string reasonName(int32_t reason);
inline constexpr int32_t kZeroStrengthReason = 3;

// A strength in percent: clamped to [0, 1], times 100 in 32-bit floating point, rounded
// half away from zero. NaN counts as 0.
int32_t strengthPercent(float strength);
nlohmann::json buildEffectFingerprint(const CameraStateSnapshot& snapshot);
// The canonical text settings_hash is taken over.
std::string fingerprintText(const CameraStateSnapshot& snapshot);

std::string effectLevel(const nlohmann::json& fingerprint, const char* member);
std::string effectLevelKey(const nlohmann::json& fingerprint);

// 64 lower-case hex digits of SHA-256 through CNG; empty when the platform hash fails.
std::string sha256Hex(const std::string& bytes);
// "%Y-%m-%dT%H:%M:%SZ" of the given Unix seconds, and of now.
std::string utcTimestamp(int64_t unixSeconds);
std::string utcTimestampNow();
// Unix seconds of "%Y-%m-%dT%H:%M:%SZ" text (UTC); 0 when it does not parse.
int64_t parseUtcTimestamp(const std::string& text);
// At most 6 significant digits, no trailing zeros (30 -> "30", 29.97 -> "29.97").
std::string shortNumber(double value);

}  // namespace tesmira::telemetry
