#include "agent/capabilities.h"

#include <gtest/gtest.h>
#include <mfapi.h>

#include <cstring>
#include <ostream>

#include "agent/tests/agent_doubles.h"
#include "agent/tests/channel_fixture.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
inline bool operator==(const CameraCapability& a, const CameraCapability& b) {
  return a.width == b.width && a.height == b.height && a.fpsNumerator == b.fpsNumerator &&
         a.fpsDenominator == b.fpsDenominator;
}
inline std::ostream& operator<<(std::ostream& out, const CameraCapability& c) {
  return out << c.width << "x" << c.height << "@" << c.fpsNumerator << "/" << c.fpsDenominator;
}
}  // namespace tesmira

namespace tesmira::agent {
namespace {

namespace cams = tesmira::platform::testcameras;
using cams::Format;
using cams::Mode;
using Caps = std::vector<CameraCapability>;
using tesmira::agent::testing::RecordingLog;
using tesmira::agent::testing::TestChannel;

constexpr const wchar_t* kFallbackLine = L"camera capability enumeration failed/empty; using 1280x720@30 fallback";

Mode mode(uint32_t w, uint32_t h, uint32_t num, uint32_t den = 1, Format format = Format::NV12) {
  Mode m;
  m.width = w;
  m.height = h;
  m.fpsNumerator = num;
  m.fpsDenominator = den;
  m.format = format;
  return m;
}
Mode ranged(Mode m, cams::Ratio min, cams::Ratio max) {
  m.rangeMin = min;
  m.rangeMax = max;
  return m;
}
Mode withoutRate(Mode m) {
  m.withoutFrameRate = true;
  return m;
}
Mode withoutSize(Mode m) {
  m.withoutFrameSize = true;
  return m;
}

class CapabilitiesTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    cams::setV4l2Discovery(false);
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_LITE), S_OK);
  }
  void TearDown() override {
    MFShutdown();
    MachineTest::TearDown();
  }
  static void install(const cams::TestCamera& camera, int order = 0) { cams::installTestCamera(camera, order); }
  static cams::TestCamera camera(std::vector<Mode> modes) {
    cams::TestCamera c;
    c.modes = std::move(modes);
    return c;
  }
  void seedChannel() { channel.create(kVcamCapabilitiesChannelName, freshVcamCapabilitiesBlock()); }
  VcamCapabilitiesBlock& block() { return *channel.as<VcamCapabilitiesBlock>(); }
  Caps published() {
    return Caps(block().entries, block().entries + std::min<uint32_t>(block().count, kMaxCameraCapabilities));
  }

  TestChannel channel;
  RecordingLog log;
  CapabilityPublication state;
};

// ---- enumeration and reduction on scripted cameras ----------------------------

struct EnumerationCase {
  const char* name;
  std::vector<Mode> modes;
  Caps expected;
};

class EnumerationTest : public CapabilitiesTest, public ::testing::WithParamInterface<EnumerationCase> {};

