// The built producer as a real process against a fixture repo root.
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "producer/frame_writer.h"
#include "producer/kernel_objects.h"
#include "producer/tests/producer_fixture.h"
#include "tests/support/host_calls.h"

namespace tesmira {
namespace {

using testing::OutputCapturingChild;
using testing::ProducerTest;
using testing::sendCtrlC;

class ProducerProcessTest : public ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    repo_ = makeRepoRoot();
  }

  // Starts the producer with its output in files under the machine root.
  std::unique_ptr<OutputCapturingChild> start(const std::vector<std::string>& options) {
    std::vector<std::string> args{TESMIRA_PRODUCER_EXE};
    args.insert(args.end(), options.begin(), options.end());
    auto child = std::make_unique<OutputCapturingChild>(args, root() / "stdout.txt", root() / "stderr.txt");
    EXPECT_TRUE(child->started());
    return child;
  }
  static int exitCodeOf(const std::unique_ptr<OutputCapturingChild>& child) { return child->wait(); }
  std::string standardOutput() const { return testing::readFile(root() / "stdout.txt"); }
  std::string standardError() const { return testing::readFile(root() / "stderr.txt"); }

  std::filesystem::path repo_;
};

TEST_F(ProducerProcessTest, HelpPrintsTheUsageWithTheProgramNameAndExitsZero) {
  EXPECT_EQ(exitCodeOf(start({"--help", "--bogus"})), 0);
  const std::string program = TESMIRA_PRODUCER_EXE;
  const std::string usage = standardOutput();
  EXPECT_EQ(usage.rfind("Usage: " + program + " [--video path | --camera] [--provider cpu|directml|cuda]\n", 0), 0u);
  EXPECT_EQ(std::count(usage.begin(), usage.end(), '\n'), 8);
  EXPECT_EQ(standardError(), "");
  EXPECT_FALSE(std::filesystem::exists(logPath()));  // nothing is logged for --help
}

TEST_F(ProducerProcessTest, AnOptionErrorIsFatal) {
  EXPECT_EQ(exitCodeOf(start({"--repo-root", repo_.string(), "--camera", "--bogus"})), 1);
  EXPECT_EQ(standardError(), "fatal: Unknown argument: --bogus\n");
  EXPECT_EQ(logMessages(), (std::vector<std::string>{"fatal: Unknown argument: --bogus"}));
}

// Collects the stamp codes of every frame published while the producer runs.
struct FrameReader {
  MappedChannel channel = openOrCreateChannel(kFrameChannelName, kFrameChannelBytes);
  HANDLE ready = openOrCreateFrameReadyEvent();
  std::vector<StampCodes> codes;
  std::vector<uint64_t> qpcTimes;

  ~FrameReader() {
    closeHandle(ready);
    closeMapping(channel);
  }
  void readUntilExit(OutputCapturingChild& child, int& exitCode) {
    uint32_t seen = 0;
    for (;;) {
      const bool signalled = WaitForSingleObject(ready, 200) == WAIT_OBJECT_0;
      auto* header = static_cast<RetouchFrameHeader*>(channel.view);
      const uint32_t counter = std::atomic_ref<uint32_t>(header->frameCounter).load();
      if (signalled && counter != seen) {
        // Frame k went into slot (k - 1) % 2; the two newest are both intact, so a
        // reader that woke late still sees a frame it missed.
        for (uint32_t k = std::max(seen + 1, counter - 1); k <= counter; ++k) {
          const uint32_t slot = (k - 1) % 2;
          const RetouchFrameSlot& descriptor = header->slots[slot];
          const auto* luma = static_cast<const uint8_t*>(channel.view) + frameSlotDataOffset(slot);
          codes.push_back(readCodeBands(luma, descriptor.stride, int(descriptor.width), int(descriptor.height)));
          qpcTimes.push_back(descriptor.qpcTime);
        }
        seen = counter;
      }
      if (const int code = child.wait(0); code >= 0) {
        exitCode = code;
        return;
      }
    }
  }
};

