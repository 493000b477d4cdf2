#include "producer/telemetry/event_queue.h"

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "common/atomic_file.h"
#include "common/bounded_json.h"
#include "producer/telemetry/camera_state.h"
#include "producer/telemetry/telemetry_endpoint.h"

namespace tesmira::telemetry {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int64_t kDefaultTtlSeconds = 86400;
constexpr int64_t kMaxTtlSeconds = 604800;

constexpr const char* kAllowedFields[] = {"event_name",      "surface",     "state", "reason",
                                          "consumer_app",    "platform",    "runtime_version",
                                          "app_version",     "build",       "effect_enabled",
                                          "camera_kind"};

bool allowedField(const std::string& name) {
  return std::any_of(std::begin(kAllowedFields), std::end(kAllowedFields), [&](const char* f) { return name == f; });
}

bool isScalar(const json& value) { return value.is_string() || value.is_boolean() || value.is_number(); }

bool matchCondition(const json& condition, bool present, const std::string& text) {
  if (isScalar(condition)) {
    std::string wanted;
    jsonScalarText(condition, wanted);
    return present && text == wanted;
  }
  if (!condition.is_object()) return false;
  if (auto it = condition.find("exists"); it != condition.end() && it->is_boolean()) {
    return present == it->get<bool>();
  }
  if (auto it = condition.find("eq"); it != condition.end()) {
    std::string wanted;
    const bool has = jsonScalarText(*it, wanted);
    return has == present && (!has || wanted == text);
  }
  if (auto it = condition.find("ne"); it != condition.end()) {
    std::string wanted;
    const bool has = jsonScalarText(*it, wanted);
    return !(has == present && (!has || wanted == text));
  }
  if (auto it = condition.find("in"); it != condition.end()) {
    if (!it->is_array() || !present) return false;
    return std::any_of(it->begin(), it->end(), [&](const json& e) {
      std::string t;
      return jsonScalarText(e, t) && t == text;
    });
  }
  if (auto it = condition.find("not_in"); it != condition.end()) {
    if (!it->is_array()) return false;
    if (!present) return true;
    return std::none_of(it->begin(), it->end(), [&](const json& e) {
      std::string t;
      return jsonScalarText(e, t) && t == text;
    });
  }
  return false;
}

}  // namespace

std::mutex& telemetryMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

fs::path queueFilePath() { return telemetryFolder() / "usage-queue.json"; }
fs::path policyFilePath() { return telemetryFolder() / "telemetry-policy.json"; }
fs::path uploadStateFilePath() { return telemetryFolder() / "telemetry-policy-upload.json"; }
fs::path backoffFilePath() { return telemetryFolder() / "backend-backoff.json"; }
fs::path tokenFilePath() { return telemetryFolder() / "telemetry-token.json"; }

std::string compactJson(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

json readJsonFile(const fs::path& path) { return readBoundedJsonFile(path); }

int64_t integerMember(const json& object, const char* key, int64_t fallback) {
  if (!object.is_object()) return fallback;
  auto it = object.find(key);
  if (it == object.end() || !it->is_number_integer()) return fallback;
  return it->is_number_unsigned() ? int64_t(std::min<uint64_t>(it->get<uint64_t>(), uint64_t(INT64_MAX)))
                                  : it->get<int64_t>();
}

bool writeJsonAtomic(const fs::path& path, const json& value) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  return writeFileAtomically(path, compactJson(value)) == AtomicWrite::kDone;
}

bool writeJsonArrayAtomic(const fs::path& path, const std::vector<json>& events) {
  json array = json::array();
  for (const auto& e : events) array.push_back(e);
  return writeJsonAtomic(path, array);
}

namespace {

// The queue as a JSON array of its objects, parsed in place (no copy of the events).
json parseQueueArray(const std::string& text) {
  json queue = parseBoundedJson(text);
  if (!queue.is_array()) return json::array();
  auto& events = queue.get_ref<json::array_t&>();
  events.erase(std::remove_if(events.begin(), events.end(), [](const json& e) { return !e.is_object(); }),
               events.end());
  return queue;
}

json loadQueueArray() {
  std::ifstream in(queueFilePath(), std::ios::binary);
  if (!in) return json::array();
  std::ostringstream text;
  text << in.rdbuf();
  return parseQueueArray(text.str());
}

}  // namespace

std::vector<json> parseEventQueue(const std::string& text) {
  return std::move(parseQueueArray(text).get_ref<json::array_t&>());
}

