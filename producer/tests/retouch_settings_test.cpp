#include "producer/retouch_settings.h"

#include <cmath>

#include "producer/tests/producer_fixture.h"
#include "tests/support/host_calls.h"

namespace tesmira {
namespace {

using testing::ProducerTest;

RetouchSettings withStrengths(float clearSkin, float eyeBags, float wrinkles, float teeth, float eyeWhite, float eyeSharp) {
  RetouchSettings s;
  s.clearSkin = clearSkin;
  s.eyeBags = eyeBags;
  s.wrinkles = wrinkles;
  s.teeth = teeth;
  s.eyeWhite = eyeWhite;
  s.eyeSharp = eyeSharp;
  return s;
}

TEST(ApplyFilterObject, KeysFallbacksAndClamps) {
  RetouchSettings defaults;
  defaults.tone = 3;
  defaults.gain = 2.5f;  // never read from the file: always 1.0
  defaults.maskBypass = true;
  auto expect = [&](auto change) {
    RetouchSettings s = defaults;
    s.gain = 1.0f;
    s.maskBypass = false;
    change(s);
    return s;
  };
  struct Case {
    const char* json;
    RetouchSettings expected;
  };
  const std::vector<Case> cases = {
      {"{}", expect([](auto&) {})},
      {R"({"filter": 5})", expect([](auto&) {})},
      {R"({"filter": {"enabled": false, "quality": "crisp"}})", expect([](auto& s) {
         s = RetouchSettings{withStrengths(0, 0, 0, 0, 0, 0)};
         s.sharpen = 1.0f;
         s.tone = 3;
       })},
      {R"({"filter": {"lookPreset": "none", "tone": "warm", "perspectiveStrength": 0.1}})", expect([](auto& s) {
         s = withStrengths(0, 0, 0, 0, 0, 0);
         s.tone = 1;
         s.perspectiveStrength = 0.1f;
       })},
      {R"({"filter": {"lookPreset": "None"}})", expect([](auto&) {})},
      {R"({"filter": {"enabled": "false"}})", expect([](auto&) {})},
      {R"({"filter": {"clearSkin": 1.7, "eyeBags": -0.2, "wrinkles": "0.5", "teeth": true, "eyeWhite": 0.5, "eyeSharp": 1}})",
       expect([](auto& s) {
         s.clearSkin = 1.0f;
         s.eyeBags = 0.0f;
         s.eyeWhite = 0.5f;
         s.eyeSharp = 1.0f;
       })},
      {R"({"filter": {"quality": "subtle"}})", expect([](auto& s) { s.sharpen = 0.3f; })},
      {R"({"filter": {"quality": "balanced"}})", expect([](auto& s) { s.sharpen = 0.6f; })},
      {R"({"filter": {"quality": "Crisp", "sharpen": 0.8}})", expect([](auto& s) { s.sharpen = 0.0f; })},
      {R"({"filter": {"sharpen": 0.01}})", expect([](auto& s) { s.sharpen = 0.6f; })},
      {R"({"filter": {"sharpen": 0, "denoiseEnabled": true}})", expect([](auto& s) { s.sharpen = 0.6f; })},
      {R"({"filter": {"enhanceEnabled": true}})", expect([](auto& s) { s.sharpen = 0.6f; })},
      {R"({"filter": {"enhanceEnabled": false, "denoiseEnabled": 1}})", expect([](auto& s) { s.sharpen = 0.0f; })},
      {R"({"filter": {"quality": 3, "sharpen": 0.5}})", expect([](auto& s) { s.sharpen = 0.6f; })},
      {R"({"filter": {"tone": "presenting"}})", expect([](auto& s) { s.tone = 5; })},
      {R"({"filter": {"tone": "natural"}})", expect([](auto& s) { s.tone = 0; })},
      {R"({"filter": {"tone": "Warm"}})", expect([](auto&) {})},
      {R"({"filter": {"tone": 3}})", expect([](auto&) {})},
      {R"({"filter": {"perspectiveStrength": 4}})", expect([](auto& s) { s.perspectiveStrength = 1.0f; })},
      {"\xEF\xBB\xBF{\"filter\": {\"teeth\": 0.125}}", expect([](auto& s) { s.teeth = 0.125f; })},
  };
  for (const auto& c : cases) {
    LoadedSettings loaded = applyFilterObject(c.json, defaults);
    EXPECT_TRUE(loaded.valid) << c.json;
    EXPECT_EQ(loaded.settings, c.expected) << c.json;
  }
}

// One key at a time, so a key read into another field shows.
TEST(ApplyFilterObject, EachKeySetsItsOwnField) {
  struct Case {
    const char* key;
    float RetouchSettings::*field;
  };
  const Case cases[] = {
      {"clearSkin", &RetouchSettings::clearSkin}, {"eyeBags", &RetouchSettings::eyeBags},
      {"wrinkles", &RetouchSettings::wrinkles},   {"teeth", &RetouchSettings::teeth},
      {"eyeWhite", &RetouchSettings::eyeWhite},   {"eyeSharp", &RetouchSettings::eyeSharp},
      {"perspectiveStrength", &RetouchSettings::perspectiveStrength},
  };
  for (const Case& c : cases) {
    const std::string json = std::string(R"({"filter": {")") + c.key + R"(": 0.125}})";
    RetouchSettings expected;
    expected.*c.field = 0.125f;
    EXPECT_EQ(applyFilterObject(json, {}).settings, expected) << c.key;
  }
  const std::pair<const char*, int32_t> tones[] = {{"natural", 0}, {"warm", 1},   {"soft", 2},
                                                  {"studio", 3},  {"window", 4}, {"presenting", 5}};
  for (const auto& [name, tone] : tones) {
    RetouchSettings defaults;
    defaults.tone = tone == 0 ? 1 : 0;
    EXPECT_EQ(applyFilterObject(std::string(R"({"filter": {"tone": ")") + name + R"("}})", defaults).settings.tone, tone)
        << name;
  }
}

TEST(ApplyFilterObject, DocumentsThatAreNotAnObjectAreNotValid) {
  // A number beyond double range is a parse error of the JSON reader, so the whole file is refused.
  for (const char* json : {"[]", R"({"filter": {},})", "", "nul", "\"text\"", "{\"a\": 1} trailing",
                           R"({"filter": {"clearSkin": 1e400}})"}) {
    EXPECT_FALSE(applyFilterObject(json, {}).valid) << json;
  }
}

TEST(ApplyFilterObject, ADeepDocumentGivesTheDefaultsOnAOneMebibyteStack) {
  const std::string deep =
      R"({"filter": {"clearSkin": 0.1, "x": )" + std::string(100000, '[') + std::string(100000, ']') + "}}";
  RetouchSettings defaults;
  defaults.clearSkin = 0.5f;
  ASSERT_TRUE(tesmira::testing::runOnStackOf(1 << 20, [&] {
    const LoadedSettings loaded = applyFilterObject(deep, defaults);
    EXPECT_FALSE(loaded.valid);
    EXPECT_EQ(loaded.settings, defaults);
  }));
}

class ConfigJsonTest : public ProducerTest {};

TEST_F(ConfigJsonTest, IsReadFromAppDataTesmira) {
  EXPECT_FALSE(loadConfigSettings({}).valid);  // no file yet
  touch(root() / "AppData/Tesmira/config.json", R"({"filter": {"clearSkin": 0.9}})");
  EXPECT_EQ(configJsonPath(), root() / "AppData/Tesmira/config.json");
  LoadedSettings loaded = loadConfigSettings({});
  EXPECT_TRUE(loaded.valid);
  EXPECT_FLOAT_EQ(loaded.settings.clearSkin, 0.9f);
  touch(root() / "AppData/Tesmira/config.json", "{ broken");
  EXPECT_FALSE(loadConfigSettings({}).valid);
}

TEST_F(ConfigJsonTest, AnUnsetOrTooLongAppDataGivesNoPath) {
  SetEnvironmentVariableW(L"APPDATA", nullptr);
  EXPECT_TRUE(configJsonPath().empty());
  EXPECT_FALSE(loadConfigSettings({}).valid);
  const std::string longest = "/" + std::string(258, 'a');  // 259 characters: still fits
  SetEnvironmentVariableW(L"APPDATA", std::filesystem::path(longest).wstring().c_str());
  EXPECT_FALSE(configJsonPath().empty());
  SetEnvironmentVariableW(L"APPDATA", std::filesystem::path((longest + "b")).wstring().c_str());
  EXPECT_TRUE(configJsonPath().empty());
}

}  // namespace
}  // namespace tesmira
