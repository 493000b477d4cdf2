#include "vcam_source/channels.h"

#include <functional>
#include <memory>

#include "vcam_source/media_types.h"
#include "vcam_source/tests/stream/vcam_test_support.h"

namespace tesmira::vcam::testing {
namespace {

constexpr uint32_t kW = 64, kH = 32;
constexpr int64_t kFreq = 10000000;  // 10 MHz
constexpr int64_t kNow = 50000000000;

// A heap copy of a frame channel holding one valid 64x32 frame in slot 1.
struct ViewFixture {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kFrameChannelBytes, 0);
  std::vector<uint8_t> frame = patternNv12(kW, kH, 3);
  RetouchFrameHeader* header() { return reinterpret_cast<RetouchFrameHeader*>(bytes.data()); }
  RetouchFrameSlot& slot() { return header()->slots[1]; }
  ViewFixture() {
    header()->magic = kFrameMagic;
    header()->version = kFrameVersion;
    header()->latestSlot = 1;
    slot() = {kW, kH, kW, kFrameFormatNv12, kW * kH * 3 / 2, 0, uint64_t(kNow)};
    std::memcpy(bytes.data() + frameSlotDataOffset(1), frame.data(), frame.size());
  }
};

TEST(FrameReader, ReadsAValidFrame) {
  ViewFixture f;
  std::vector<uint8_t> out;
  ASSERT_TRUE(readFrameFromView(f.bytes.data(), kW, kH, kNow, kFreq, out));
  EXPECT_EQ(out, f.frame);
}

TEST(FrameReader, RefusesEveryInvalidOrHostileHeader) {
  struct Row {
    const char* name;
    std::function<void(ViewFixture&)> spoil;
    uint32_t w = kW, h = kH;
  } rows[] = {
      {"magic", [](ViewFixture& f) { f.header()->magic = 0x54535632; }},
      {"version", [](ViewFixture& f) { f.header()->version = 2; }},
      {"no slot yet", [](ViewFixture& f) { f.header()->latestSlot = kNoSlot; }},
      {"slot 2", [](ViewFixture& f) { f.header()->latestSlot = 2; }},
      {"format", [](ViewFixture& f) { f.slot().format = 1; }},
      {"zero width", [](ViewFixture& f) { f.slot().width = 0; }},
      {"odd height", [](ViewFixture& f) { f.slot().height = kH - 1; }},
      {"width above 1920", [](ViewFixture& f) { f.slot().width = 1922; }, 1922, kH},
      {"stride below width", [](ViewFixture& f) { f.slot().stride = kW - 2; }},
      {"stride above 1920", [](ViewFixture& f) { f.slot().stride = 4096; f.slot().dataSize = kFrameSlotBytes; }},
      {"stride that wraps 32 bits", [](ViewFixture& f) { f.slot().stride = 0x80000000u; }},
      {"data size above a slot", [](ViewFixture& f) { f.slot().dataSize = kFrameSlotBytes + 1; }},
      {"data size below the frame", [](ViewFixture& f) { f.slot().dataSize = kW * kH * 3 / 2 - 1; }},
      {"other size", [](ViewFixture& f) { f.slot().width = kW + 2; }},
      {"no time stamp", [](ViewFixture& f) { f.slot().qpcTime = 0; }},
      {"501 ms old", [](ViewFixture& f) { f.slot().qpcTime = kNow - 501 * (kFreq / 1000); }},
      {"requested odd", [](ViewFixture&) {}, kW - 1, kH},
      {"requested zero", [](ViewFixture&) {}, kW, 0},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    ViewFixture f;
    row.spoil(f);
    std::vector<uint8_t> out = {1, 2, 3};
    EXPECT_FALSE(readFrameFromView(f.bytes.data(), row.w, row.h, kNow, kFreq, out));
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3}));  // untouched
  }
}

TEST(FrameReader, AgeLimitIsInclusiveAndAFutureStampPasses) {
  for (auto [stamp, expected] : {std::pair{kNow - 500 * (kFreq / 1000), true}, {kNow + 1000, true}, {kNow, true}}) {
    ViewFixture f;
    f.slot().qpcTime = uint64_t(stamp);
    std::vector<uint8_t> out;
    EXPECT_EQ(readFrameFromView(f.bytes.data(), kW, kH, kNow, kFreq, out), expected);
  }
  ViewFixture f;
  f.slot().qpcTime = 1;  // ancient, but no counter to compare with
  std::vector<uint8_t> out;
  EXPECT_TRUE(readFrameFromView(f.bytes.data(), kW, kH, 0, 0, out));
}

