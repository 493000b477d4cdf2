#include "producer/telemetry/camera_state.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "producer/telemetry/telemetry_endpoint.h"

namespace tesmira::telemetry {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = int64_t(yoe) + era * 400 + (m <= 2);
}

}  // namespace

std::string reasonName(int32_t reason) {
  switch (reason) {
    case 1:
      return "no_face";
    case 2:
      return "bypass";
    case 3:
      return "zero_strength";
    case 5:
      return "model_error";
    default:
      return "none";
  }
}

int32_t strengthPercent(float strength) {
  if (std::isnan(strength)) return 0;  // settings arrive unchecked
  const float percent = std::clamp(strength, 0.0f, 1.0f) * 100.0f;
  return int32_t(std::lround(percent));
}

std::string fingerprintText(const CameraStateSnapshot& s) {
  const RetouchSettings& r = s.settings;
  const uint32_t tone = uint32_t(r.tone) <= 5 ? uint32_t(r.tone) : 0;
  return "enabled=" + std::string(s.bypass ? "0" : "1") + "|clearSkin=" + std::to_string(strengthPercent(r.clearSkin)) +
         "|eyeBags=" + std::to_string(strengthPercent(r.eyeBags)) +
         "|wrinkles=" + std::to_string(strengthPercent(r.wrinkles)) +
         "|teeth=" + std::to_string(strengthPercent(r.teeth)) +
         "|eyeWhite=" + std::to_string(strengthPercent(r.eyeWhite)) +
         "|eyeSharp=" + std::to_string(strengthPercent(r.eyeSharp)) +
         "|sharpen=" + std::to_string(strengthPercent(r.sharpen)) +
         "|perspective=" + std::to_string(strengthPercent(r.perspectiveStrength)) + "|tone=" + std::to_string(tone);
}

nlohmann::json buildEffectFingerprint(const CameraStateSnapshot& s) {
  const RetouchSettings& r = s.settings;
  auto above = [](float v) { return v > 0.01f; };
  nlohmann::json active = nlohmann::json::array();
  if (!s.bypass) {
    if (above(r.clearSkin) || above(r.eyeBags) || above(r.wrinkles)) active.push_back("skin");
    if (above(r.teeth)) active.push_back("teeth");
    if (above(r.eyeWhite) || above(r.eyeSharp)) active.push_back("eyes");
  }
  nlohmann::json f = nlohmann::json::object();
  f["settings_hash"] = sha256Hex(fingerprintText(s));
  f["effect_enabled"] = !s.bypass && !active.empty();
  f["active_effects"] = std::move(active);
  f["clear_skin_value"] = strengthPercent(r.clearSkin);
  f["teeth_value"] = strengthPercent(r.teeth);
  f["eye_white_value"] = strengthPercent(r.eyeWhite);
  f["eye_bags_value"] = strengthPercent(r.eyeBags);
  f["wrinkles_value"] = strengthPercent(r.wrinkles);
  f["eye_sharp_value"] = strengthPercent(r.eyeSharp);
  f["sharpen_value"] = strengthPercent(r.sharpen);
  f["perspective_value"] = strengthPercent(r.perspectiveStrength);
  f["tone_id"] = uint32_t(r.tone) <= 5 ? r.tone : 0;
  return f;
}

std::string effectLevel(const nlohmann::json& fingerprint, const char* member) {
  auto it = fingerprint.find(member);
  if (it == fingerprint.end() || !it->is_number_integer()) return "unknown";
  const int64_t value = it->get<int64_t>();
  if (value < 2) return "off";
  if (value < 34) return "low";
  if (value >= 67) return "high";
  return "medium";
}

std::string effectLevelKey(const nlohmann::json& f) {
  return effectLevel(f, "clear_skin_value") + ":" + effectLevel(f, "teeth_value") + ":" +
         effectLevel(f, "eye_white_value") + ":" + effectLevel(f, "eye_bags_value") + ":" +
         effectLevel(f, "wrinkles_value");
}

std::string sha256Hex(const std::string& bytes) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return {};
  std::string hex;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
    std::vector<UCHAR> input(bytes.begin(), bytes.end());
    UCHAR digest[32];
    if (BCRYPT_SUCCESS(BCryptHashData(hash, input.data(), ULONG(input.size()), 0)) &&
        BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof(digest), 0))) {
      static const char* kDigits = "0123456789abcdef";
      for (UCHAR b : digest) {
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 15]);
      }
    }
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return hex;
}

std::string utcTimestamp(int64_t unixSeconds) {
  int64_t days = unixSeconds / 86400;
  int64_t rest = unixSeconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  civilFromDays(days, year, month, day);
  char text[40];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(year), month, day,
                unsigned(rest / 3600), unsigned(rest / 60 % 60), unsigned(rest % 60));
  return text;
}

std::string utcTimestampNow() { return utcTimestamp(unixNow()); }

int64_t parseUtcTimestamp(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &year, &month, &day, &hour, &minute, &second,
                  &consumed) != 6 ||
      consumed == 0) {
    return 0;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 || hour < 0 ||
      minute < 0 || second < 0) {
    return 0;
  }
  return daysFromCivil(year, unsigned(month), unsigned(day)) * 86400 + hour * 3600 + minute * 60 + second;
}

std::string shortNumber(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace tesmira::telemetry
