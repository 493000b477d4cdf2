#pragma once
// The persistent event queue, the cached drop policy, the upload-interval gate and
// the atomic JSON write every telemetry file goes through.
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tesmira::telemetry {

inline constexpr size_t kQueueCap = 200;

// Guards every read-modify-write of usage-queue.json (never destroyed: the upload thread uses it).
std::mutex& telemetryMutex();

std::filesystem::path queueFilePath();
std::filesystem::path policyFilePath();
std::filesystem::path uploadStateFilePath();
std::filesystem::path backoffFilePath();
std::filesystem::path tokenFilePath();

// Compact UTF-8 (invalid UTF-8 in strings replaced, never thrown).
std::string compactJson(const nlohmann::json& value);
// The parsed file, or discarded when missing or not JSON.
nlohmann::json readJsonFile(const std::filesystem::path& path);
// An integer member, or fallback when absent or of another type.
int64_t integerMember(const nlohmann::json& object, const char* key, int64_t fallback);

// Creates the folder, then writes through a temporary file of a unique name moved over
// the target (common/atomic_file.h): a failure leaves the target byte for byte.
bool writeJsonAtomic(const std::filesystem::path& path, const nlohmann::json& value);
bool writeJsonArrayAtomic(const std::filesystem::path& path, const std::vector<nlohmann::json>& events);

// Caller holds telemetryMutex. Non-objects are skipped; any failure gives an empty queue.
std::vector<nlohmann::json> loadEventQueue();
std::vector<nlohmann::json> parseEventQueue(const std::string& text);
// Appends, trims the front to the cap and writes, under the mutex.
void appendToQueue(const nlohmann::json& event);
// After a 2xx: removes, for each event sent, its first whole-object-equal element in the
// queue as it is now (the cap may have trimmed the front meanwhile; ids may repeat).
void removeSentEvents(const std::vector<nlohmann::json>& sent);

// The cached policy, or null (absent, unreadable, not an object, or expired: then deleted).
nlohmann::json loadDropPolicy();
void storePolicyFromResponse(const std::string& body);
// The policy to cache from an upload's response body, with its expiresAtUnix; discarded when none.
nlohmann::json policyFromResponse(const std::string& body, int64_t now);
bool uploadTooSoon();
// A policy member of an unexpected type keeps the event.
bool shouldDropEvent(const nlohmann::json& event, const nlohmann::json& policy);
// The text an event field or condition compares by; false when it has none.
bool jsonScalarText(const nlohmann::json& value, std::string& text);

}  // namespace tesmira::telemetry