TEST_F(ProducerProcessTest, StillHeadlessRunPublishesFiveStampedFrames) {
  cv::imwrite((root() / "face.png").string(), cv::Mat(240, 320, CV_8UC3, cv::Scalar(90, 120, 200)));
  FrameReader reader;
  ASSERT_NE(reader.channel.view, nullptr);
  ASSERT_NE(reader.ready, nullptr);
  const auto producer = start({"--camera", "--still", (root() / "face.png").string(), "--headless-frames", "5",
                           "--stamp-seq", "--repo-root", repo_.string()});
  int exitCode = -1;
  reader.readUntilExit(*producer, exitCode);
  EXPECT_EQ(exitCode, 0) << standardError();
  std::vector<uint16_t> counters;
  for (const auto& c : reader.codes) counters.push_back(c.code1);
  EXPECT_EQ(counters, (std::vector<uint16_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(static_cast<RetouchFrameHeader*>(reader.channel.view)->frameCounter, 5u);
  EXPECT_EQ(logCount("vcam producer stopped"), 1u);
}

TEST_F(ProducerProcessTest, AStillFaceRunsTheChosenLandmarkSource) {
  struct Case {
    const wchar_t* onnx;
    const char* line;
    const char* stderrLine;
  } cases[] = {
      {nullptr, "landmarker: mediapipe", "MediaPipeLandmarker running_mode=VIDEO\n"},
      {L"1", "landmarker: onnx provider=cpu", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    SetEnvironmentVariableW(L"TESMIRA_ONNX_LANDMARKER", c.onnx);
    const auto producer = start({"--camera", "--still", (testing::mediaFolder() / "astronaut.png").string(),
                                 "--still-fps", "200", "--headless-frames", "4", "--repo-root", repo_.string()});
    EXPECT_EQ(exitCodeOf(producer), 0) << standardError();
    SetEnvironmentVariableW(L"TESMIRA_ONNX_LANDMARKER", nullptr);
    EXPECT_EQ(logCount(c.line), 1u);
    EXPECT_NE(standardError().find(c.stderrLine), std::string::npos);
    EXPECT_EQ(logCountStartingWith("warning: retouch processing failed"), 0u);
    std::filesystem::remove(logPath());
  }
}

TEST_F(ProducerProcessTest, StillModePacesAtTheStillFrameRate) {
  cv::imwrite((root() / "face.png").string(), cv::Mat(120, 160, CV_8UC3, cv::Scalar(1, 2, 3)));
  FrameReader reader;
  const auto producer = start({"--camera", "--still", (root() / "face.png").string(), "--still-fps", "20",
                           "--headless-frames", "11", "--repo-root", repo_.string()});
  int exitCode = -1;
  reader.readUntilExit(*producer, exitCode);
  EXPECT_EQ(exitCode, 0);
  ASSERT_EQ(reader.qpcTimes.size(), 11u);
  // Each frame is topped up to the 50 ms period, so ten periods separate the first
  // and the last stamp; only the work before the first stamp (a busy machine's
  // jitter) may shorten that span, never the pacing itself.
  EXPECT_GE(reader.qpcTimes.back() - reader.qpcTimes.front(), 10 * 450000u);  // 100 ns units
}

TEST_F(ProducerProcessTest, CtrlCDuringAnIdlePassStopsInOrder) {
  const auto producer = start({"--camera", "--repo-root", repo_.string()});
  // Wait for the first idle pass: its status write follows the last start-up line.
  for (int i = 0; i < 1000 && logCount("status mapping ready") == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(logCount("status mapping ready"), 1u);
  ASSERT_TRUE(sendCtrlC(producer->id()));
  EXPECT_EQ(exitCodeOf(producer), 0);
  const auto lines = logMessages();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "vcam producer stopped");
}

TEST_F(ProducerProcessTest, CtrlCEndsALongStillWait) {
  cv::imwrite((root() / "face.png").string(), cv::Mat(120, 160, CV_8UC3, cv::Scalar(1, 2, 3)));
  FrameReader reader;
  // One frame, then a wait of nearly 28 hours.
  const auto producer = start({"--camera", "--still", (root() / "face.png").string(), "--still-fps", "1e-5",
                               "--repo-root", repo_.string()});
  ASSERT_EQ(WaitForSingleObject(reader.ready, 30000), WAIT_OBJECT_0) << standardError();
  ASSERT_TRUE(sendCtrlC(producer->id()));
  EXPECT_EQ(exitCodeOf(producer), 0);
  EXPECT_EQ(logCount("vcam producer stopped"), 1u);
}

}  // namespace
}  // namespace tesmira