TEST_P(EnumerationTest, PublishesTheReducedModes) {
  install(camera(GetParam().modes));
  EXPECT_EQ(enumerateCameraCapabilities(0), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, EnumerationTest,
    ::testing::Values(
        EnumerationCase{"OversizeFoldsIntoTheSameRate720p",
                        {mode(1920, 1080, 30), mode(1280, 720, 30), mode(640, 480, 30)},
                        {{1280, 720, 30, 1}, {640, 480, 30, 1}}},
        EnumerationCase{"FastOversizeWithoutRangeGivesNothing", {mode(1920, 1080, 60)}, {}},
        EnumerationCase{"RangeBringsAFastOversizeDownTo30",
                        {ranged(mode(1920, 1080, 60), {15, 1}, {60, 1})},
                        {{1280, 720, 30, 1}}},
        EnumerationCase{"TwoRatesOfOneSizeFasterFirst",
                        {mode(1280, 720, 15), mode(1280, 720, 30)},
                        {{1280, 720, 30, 1}, {1280, 720, 15, 1}}},
        EnumerationCase{"OddAndZeroSizesAreNeverListed",
                        {mode(641, 480, 30, 1, Format::BGR24), mode(640, 481, 30, 1, Format::BGR24), mode(0, 0, 30),
                         mode(0, 480, 30), mode(640, 480, 30)},
                        {{640, 480, 30, 1}}},
        EnumerationCase{"PortraitOnlyOversizeGivesPortrait720p", {mode(1080, 1920, 30)}, {{720, 1280, 30, 1}}},
        EnumerationCase{"EachOrientationFoldsItsOwnCandidate",
                        {mode(1920, 1080, 15), mode(1080, 1920, 24), mode(2560, 1440, 30)},
                        {{1280, 720, 30, 1}, {720, 1280, 24, 1}}},
        EnumerationCase{"ASlower720pDoesNotCoverAFasterCandidate",
                        {mode(1280, 720, 24), mode(1920, 1080, 30)},
                        {{1280, 720, 30, 1}, {1280, 720, 24, 1}}},
        EnumerationCase{"AnEqualRateCandidateIsCoveredOnce",
                        {mode(1920, 1080, 30), mode(2560, 1440, 30), mode(1280, 720, 30)},
                        {{1280, 720, 30, 1}}},
        EnumerationCase{"NominalRateWithinTheRangeIsKept",
                        {ranged(mode(640, 480, 25), {5, 1}, {30, 1})},
                        {{640, 480, 25, 1}}},
        EnumerationCase{"RangeStartingAbove30SkipsTheType",
                        {ranged(mode(640, 480, 60), {60, 1}, {120, 1}), mode(320, 240, 30)},
                        {{320, 240, 30, 1}}},
        EnumerationCase{"RangeMaximumStandsInForAMissingRate",
                        {withoutRate(ranged(mode(640, 480, 30), {5, 1}, {24, 1}))},
                        {{640, 480, 24, 1}}},
        EnumerationCase{"FastRangeMaximumGives30",
                        {ranged(mode(640, 480, 60), {5, 1}, {60, 1})},
                        {{640, 480, 30, 1}}},
        EnumerationCase{"ARangeWithAZeroIsIncompleteSoTheRateRules",
                        {ranged(mode(640, 480, 60), {0, 1}, {60, 1}), ranged(mode(320, 240, 30), {15, 1}, {30, 0})},
                        {{320, 240, 30, 1}}},
        EnumerationCase{"NoRateAndNoRangeSkipsTheType", {withoutRate(mode(640, 480, 30)), mode(320, 240, 15)},
                        {{320, 240, 15, 1}}},
        EnumerationCase{"NoSizeSkipsTheType", {withoutSize(mode(640, 480, 30)), mode(320, 240, 15)},
                        {{320, 240, 15, 1}}},
        EnumerationCase{"NtscRatesCompareExactly",
                        {mode(640, 480, 30000, 1001), mode(320, 240, 60000, 1001), mode(160, 120, 30001, 1000)},
                        {{640, 480, 30000, 1001}}},
        EnumerationCase{"TheSameTupleInTwoPixelFormatsIsListedOnce",
                        {mode(640, 480, 30, 1, Format::NV12), mode(640, 480, 30, 1, Format::YUYV),
                         mode(640, 480, 60, 2, Format::BGR24)},
                        {{640, 480, 30, 1}, {640, 480, 60, 2}}},
        EnumerationCase{"LargerAreaFirstThenFasterKeepingTheReaderOrderOtherwise",
                        {mode(320, 240, 30), mode(640, 360, 15), mode(640, 480, 15), mode(640, 360, 30),
                         mode(480, 640, 15)},
                        {{640, 480, 15, 1}, {480, 640, 15, 1}, {640, 360, 30, 1}, {640, 360, 15, 1}, {320, 240, 30, 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CapabilitiesTest, MoreThan128DistinctTypesKeepTheLargest128) {
  std::vector<Mode> modes;
  for (uint32_t i = 1; i <= 130; ++i) modes.push_back(mode(2 * i, 2, 30));
  install(camera(modes));
  const Caps caps = enumerateCameraCapabilities(0);
  ASSERT_EQ(caps.size(), 128u);
  EXPECT_EQ(caps.front(), (CameraCapability{260, 2, 30, 1}));
  EXPECT_EQ(caps.back(), (CameraCapability{6, 2, 30, 1}));
}

TEST_F(CapabilitiesTest, AFailingIndexIsSkippedAndTheRestRead) {
  cams::TestCamera c = camera({mode(640, 480, 30), mode(320, 240, 30), mode(160, 120, 30)});
  c.nativeTypeFailures = {{1, E_UNEXPECTED}};
  install(c);
  EXPECT_EQ(enumerateCameraCapabilities(0), (Caps{{640, 480, 30, 1}, {160, 120, 30, 1}}));
}

TEST_F(CapabilitiesTest, AReaderFailingEveryIndexEnds) {
  cams::TestCamera c = camera({mode(640, 480, 30)});
  c.everyNativeTypeError = E_UNEXPECTED;
  install(c);
  EXPECT_TRUE(enumerateCameraCapabilities(0).empty());
}

TEST_F(CapabilitiesTest, ACameraThatCannotBeActivatedGivesNothing) {
  cams::TestCamera c = camera({mode(640, 480, 30)});
  c.activateError = HRESULT(0x80070005);
  install(c);
  EXPECT_TRUE(enumerateCameraCapabilities(0).empty());
}

TEST_F(CapabilitiesTest, TheIndexPicksTheCameraAndOutOfRangeGivesNothing) {
  install(camera({mode(640, 480, 30)}), 0);
  install(camera({mode(320, 240, 15)}), 1);
  EXPECT_EQ(enumerateCameraCapabilities(1), (Caps{{320, 240, 15, 1}}));
  EXPECT_TRUE(enumerateCameraCapabilities(2).empty());
  EXPECT_TRUE(enumerateCameraCapabilities(-1).empty());
}

// Products of 32-bit numbers overflow 32 bits: the comparison must not wrap.
TEST(CapabilityRates, AboveThirtyIsDecidedIn64Bits) {
  NativeVideoType type;
  type.size = {{640, 480}};
  type.rate = {{4294967295u, 143165577u}};  // 29.99999... ; 30 x 143165577 wraps in 32 bits
  EXPECT_EQ(reduceCapabilities({type}), (Caps{{640, 480, 4294967295u, 143165577u}}));
  type.rate = {{4294967295u, 143165576u}};  // just above 30
  EXPECT_TRUE(reduceCapabilities({type}).empty());
}

// ---- publication ----------------------------------------------------------------

TEST_F(CapabilitiesTest, PublicationWritesTheWholeBlockByteForByte) {
  install(camera({mode(320, 240, 15), mode(640, 480, 30)}));
  seedChannel();
  // Whatever the block held before is rewritten.
  std::memset(channel.as<uint8_t>(), 0xAB, offsetof(VcamCapabilitiesBlock, sequence));
  block().sequence = 41;
  publishCapabilities(state, 0, log);

  std::vector<uint8_t> expected(sizeof(VcamCapabilitiesBlock), 0);
  const uint8_t head[] = {'P', 'V', 'S', 'T', 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0,
                          0x80, 2, 0, 0, 0xE0, 1, 0, 0, 30, 0, 0, 0, 1, 0, 0, 0,
                          0x40, 1, 0, 0, 0xF0, 0, 0, 0, 15, 0, 0, 0, 1, 0, 0, 0};
  std::memcpy(expected.data(), head, sizeof(head));
  expected[2064] = 42;
  EXPECT_EQ(std::vector<uint8_t>(channel.bytes(), channel.bytes() + sizeof(VcamCapabilitiesBlock)), expected);
  EXPECT_EQ(log.lines, std::vector<std::wstring>{L"published 2 native camera capability tuple(s)"});
}

TEST_F(CapabilitiesTest, SequenceRisesOncePerPublicationAndOnlyWhenTheIndexChanges) {
  install(camera({mode(640, 480, 30)}), 0);
  install(camera({mode(320, 240, 15)}), 1);
  seedChannel();
  int enumerations = 0;
  auto counting = [&](int32_t index) {
    ++enumerations;
    return enumerateCameraCapabilities(index);
  };
  publishCapabilities(state, 0, log, counting);
  EXPECT_EQ(block().sequence, 1u);
  for (int pass = 0; pass < 3; ++pass) publishCapabilities(state, 0, log, counting);
  EXPECT_EQ(block().sequence, 1u);
  EXPECT_EQ(enumerations, 1);

  publishCapabilities(state, 1, log, counting);
  EXPECT_EQ(block().sequence, 2u);
  EXPECT_EQ(block().cameraIndex, 1u);
  EXPECT_EQ(published(), (Caps{{320, 240, 15, 1}}));
  publishCapabilities(state, 1, log, counting);
  EXPECT_EQ(block().sequence, 2u);
  EXPECT_EQ(enumerations, 2);
}

TEST_F(CapabilitiesTest, NoCameraAtTheIndexPublishesTheFallbackWithItsLine) {
  install(camera({mode(640, 480, 30)}));
  seedChannel();
  for (const int32_t index : {-1, 3}) {
    SCOPED_TRACE(index);
    CapabilityPublication fresh;
    log.lines.clear();
    publishCapabilities(fresh, index, log);
    EXPECT_EQ(block().cameraIndex, index < 0 ? 0u : uint32_t(index));
    EXPECT_EQ(published(), (Caps{{1280, 720, 30, 1}}));
    EXPECT_EQ(log.lines, (std::vector<std::wstring>{kFallbackLine, L"published 1 native camera capability tuple(s)"}));
  }
}

TEST_F(CapabilitiesTest, TheFallbackStaysUntilTheIndexChanges) {
  seedChannel();
  publishCapabilities(state, 0, log);  // no camera yet
  install(camera({mode(640, 480, 30)}));
  publishCapabilities(state, 0, log);
  EXPECT_EQ(published(), (Caps{{1280, 720, 30, 1}}));
  EXPECT_EQ(block().sequence, 1u);
}

TEST_F(CapabilitiesTest, WithoutTheChannelNothingIsEnumeratedNorWrittenUntilItAppears) {
  int enumerations = 0;
  auto counting = [&](int32_t index) {
    ++enumerations;
    return enumerateCameraCapabilities(index);
  };
  install(camera({mode(640, 480, 30)}));
  publishCapabilities(state, 0, log, counting);
  EXPECT_EQ(enumerations, 0);
  EXPECT_TRUE(log.lines.empty());

  seedChannel();
  publishCapabilities(state, 0, log, counting);
  EXPECT_EQ(enumerations, 1);
  EXPECT_EQ(block().sequence, 1u);
  EXPECT_EQ(published(), (Caps{{640, 480, 30, 1}}));
}

TEST_F(CapabilitiesTest, AChannelSmallerThanTheBlockIsNotMapped) {
  int enumerations = 0;
  channel.create(kVcamCapabilitiesChannelName, freshVcamCapabilitiesBlock(), 1024);
  publishCapabilities(state, 0, log, [&](int32_t) {
    ++enumerations;
    return Caps{{640, 480, 30, 1}};
  });
  EXPECT_EQ(enumerations, 0);
  EXPECT_EQ(block().count, 0u);
}

TEST_F(CapabilitiesTest, AnEnumeratorGivingTooManyIsCutTo128) {
  seedChannel();
  publishCapabilities(state, 0, log, [](int32_t) { return Caps(200, CameraCapability{2, 2, 1, 1}); });
  EXPECT_EQ(block().count, 128u);
}

}  // namespace
}  // namespace tesmira::agent
