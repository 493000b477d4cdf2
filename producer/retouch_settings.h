#pragma once
// The retouch settings record and the reading of the user's config.json; the fields'
// table that every reader and writer of them walks is retouch_settings_fields.h.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tesmira {

// Tone looks 1..kToneCount; 0 is natural (no tone). kToneNames are their config.json names.
inline constexpr int32_t kToneCount = 5;
inline constexpr const char* kToneNames[kToneCount + 1] = {"natural", "warm",   "soft",
                                                           "studio",  "window", "presenting"};
// The looks' atlas files in the resources folder: tone i's at [i - 1].
inline constexpr const char* kToneAtlasNames[kToneCount] = {"tone_warm.png", "tone_soft.png", "tone_studio.png",
                                                            "tone_window.png", "tone_presenting.png"};
// Each atlas is named "tone_" + its config.json name + ".png".
constexpr bool atlasNamesFollowToneNames() {
  for (int32_t i = 1; i <= kToneCount; ++i) {
    const std::string_view atlas = kToneAtlasNames[i - 1];
    if (!atlas.starts_with("tone_") || !atlas.ends_with(".png") || atlas.substr(5, atlas.size() - 9) != kToneNames[i])
      return false;
  }
  return true;
}
static_assert(atlasNamesFollowToneNames());
// A tone index outside 0..kToneCount (a negative one included) is natural.
constexpr int32_t toneIndexOrNatural(int32_t tone) { return uint32_t(tone) <= uint32_t(kToneCount) ? tone : 0; }

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
