#pragma once
// The retouch settings fields in one table: the record member, its word in the settings
// channel, its config.json key and its place in the effect fingerprint. The channel's
// reader and writer, the config.json reader and the fingerprint all walk this table, so a
// new setting is one row here (with its record member and channel word) plus its use.
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

#include "common/channels.h"
#include "producer/retouch_settings.h"

namespace tesmira {

// How a value is bounded where it is read.
enum class FieldRange {
  kFinite,     // any finite float; anyone may write the channel, so a NaN or infinity there turns it off
  kUnit,       // a float clamped to 0..1 (a NaN read as 0)
  kFlag,       // a bool, stored as a word that is 0 or 1 and read as non-zero
  kToneIndex,  // 0..kToneCount; anything else read as natural, a negative index written as 0
};

// Where config.json gives the value.
enum class ConfigRule {
  kNone,       // no key: always the product default
  kStrength,   // a number clamped to 0..1 (else the default); 0 while the effects are switched off
  kNumber,     // a number clamped to 0..1 (else the default), whatever the effects switch says
  kSharpness,  // "quality" by name, else the "sharpen", "denoiseEnabled" and "enhanceEnabled" switches
  kToneName,   // a tone name (else the default)
};

// The effect groups of the fingerprint's active_effects, in their order there.
inline constexpr const char* kEffectGroups[] = {"skin", "teeth", "eyes"};

template <typename Value, typename Word>
struct SettingsField {
  using ValueType = Value;
  using WordType = Word;
  const char* name;  // also its config.json key under "filter" unless the rule is kNone
  Value RetouchSettings::*record;
  Word RetouchSettingsBlock::*channel;
  FieldRange range;
  ConfigRule config;
  const char* fingerprintName;    // in the fingerprint text; null: not fingerprinted
  const char* fingerprintMember;  // the fingerprint object's member
  const char* effectGroup;        // of kEffectGroups: the group a strength above 0.01 turns on; may be null
};

// Each row: name, record member, channel word, range, config.json rule, fingerprint text name
// and member, effect group. The rows stand in the order of the fingerprint text, which the
// settings hash is taken over.
inline constexpr auto kSettingsFields = std::make_tuple(
    SettingsField<float, float>{"clearSkin", &RetouchSettings::clearSkin, &RetouchSettingsBlock::clearSkin,
                                FieldRange::kFinite, ConfigRule::kStrength, "clearSkin", "clear_skin_value", "skin"},
    SettingsField<float, float>{"eyeBags", &RetouchSettings::eyeBags, &RetouchSettingsBlock::eyeBags,
                                FieldRange::kFinite, ConfigRule::kStrength, "eyeBags", "eye_bags_value", "skin"},
    SettingsField<float, float>{"wrinkles", &RetouchSettings::wrinkles, &RetouchSettingsBlock::wrinkles,
                                FieldRange::kFinite, ConfigRule::kStrength, "wrinkles", "wrinkles_value", "skin"},
    SettingsField<float, float>{"teeth", &RetouchSettings::teeth, &RetouchSettingsBlock::teeth,
                                FieldRange::kFinite, ConfigRule::kStrength, "teeth", "teeth_value", "teeth"},
    SettingsField<float, float>{"eyeWhite", &RetouchSettings::eyeWhite, &RetouchSettingsBlock::eyeWhite,
                                FieldRange::kFinite, ConfigRule::kStrength, "eyeWhite", "eye_white_value", "eyes"},
    SettingsField<float, float>{"eyeSharp", &RetouchSettings::eyeSharp, &RetouchSettingsBlock::eyeSharp,
                                FieldRange::kFinite, ConfigRule::kStrength, "eyeSharp", "eye_sharp_value", "eyes"},
    SettingsField<float, float>{"gain", &RetouchSettings::gain, &RetouchSettingsBlock::gain,
                                FieldRange::kFinite, ConfigRule::kNone, nullptr, nullptr, nullptr},
    SettingsField<bool, uint32_t>{"maskBypass", &RetouchSettings::maskBypass, &RetouchSettingsBlock::maskBypass,
                                  FieldRange::kFlag, ConfigRule::kNone, nullptr, nullptr, nullptr},
    SettingsField<float, float>{"sharpen", &RetouchSettings::sharpen, &RetouchSettingsBlock::sharpen,
                                FieldRange::kFinite, ConfigRule::kSharpness, "sharpen", "sharpen_value", nullptr},
    SettingsField<float, float>{"perspectiveStrength", &RetouchSettings::perspectiveStrength,
                                &RetouchSettingsBlock::perspectiveStrength,
                                FieldRange::kUnit, ConfigRule::kNumber, "perspective", "perspective_value", nullptr},
    SettingsField<int32_t, int32_t>{"tone", &RetouchSettings::tone, &RetouchSettingsBlock::tone,
                                    FieldRange::kToneIndex, ConfigRule::kToneName, "tone", "tone_id", nullptr});

template <typename Visit>
constexpr void forEachSettingsField(Visit&& visit) {
  std::apply([&](const auto&... field) { (visit(field), ...); }, kSettingsFields);
}

namespace settings_fields {

constexpr bool sameText(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

constexpr bool isEffectGroup(const char* group) {
  for (const char* known : kEffectGroups) {
    if (sameText(group, known)) return true;
  }
  return false;
}

// The rules each reader applies only fit some value types; a row that mixes them does not compile.
template <typename Value, typename Word>
constexpr bool rowFits(const SettingsField<Value, Word>& f) {
  const bool keyed = f.config != ConfigRule::kNone;
  if ((f.fingerprintName == nullptr) != (f.fingerprintMember == nullptr)) return false;
  if (f.effectGroup && !isEffectGroup(f.effectGroup)) return false;
  if constexpr (std::is_same_v<Value, bool>) {
    return std::is_same_v<Word, uint32_t> && f.range == FieldRange::kFlag && !keyed && !f.fingerprintName;
  } else if constexpr (std::is_same_v<Value, int32_t>) {
    return std::is_same_v<Word, int32_t> && f.range == FieldRange::kToneIndex &&
           (f.config == ConfigRule::kNone || f.config == ConfigRule::kToneName) && !f.effectGroup;
  } else {
    return std::is_same_v<Value, float> && std::is_same_v<Word, float> &&
           (f.range == FieldRange::kFinite || f.range == FieldRange::kUnit) && f.config != ConfigRule::kToneName &&
           (!f.effectGroup || f.fingerprintName);
  }
}

constexpr bool everyRowFits() {
  bool fits = true;
  forEachSettingsField([&](const auto& f) { fits = fits && rowFits(f); });
  return fits;
}

// No two rows share a record member or a channel word.
constexpr bool membersDistinct() {
  bool distinct = true;
  int i = 0;
  forEachSettingsField([&](const auto& a) {
    int j = 0;
    forEachSettingsField([&](const auto& b) {
      using A = std::decay_t<decltype(a)>;
      using B = std::decay_t<decltype(b)>;
      if constexpr (std::is_same_v<A, B>) {
        if (j > i) distinct = distinct && a.record != b.record && a.channel != b.channel;
      }
      ++j;
    });
    ++i;
  });
  return distinct;
}

// The words the rows name, in bytes.
constexpr size_t channelBytes() {
  size_t bytes = 0;
  forEachSettingsField([&](const auto& f) { bytes += sizeof(typename std::decay_t<decltype(f)>::WordType); });
  return bytes;
}

}  // namespace settings_fields

static_assert(settings_fields::everyRowFits());
static_assert(settings_fields::membersDistinct());
// Every word of the block after its header belongs to a row.
static_assert(settings_fields::channelBytes() ==
              sizeof(RetouchSettingsBlock) - offsetof(RetouchSettingsBlock, clearSkin));

}  // namespace tesmira