TEST(FrameReader, StridedRowsArePacked) {
  ViewFixture f;
  const uint32_t stride = kW + 16;
  uint8_t* data = f.bytes.data() + frameSlotDataOffset(1);
  std::memset(data, 0xEE, size_t(stride) * (kH + kH / 2));
  for (uint32_t r = 0; r < kH + kH / 2; ++r) std::memcpy(data + r * stride, f.frame.data() + r * kW, kW);
  f.slot().stride = stride;
  f.slot().dataSize = stride * (kH + kH / 2);
  std::vector<uint8_t> out;
  ASSERT_TRUE(readFrameFromView(f.bytes.data(), kW, kH, kNow, kFreq, out));
  EXPECT_EQ(out, f.frame);
}

TEST(FrameReader, LargestFrameWithLargestStrideStaysInItsSlot) {
  // 1920 x 1080 with stride 1920 fills slot 1 to its last byte, which ends the view.
  std::vector<uint8_t> bytes(kFrameChannelBytes, 0x5A);
  auto* header = reinterpret_cast<RetouchFrameHeader*>(bytes.data());
  header->magic = kFrameMagic;
  header->version = kFrameVersion;
  header->latestSlot = 1;
  header->slots[1] = {1920, 1080, 1920, kFrameFormatNv12, kFrameSlotBytes, 0, uint64_t(kNow)};
  std::vector<uint8_t> out;
  ASSERT_TRUE(readFrameFromView(bytes.data(), 1920, 1080, kNow, kFreq, out));
  EXPECT_EQ(out.size(), size_t(kFrameSlotBytes));
}

ComPtr<IMFMediaType> type(UINT32 w, UINT32 h, UINT32 n, UINT32 d) {
  ComPtr<IMFMediaType> t;
  makeVideoMediaType(MFVideoFormat_NV12, w, h, n, d, &t);
  return t;
}

TEST(ControlWriter, StampWritesItsFieldsAndLeavesTheRest) {
  VcamControlBlock block;
  std::memset(&block, 0xAB, sizeof(block));
  block.sequence = 0xFFFFFFFFu;
  VcamControlBlock before = block;
  stampControlBlock(&block, false, type(640, 480, 15, 1).Get(), 1234);
  EXPECT_EQ(block.sequence, 0u);  // wraps
  EXPECT_EQ(block.requestTick, 1234u);
  EXPECT_EQ(block.formatTick, 1234u);
  EXPECT_EQ(block.width, 640u);
  EXPECT_EQ(block.height, 480u);
  EXPECT_EQ(block.fpsNumerator, 15u);
  EXPECT_EQ(block.fpsDenominator, 1u);
  EXPECT_EQ(block.streamStartTick, before.streamStartTick);
  // Everything outside offsets 8 to 55 is byte for byte as it was.
  EXPECT_EQ(std::memcmp(&block, &before, 8), 0);
  EXPECT_EQ(block.cameraIndex, before.cameraIndex);
  EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t*>(&block) + 56, reinterpret_cast<uint8_t*>(&before) + 56, 24), 0);

  stampControlBlock(&block, true, nullptr, 5678);
  EXPECT_EQ(block.sequence, 1u);
  EXPECT_EQ(block.streamStartTick, 5678u);
  EXPECT_EQ(block.requestTick, 5678u);
  EXPECT_EQ(block.formatTick, 5678u);
  EXPECT_EQ(block.width, 0u);
  EXPECT_EQ(block.height, 0u);
  EXPECT_EQ(block.fpsNumerator, 0u);
  EXPECT_EQ(block.fpsDenominator, 0u);
}

class ControlChannelTest : public tesmira::testing::MachineTest {};

TEST_F(ControlChannelTest, WriterUsesLocalWhenGlobalIsMissing) {
  platform::testclock::freeze();  // the stamped tick is compared with the clock below
  ControlChannel local;
  VcamControlWriter writer;
  writer.stamp(true, type(1280, 720, 30, 1).Get());
  EXPECT_EQ(local.block()->sequence, 1u);
  EXPECT_EQ(local.block()->width, 1280u);
  EXPECT_EQ(local.block()->streamStartTick, GetTickCount64());
}

TEST_F(ControlChannelTest, WriterRefusesABlockOfAnotherVersionAndRetriesLater) {
  ControlChannel old(kLocalPrefix, 1);
  VcamControlWriter writer;
  writer.stamp(false, nullptr);
  EXPECT_EQ(old.block()->sequence, 0u);
  EXPECT_EQ(old.block()->requestTick, 0u);
  // Fixed by a seeding: the next stamp maps it.
  old.block()->version = kVcamControlVersion;
  writer.stamp(false, nullptr);
  EXPECT_EQ(old.block()->sequence, 1u);
}

