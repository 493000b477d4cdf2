// End to end with real processes: a publisher process writes a still frame
// through the producer's frame writer; the harness loads the module and
// receives what an application would.
#include <chrono>
#include <filesystem>
#include <thread>

#include <opencv2/imgcodecs.hpp>

#include "producer/frame_writer.h"
#include "tests/support/child_main.h"
#include "tests/support/child_process.h"
#include "tools/framesvr/framesvr.h"
#include "vcam_source/media_types.h"
#include "vcam_source/tests/stream/vcam_test_support.h"

namespace tesmira::framesvr {
namespace {

using vcam::testing::ControlChannel;
using vcam::testing::patternNv12;

constexpr uint32_t kW = 1280, kH = 720;

// Publishes the same pattern about every 5 ms until it is terminated, through the
// producer's frame writer on a channel and ready event this process creates.
TESMIRA_CHILD_MAIN(publishStill) {
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, DWORD(kFrameChannelBytes),
                                      L"Local\\TesmiraRetouchFrame.v3");
  void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kFrameChannelBytes) : nullptr;
  HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, L"Local\\TesmiraRetouchFrameReady.v3");
  if (!view || !ready) return 3;
  SharedFrameWriter writer;
  writer.openOn(view, ready);
  const auto frame = patternNv12(kW, kH, 42);
  for (;;) {
    writer.publishNv12(frame.data(), kW, kH);
    // The writer signals through the producer's own event helper, which stays
    // in process until the platform has every call the producer needs.
    SetEvent(ready);
    Sleep(5);
  }
}

// This test binary again, as the named child; terminated when the test ends.
std::vector<std::wstring> childArguments(const std::string& name) {
  std::vector<std::wstring> args;
  for (const auto& a : tesmira::testing::childArgv(name)) args.push_back(std::filesystem::path(a).wstring());
  return args;
}

// Waits (up to 10 s of real time) until a frame has been published.
bool waitForFirstFrame() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\TesmiraRetouchFrame.v3");
    if (mapping) {
      auto* header = static_cast<const RetouchFrameHeader*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(RetouchFrameHeader)));
      bool published = header && std::atomic_ref<uint32_t>(const_cast<uint32_t&>(header->latestSlot)).load() != kNoSlot;
      if (header) UnmapViewOfFile(header);
      CloseHandle(mapping);
      if (published) return true;
    }
    std::this_thread::yield();
  }
  return false;
}

class EndToEndTest : public tesmira::testing::MachineTest {};

TEST_F(EndToEndTest, SixtyNv12ThenSixtyRgb32SamplesMatchThePublishedFrame) {
  ControlChannel control;
  tesmira::testing::ChildProcess publisher(childArguments("publishStill"));
  ASSERT_TRUE(publisher.started());
  ASSERT_TRUE(waitForFirstFrame());
  const auto published = patternNv12(kW, kH, 42);

  FrameServerHarness harness;
  ASSERT_EQ(harness.load(TESMIRA_VCAM_DLL, vcam::CLSID_TesmiraMediaSource), S_OK);
  ASSERT_EQ(harness.activate(), S_OK);
  ASSERT_EQ(harness.formats().size(), 2u);
  ASSERT_EQ(harness.start({MFVideoFormat_NV12, kW, kH, 30, 1}), S_OK);
  const uint64_t startTick = control.block()->streamStartTick;
  EXPECT_NE(startTick, 0u);
  EXPECT_LE(startTick, GetTickCount64());
  for (int i = 0; i < 60; ++i) {
    ReceivedSample sample;
    ASSERT_EQ(harness.requestSample(sample), S_OK);
    ASSERT_EQ(sample.bytes, published) << "sample " << i;
    EXPECT_EQ(sample.duration, 333333);
  }
  EXPECT_GE(control.block()->requestTick, startTick);
  EXPECT_EQ(control.block()->formatTick, control.block()->requestTick);
  EXPECT_EQ(control.block()->width, kW);
  EXPECT_EQ(control.block()->height, kH);
  EXPECT_EQ(control.block()->fpsNumerator, 30u);
  EXPECT_EQ(control.block()->fpsDenominator, 1u);
  EXPECT_EQ(control.block()->sequence, 61u);  // one start, sixty requests

  ASSERT_EQ(harness.stop(), S_OK);
  ASSERT_EQ(harness.start({MFVideoFormat_RGB32, kW, kH, 30, 1}), S_OK);
  EXPECT_GE(control.block()->streamStartTick, startTick);
  std::vector<uint8_t> expected(size_t(kW) * kH * 4);
  tesmira::nv12ToRgb32(published.data(), kW, kH, expected.data());
  for (int i = 0; i < 60; ++i) {
    ReceivedSample sample;
    ASSERT_EQ(harness.requestSample(sample), S_OK);
    ASSERT_EQ(sample.bytes, expected) << "sample " << i;
  }
  EXPECT_EQ(harness.shutdown(), S_OK);
  auto events = harness.sourceEvents();
  EXPECT_EQ(events,
            (std::vector<MediaEventType>{MENewStream, MESourceStarted, MESourceStopped, MEUpdatedStream, MESourceStarted}));
}

TEST_F(EndToEndTest, ToolSavesWhatItReceivesAsPng) {
  ControlChannel control;
  std::filesystem::path out = root() / "png";
  std::string command = std::string(TESMIRA_FRAMESVR_TOOL) + " --module " + TESMIRA_VCAM_DLL +
                        " --format rgb32 --frames 3 --png-dir " + out.string() + " > " + (root() / "tool.txt").string();
  ASSERT_EQ(std::system(command.c_str()), 0);
  cv::Mat first = cv::imread((out / "frame-0000.png").string());
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.cols, int(kW));
  EXPECT_EQ(first.rows, int(kH));
  // No producer: the start-up card, whose corner is the card background.
  auto corner = first.at<cv::Vec3b>(0, 0);
  EXPECT_EQ(corner[0], 0x14);
  EXPECT_EQ(corner[1], 0x0F);
  EXPECT_EQ(corner[2], 0x12);
  EXPECT_NE(tesmira::testing::readFile(root() / "tool.txt").find("received 3 samples"), std::string::npos);
  EXPECT_NE(control.block()->streamStartTick, 0u);
}

}  // namespace
}  // namespace tesmira::framesvr
