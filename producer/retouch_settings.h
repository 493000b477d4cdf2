#pragma once
// The retouch settings record and the reading of the user's config.json.
#include <cstdint>
#include <filesystem>
#include <string>

#include "producer/retouch_limits.h"

namespace tesmira {

struct RetouchSettings {
  float clearSkin = 0.75f;
  float eyeBags = 0.25f;
  float wrinkles = 0.65f;
  float teeth = 0.45f;
  float eyeWhite = 0.22f;
  float eyeSharp = 0.25f;
  float gain = 1.0f;
  bool maskBypass = false;
  float sharpen = 0.0f;
  int32_t tone = 0;
  float perspectiveStrength = 0.55f;

  bool operator==(const RetouchSettings&) const = default;
};

struct LoadedSettings {
  RetouchSettings settings;
  bool valid = false;
};

// %APPDATA%\Tesmira\config.json; empty when APPDATA is unset or 260 characters or longer.
std::filesystem::path configJsonPath();
// Never throws: an unreadable or malformed file is reported as not valid.
LoadedSettings loadConfigSettings(const RetouchSettings& defaults);
LoadedSettings applyFilterObject(const std::string& jsonText, const RetouchSettings& defaults);

}  // namespace tesmira
