#include "producer/retouch_settings.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>
#include <sstream>
#include <type_traits>

#include "common/bounded_json.h"
#include "producer/retouch_settings_fields.h"

namespace tesmira {
namespace {

using Json = nlohmann::json;

// The filter object, or null when "filter" is missing or not an object.
using Filter = const Json*;

bool filterBool(Filter filter, const char* key, bool fallback) {
  if (!filter) return fallback;
  auto it = filter->find(key);
  if (it == filter->end() || !it->is_boolean()) return fallback;
  return it->get<bool>();
}

float filterNumber(Filter filter, const char* key, float minimum, float maximum, float fallback) {
  if (!filter) return fallback;
  auto it = filter->find(key);
  if (it == filter->end() || !it->is_number()) return fallback;
  double value = it->get<double>();
  if (!std::isfinite(value)) return fallback;
  return std::clamp(static_cast<float>(value), minimum, maximum);
}

std::optional<std::string> filterString(Filter filter, const char* key) {
  if (!filter) return std::nullopt;
  auto it = filter->find(key);
  if (it == filter->end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

int32_t toneIndexFromName(Filter filter, const char* key, int32_t fallback) {
  auto name = filterString(filter, key);
  if (!name) return fallback;
  for (int32_t i = 0; i <= kToneCount; ++i) {
    if (*name == kToneNames[i]) return i;
  }
  return fallback;
}

// `key` is the number's; "quality" names a level and the two switches stand in for it.
float sharpenFrom(Filter filter, const char* key) {
  if (auto quality = filterString(filter, "quality")) {
    if (*quality == "subtle") return 0.3f;
    if (*quality == "balanced") return 0.6f;
    if (*quality == "crisp") return 1.0f;
    return 0.0f;
  }
  bool on = filterNumber(filter, key, 0.0f, 1.0f, 0.0f) > 0.0f || filterBool(filter, "denoiseEnabled", false) ||
            filterBool(filter, "enhanceEnabled", false);
  return on ? 0.6f : 0.0f;
}

// One field's value from the filter; `fallback` is its default.
template <typename Field>
typename Field::ValueType configValue(const Field& field, Filter filter, bool effectsOn,
                                      typename Field::ValueType fallback) {
  using Value = typename Field::ValueType;
  if constexpr (std::is_same_v<Value, float>) {
    switch (field.config) {
      case ConfigRule::kStrength:
        return effectsOn ? filterNumber(filter, field.name, 0.0f, 1.0f, fallback) : 0.0f;
      case ConfigRule::kNumber:
        return filterNumber(filter, field.name, 0.0f, 1.0f, fallback);
      case ConfigRule::kSharpness:
        return sharpenFrom(filter, field.name);
      default:
        break;
    }
  } else if constexpr (std::is_same_v<Value, int32_t>) {
    if (field.config == ConfigRule::kToneName) return toneIndexFromName(filter, field.name, fallback);
  }
  return RetouchSettings{}.*field.record;
}

}  // namespace

std::filesystem::path configJsonPath() {
  wchar_t appData[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"APPDATA", appData, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::filesystem::path(std::wstring(appData, length)) / "Tesmira" / "config.json";
}

LoadedSettings loadConfigSettings(const RetouchSettings& defaults) {
  try {
    auto path = configJsonPath();
    if (path.empty()) return {defaults, false};
    std::ifstream in(path, std::ios::binary);
    if (!in) return {defaults, false};
    std::ostringstream text;
    text << in.rdbuf();
    return applyFilterObject(text.str(), defaults);
  } catch (...) {
    return {defaults, false};
  }
}

LoadedSettings applyFilterObject(const std::string& jsonText, const RetouchSettings& defaults) {
  // nlohmann skips a UTF-8 byte-order mark at the start of the input.
  const Json document = parseBoundedJson(jsonText);
  if (!document.is_object()) return {defaults, false};

  Filter filter = nullptr;
  if (auto it = document.find("filter"); it != document.end() && it->is_object()) filter = &*it;

  RetouchSettings out = defaults;
  bool effectsOn = filterBool(filter, "enabled", true);
  if (effectsOn && filterString(filter, "lookPreset") == std::optional<std::string>("none")) effectsOn = false;
  forEachSettingsField(
      [&](const auto& field) { out.*field.record = configValue(field, filter, effectsOn, defaults.*field.record); });
  return {out, true};
}

}  // namespace tesmira