TEST_F(ControlChannelTest, CapabilitiesFromTheChannel) {
  CapabilitiesChannel channel({{640, 480, 30, 1}, {1280, 720, 30, 1}});
  auto modes = readCameraCapabilities();
  ASSERT_EQ(modes.size(), 2u);
  EXPECT_EQ(modes[0].width, 1280u);
  EXPECT_EQ(modes[1].width, 640u);
  channel.block()->count = 129;
  modes = readCameraCapabilities();
  ASSERT_EQ(modes.size(), 1u);
  EXPECT_EQ(modes[0].width, 1280u);
  EXPECT_EQ(modes[0].fpsNumerator, 30u);
}

// The machine-wide list wins; the session's is read only when that one is missing, invalid or empty.
TEST_F(ControlChannelTest, CapabilitiesComeFromGlobalFirstThenLocal) {
  enum class Global { Missing, Valid, BadMagic, Empty };
  const struct Row {
    const char* name;
    Global global;
    uint32_t expectedWidth;
  } rows[] = {{"global missing", Global::Missing, 640},
              {"global valid", Global::Valid, 320},
              {"global invalid", Global::BadMagic, 640},
              {"global empty", Global::Empty, 640}};
  CapabilitiesChannel local({{640, 480, 30, 1}});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<CapabilitiesChannel> global;
    if (row.global != Global::Missing) {
      SetEnvironmentVariableW(L"TESMIRA_SERVICE", L"1");  // creating Global\ names needs the service's privilege
      global = std::make_unique<CapabilitiesChannel>(
          row.global == Global::Empty ? std::vector<CameraCapability>{} : std::vector<CameraCapability>{{320, 240, 30, 1}},
          kGlobalPrefix);
      SetEnvironmentVariableW(L"TESMIRA_SERVICE", nullptr);
      if (row.global == Global::BadMagic) global->block()->magic = 0;
    }
    auto modes = readCameraCapabilities();
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(modes[0].width, row.expectedWidth);
  }
}

TEST(Capabilities, CleaningKeepsServableModesWith720pFirst) {
  struct Row {
    const char* name;
    std::vector<CameraCapability> published;
    std::vector<CameraCapability> expected;
  } rows[] = {
      {"nothing published", {}, {{1280, 720, 30, 1}}},
      {"mixed list",
       {{640, 480, 30, 1}, {1920, 1080, 30, 1}, {1280, 720, 60, 1}, {1280, 720, 30, 1}, {720, 1280, 30, 1}, {0, 0, 30, 1}},
       {{1280, 720, 30, 1}, {640, 480, 30, 1}, {720, 1280, 30, 1}}},
      {"odd sizes and bad rates",
       {{641, 480, 30, 1}, {640, 481, 30, 1}, {640, 480, 0, 1}, {640, 480, 30, 0}, {640, 480, 61, 2}},
       {{1280, 720, 30, 1}}},
      {"30000/1001 and 60/2 pass", {{320, 240, 30000, 1001}, {320, 240, 60, 2}}, {{320, 240, 30000, 1001}, {320, 240, 60, 2}}},
      {"every 720p keeps its order",
       {{640, 360, 30, 1}, {1280, 720, 15, 1}, {800, 600, 30, 1}, {1280, 720, 30, 1}},
       {{1280, 720, 15, 1}, {1280, 720, 30, 1}, {640, 360, 30, 1}, {800, 600, 30, 1}}},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto modes = cleanCameraCapabilities(row.published);
    ASSERT_EQ(modes.size(), row.expected.size());
    for (size_t i = 0; i < modes.size(); ++i) EXPECT_EQ(std::memcmp(&modes[i], &row.expected[i], sizeof(CameraCapability)), 0) << i;
  }
}

TEST(Capabilities, ViewIsRefusedWhenInvalidOrOversized) {
  std::vector<uint8_t> bytes(sizeof(VcamCapabilitiesBlock), 0);
  auto* block = reinterpret_cast<VcamCapabilitiesBlock*>(bytes.data());
  block->magic = kVcamCapabilitiesMagic;
  block->version = kVcamCapabilitiesVersion;
  block->count = 128;
  EXPECT_EQ(capabilitiesFromView(bytes.data()).size(), 128u);
  block->count = 129;
  EXPECT_TRUE(capabilitiesFromView(bytes.data()).empty());
  block->count = 1;
  block->version = 2;
  EXPECT_TRUE(capabilitiesFromView(bytes.data()).empty());
}

}  // namespace
}  // namespace tesmira::vcam::testing
