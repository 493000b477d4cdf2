#include "producer/producer_channels.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "producer/tests/producer_fixture.h"

namespace tesmira {
namespace {

using testing::ProducerTest;

RetouchSettings seeded() {
  RetouchSettings s;
  s.clearSkin = 0.9f;
  s.maskBypass = true;
  s.sharpen = 0.6f;
  s.tone = -3;
  return s;
}

TEST(SettingsBlock, ABlockWithAWrongHeadIsRepairedAndSeeded) {
  for (auto [magic, version] : {std::pair{0u, 0u}, {kRetouchSettingsMagic, 5u}, {0x12345678u, 6u}}) {
    RetouchSettingsBlock block;
    std::memset(&block, 0xAB, sizeof block);
    block.magic = magic;
    block.version = version;
    seedSettingsBlock(block, seeded());
    EXPECT_EQ(block.magic, kRetouchSettingsMagic);
    EXPECT_EQ(block.version, 6u);
    EXPECT_EQ(block.ownerFlag, 0u);
    EXPECT_FLOAT_EQ(block.clearSkin, 0.9f);
    EXPECT_FLOAT_EQ(block.eyeBags, 0.25f);
    EXPECT_EQ(block.maskBypass, 1u);
    EXPECT_FLOAT_EQ(block.sharpen, 0.6f);
    EXPECT_EQ(block.tone, 0);  // negative tones are written as 0
    EXPECT_FLOAT_EQ(block.perspectiveStrength, 0.55f);
  }
}

// The product defaults and the channel's seed are written in two places; they must agree.
TEST(SettingsBlock, ProductDefaultsSeedTheSameBlockAsTheChannelSeed) {
  RetouchSettingsBlock block{};
  seedSettingsBlock(block, RetouchSettings{});
  const RetouchSettingsBlock seed = freshRetouchSettingsBlock();
  EXPECT_EQ(std::memcmp(&block, &seed, sizeof block), 0);
}

TEST(SettingsBlock, AnOwnedBlockKeepsItsValues) {
  RetouchSettingsBlock block{};
  seedSettingsBlock(block, {});
  block.ownerFlag = 1;
  block.clearSkin = 0.1f;
  seedSettingsBlock(block, seeded());
  EXPECT_FLOAT_EQ(block.clearSkin, 0.1f);
  EXPECT_EQ(block.ownerFlag, 1u);
}

TEST(SettingsBlock, FrameSettingsClampToneAndPerspectiveOnly) {
  RetouchSettingsBlock block{};
  seedSettingsBlock(block, {});
  block.clearSkin = 3.0f;  // strengths and gain are taken as stored
  block.gain = -2.0f;
  block.maskBypass = 7;
  struct Case {
    int32_t tone;
    float perspective;
    int32_t expectedTone;
    float expectedPerspective;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const Case& c : {Case{7, 1.5f, 0, 1.0f}, Case{-1, -0.2f, 0, 0.0f}, Case{5, 0.3f, 5, 0.3f}, Case{0, nan, 0, 0.0f}}) {
    block.tone = c.tone;
    block.perspectiveStrength = c.perspective;
    RetouchSettings s = frameSettings(&block, seeded());
    EXPECT_EQ(s.tone, c.expectedTone);
    EXPECT_FLOAT_EQ(s.perspectiveStrength, c.expectedPerspective);
    EXPECT_FLOAT_EQ(s.clearSkin, 3.0f);
    EXPECT_FLOAT_EQ(s.gain, -2.0f);
    EXPECT_TRUE(s.maskBypass);
  }
  block.version = 5;
  EXPECT_EQ(frameSettings(&block, seeded()), seeded());
  EXPECT_EQ(frameSettings(nullptr, seeded()), seeded());
}

TEST(SettingsBlock, NonFiniteStrengthsGainAndSharpenAreOff) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  float RetouchSettingsBlock::*const blockFields[] = {
      &RetouchSettingsBlock::clearSkin, &RetouchSettingsBlock::eyeBags,  &RetouchSettingsBlock::wrinkles,
      &RetouchSettingsBlock::teeth,     &RetouchSettingsBlock::eyeWhite, &RetouchSettingsBlock::eyeSharp,
      &RetouchSettingsBlock::gain,      &RetouchSettingsBlock::sharpen};
  float RetouchSettings::*const fields[] = {&RetouchSettings::clearSkin, &RetouchSettings::eyeBags,
                                            &RetouchSettings::wrinkles,  &RetouchSettings::teeth,
                                            &RetouchSettings::eyeWhite,  &RetouchSettings::eyeSharp,
                                            &RetouchSettings::gain,      &RetouchSettings::sharpen};
  for (size_t i = 0; i < std::size(fields); ++i) {
    for (const float bad : {inf, -inf, nan}) {
      RetouchSettingsBlock block{};
      seedSettingsBlock(block, {});
      block.*blockFields[i] = bad;
      RetouchSettings expected;
      expected.*fields[i] = 0.0f;
      SCOPED_TRACE(::testing::Message() << "field " << i << " = " << bad);
      EXPECT_EQ(frameSettings(&block, seeded()), expected);
    }
    // A huge finite value is a value: the engine saturates it.
    RetouchSettingsBlock block{};
    seedSettingsBlock(block, {});
    block.*blockFields[i] = 3e38f;
    EXPECT_EQ(frameSettings(&block, seeded()).*fields[i], 3e38f);
  }
}

// Each setting travels in its own word of the block, both ways: a record field written to
// another's word, or read from it, shows here.
TEST(SettingsBlock, EachSettingHasItsOwnWord) {
  struct Case {
    const char* name;
    void (*set)(RetouchSettings&);
    size_t offset;
    uint32_t word;  // the bytes written there
  };
  auto bits = [](float v) {
    uint32_t w;
    std::memcpy(&w, &v, sizeof w);
    return w;
  };
  const Case cases[] = {
      {"clearSkin", [](RetouchSettings& s) { s.clearSkin = 0.125f; }, 12, bits(0.125f)},
      {"eyeBags", [](RetouchSettings& s) { s.eyeBags = 0.125f; }, 16, bits(0.125f)},
      {"wrinkles", [](RetouchSettings& s) { s.wrinkles = 0.125f; }, 20, bits(0.125f)},
      {"teeth", [](RetouchSettings& s) { s.teeth = 0.125f; }, 24, bits(0.125f)},
      {"eyeWhite", [](RetouchSettings& s) { s.eyeWhite = 0.125f; }, 28, bits(0.125f)},
      {"eyeSharp", [](RetouchSettings& s) { s.eyeSharp = 0.125f; }, 32, bits(0.125f)},
      {"gain", [](RetouchSettings& s) { s.gain = 0.125f; }, 36, bits(0.125f)},
      {"maskBypass", [](RetouchSettings& s) { s.maskBypass = true; }, 40, 1u},
      {"sharpen", [](RetouchSettings& s) { s.sharpen = 0.125f; }, 44, bits(0.125f)},
      {"tone", [](RetouchSettings& s) { s.tone = 4; }, 48, 4u},
      {"perspectiveStrength", [](RetouchSettings& s) { s.perspectiveStrength = 0.125f; }, 52, bits(0.125f)},
  };
  const RetouchSettingsBlock defaults = freshRetouchSettingsBlock();
  for (const Case& c : cases) {
    RetouchSettings changed;
    c.set(changed);
    RetouchSettingsBlock block = defaults;
    writeSettingsFields(block, changed);
    RetouchSettingsBlock expected = defaults;
    std::memcpy(reinterpret_cast<uint8_t*>(&expected) + c.offset, &c.word, sizeof c.word);
    EXPECT_EQ(std::memcmp(&block, &expected, sizeof block), 0) << c.name;
    EXPECT_EQ(frameSettings(&expected, {}), changed) << c.name;
  }
}

// An outside writer (the demo) writes through the same rule as the seed.
TEST(SettingsBlock, WritingTheFieldsLeavesTheHeadAndOwnerAlone) {
  RetouchSettingsBlock block = freshRetouchSettingsBlock();
  block.ownerFlag = 1;
  writeSettingsFields(block, seeded());
  EXPECT_TRUE(hasCurrentHeader(block));
  EXPECT_EQ(block.ownerFlag, 1u);
  EXPECT_FLOAT_EQ(block.clearSkin, 0.9f);
  EXPECT_EQ(block.tone, 0);  // -3 written as 0
}

TEST(ControlBlock, AWrongVersionBecomesAFreshBlockAndAValidOneStays) {
  VcamControlBlock block;
  std::memset(&block, 0x5A, sizeof block);
  block.magic = kVcamControlMagic;
  block.version = 1;
  repairControlBlock(block);
  VcamControlBlock expected{};
  expected.magic = kVcamControlMagic;
  expected.version = 2;
  expected.fallbackWidth = 1280;
  expected.fallbackHeight = 720;
  expected.fallbackNumerator = 30;
  expected.fallbackDenominator = 1;
  EXPECT_EQ(std::memcmp(&block, &expected, sizeof block), 0);

  block.cameraIndex = 3;
  block.requestTick = 99;
  repairControlBlock(block);
  EXPECT_EQ(block.cameraIndex, 3u);
  EXPECT_EQ(block.requestTick, 99u);
}

VcamControlBlock freshControl() {
  VcamControlBlock block{};
  repairControlBlock(block);
  return block;
}

TEST(ReadControl, DemandWindowIsThreeSecondsInclusive) {
  const uint64_t now = 100000;
  struct Case {
    uint64_t requestTick;
    uint64_t streamStartTick;
    bool demand;
  };
  const std::vector<Case> cases = {
      {now - 3000, 0, true},   {now - 3001, 0, false}, {now + 1, 0, false},     {0, 0, false},
      {0, now - 10, true},     {now - 5000, now, true}, {now, now + 5, false}, {now - 3001, now - 2999, true},
  };
  for (const auto& c : cases) {
    VcamControlBlock block = freshControl();
    block.requestTick = c.requestTick;
    block.streamStartTick = c.streamStartTick;
    EXPECT_EQ(readControl(&block, now).demand, c.demand) << c.requestTick << " " << c.streamStartTick;
  }
  VcamControlBlock invalid = freshControl();
  invalid.requestTick = now;
  invalid.version = 3;
  EXPECT_FALSE(readControl(&invalid, now).demand);
  EXPECT_FALSE(readControl(&invalid, now).valid);
  EXPECT_FALSE(readControl(nullptr, now).demand);
}

TEST(ReadControl, CaptureRequestFallsBackInOrder) {
  const uint64_t now = 50000;
  auto request = [&](uint64_t formatTick, std::array<uint32_t, 4> wanted, std::array<uint32_t, 4> fallback) {
    VcamControlBlock block = freshControl();
    block.cameraIndex = 2;
    block.formatTick = formatTick;
    block.width = wanted[0];
    block.height = wanted[1];
    block.fpsNumerator = wanted[2];
    block.fpsDenominator = wanted[3];
    block.fallbackWidth = fallback[0];
    block.fallbackHeight = fallback[1];
    block.fallbackNumerator = fallback[2];
    block.fallbackDenominator = fallback[3];
    CaptureRequest r = readControl(&block, now).request;
    return std::array<uint32_t, 5>{uint32_t(r.cameraIndex), r.width, r.height, r.fpsNumerator, r.fpsDenominator};
  };
  using A = std::array<uint32_t, 5>;
  EXPECT_EQ(request(now - 3000, {1920, 1080, 60, 1}, {640, 480, 15, 1}), (A{2, 1920, 1080, 60, 1}));
  EXPECT_EQ(request(now - 3001, {1920, 1080, 60, 1}, {640, 480, 15, 1}), (A{2, 640, 480, 15, 1}));
  EXPECT_EQ(request(now + 1, {1920, 1080, 60, 1}, {640, 480, 15, 1}), (A{2, 640, 480, 15, 1}));
  for (int zero = 0; zero < 4; ++zero) {
    std::array<uint32_t, 4> wanted{1920, 1080, 60, 1};
    wanted[zero] = 0;
    EXPECT_EQ(request(now, wanted, {640, 480, 15, 1}), (A{2, 640, 480, 15, 1}));
    std::array<uint32_t, 4> fallback{640, 480, 15, 1};
    fallback[zero] = 0;
    EXPECT_EQ(request(now, wanted, fallback), (A{0, 1280, 720, 30, 1}));
  }
  CaptureRequest none = readControl(nullptr, now).request;
  EXPECT_EQ((A{uint32_t(none.cameraIndex), none.width, none.height, none.fpsNumerator, none.fpsDenominator}),
            (A{0, 1280, 720, 30, 1}));
}

TEST(ReadControl, SurfacesFollowThePreviewAndFormatTicks) {
  const uint64_t now = 70000;
  VcamControlBlock block = freshControl();
  block.previewTick = now - 3000;
  block.formatTick = now - 3001;
  ControlReading r = readControl(&block, now);
  EXPECT_TRUE(r.preview);
  EXPECT_FALSE(r.vcam);
  block.previewTick = now + 2;
  block.formatTick = now;
  r = readControl(&block, now);
  EXPECT_FALSE(r.preview);
  EXPECT_TRUE(r.vcam);
}

TEST(ConsumerKey, FirstEntryOfAFreshValidBlock) {
  const uint64_t now = 90000;
  VcamConsumersBlock block{};
  block.magic = kVcamConsumersMagic;
  block.version = 1;
  block.count = 1;
  block.tick = now - 5000;
  std::memcpy(block.entries[0].key, "zoom.exe", 8);
  EXPECT_EQ(consumerKeyFrom(&block, now), "zoom.exe");
  std::memset(block.entries[0].key, 'k', sizeof block.entries[0].key);  // no terminator: cut at 63
  EXPECT_EQ(consumerKeyFrom(&block, now), std::string(63, 'k'));
  for (auto spoil : std::vector<std::function<void(VcamConsumersBlock&)>>{
           [](auto& b) { b.count = 0; }, [&](auto& b) { b.tick = now - 5001; }, [&](auto& b) { b.tick = now + 1; },
           [](auto& b) { b.tick = 0; }, [](auto& b) { b.version = 2; }, [](auto& b) { b.magic = 0; }}) {
    VcamConsumersBlock spoiled = block;
    spoil(spoiled);
    EXPECT_EQ(consumerKeyFrom(&spoiled, now), "");
  }
  EXPECT_EQ(consumerKeyFrom(nullptr, now), "");
}

class ChannelOpenTest : public ProducerTest {};

TEST_F(ChannelOpenTest, OpenersRepairSeedAndLog) {
  MappedChannel control, settings;
  openVcamControl(control);
  openRetouchSettings(settings, seeded());
  ASSERT_NE(control.view, nullptr);
  ASSERT_NE(settings.view, nullptr);
  EXPECT_EQ(static_cast<VcamControlBlock*>(control.view)->version, 2u);
  EXPECT_EQ(static_cast<VcamControlBlock*>(control.view)->fallbackWidth, 1280u);
  EXPECT_FLOAT_EQ(static_cast<RetouchSettingsBlock*>(settings.view)->clearSkin, 0.9f);
  EXPECT_EQ(logCount("control mapping ready"), 1u);
  EXPECT_EQ(logCount("settings mapping ready"), 1u);
  closeMapping(control);
  closeMapping(settings);
  EXPECT_EQ(control.view, nullptr);
  EXPECT_EQ(control.mapping, nullptr);
}

}  // namespace
}  // namespace tesmira