std::vector<json> loadEventQueue() { return std::move(loadQueueArray().get_ref<json::array_t&>()); }

void appendToQueue(const json& event) {
  std::lock_guard lock(telemetryMutex());
  json queue = loadQueueArray();
  auto& events = queue.get_ref<json::array_t&>();
  events.push_back(event);
  if (events.size() > kQueueCap) events.erase(events.begin(), events.end() - kQueueCap);
  writeJsonAtomic(queueFilePath(), queue);
}

void removeSentEvents(const std::vector<json>& sent) {
  std::lock_guard lock(telemetryMutex());
  std::vector<json> events = loadEventQueue();
  bool changed = false;
  for (const auto& event : sent) {
    auto it = std::find(events.begin(), events.end(), event);
    if (it != events.end()) {
      events.erase(it);
      changed = true;
    }
  }
  if (changed) writeJsonArrayAtomic(queueFilePath(), events);
}

json loadDropPolicy() {
  json policy = readJsonFile(policyFilePath());
  if (!policy.is_object()) return nullptr;
  const int64_t expires = integerMember(policy, "expiresAtUnix", 0);
  if (expires > 0 && expires <= unixNow()) {
    DeleteFileW(policyFilePath().wstring().c_str());
    return nullptr;
  }
  return policy;
}

json policyFromResponse(const std::string& body, int64_t now) {
  const json discarded(json::value_t::discarded);
  if (body.empty()) return discarded;
  json response = parseBoundedJson(body);
  if (!response.is_object()) return discarded;
  auto it = response.find("policy");
  if (it == response.end() || !it->is_object()) return discarded;
  json policy = std::move(*it);
  int64_t ttl = kDefaultTtlSeconds;
  if (auto t = policy.find("ttl_seconds"); t != policy.end()) {
    if (!t->is_number()) return discarded;
    if (t->is_number_integer()) {
      ttl = integerMember(policy, "ttl_seconds", kDefaultTtlSeconds);
    } else {
      const double d = t->get<double>();
      ttl = d != d ? 0 : int64_t(std::clamp(d, -1e12, 1e12));
    }
  }
  policy["expiresAtUnix"] = now + std::clamp<int64_t>(ttl, 0, kMaxTtlSeconds);
  return policy;
}

void storePolicyFromResponse(const std::string& body) {
  const json policy = policyFromResponse(body, unixNow());
  if (policy.is_object()) writeJsonAtomic(policyFilePath(), policy);
}

bool uploadTooSoon() {
  const json policy = loadDropPolicy();
  if (!policy.is_object()) return false;
  const int64_t interval = integerMember(policy, "min_upload_interval_seconds", 0);
  if (interval <= 0) return false;
  const int64_t last = integerMember(readJsonFile(uploadStateFilePath()), "lastUploadAtUnix", 0);
  if (last <= 0) return false;
  return unixNow() - last < interval;
}

bool jsonScalarText(const json& value, std::string& text) {
  if (value.is_string()) {
    text = value.get<std::string>();
  } else if (value.is_boolean()) {
    text = value.get<bool>() ? "true" : "false";
  } else if (value.is_number_unsigned()) {
    text = std::to_string(value.get<uint64_t>());
  } else if (value.is_number_integer()) {
    text = std::to_string(value.get<int64_t>());
  } else if (value.is_number_float()) {
    text = shortNumber(value.get<double>());
  } else {
    return false;
  }
  return true;
}

bool shouldDropEvent(const json& event, const json& policy) {
  if (!policy.is_object()) return false;
  try {
    if (policy.value("drop_all", false)) return true;
    auto rules = policy.find("rules");
    if (rules == policy.end() || !rules->is_array()) return false;
    for (const auto& rule : *rules) {
      if (!rule.is_object() || rule.value("action", std::string()) != "drop") continue;
      auto where = rule.find("where");
      if (where == rule.end() || !where->is_object() || where->empty()) continue;
      bool holds = true;
      for (auto member = where->begin(); member != where->end() && holds; ++member) {
        if (!allowedField(member.key())) {
          holds = false;
          break;
        }
        std::string text;
        auto field = event.find(member.key());
        const bool present = field != event.end() && jsonScalarText(*field, text);
        holds = matchCondition(member.value(), present, text);
      }
      if (holds) return true;
    }
  } catch (const json::exception&) {
    // A member of another type than the policy's format: the evaluation fails and the event stays.
  }
  return false;
}

}  // namespace tesmira::telemetry
