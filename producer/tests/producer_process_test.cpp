// The built producer as a real process against a fixture repo root.
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <set>
#include <thread>

#include "producer/engine/engine_context.h"
#include "producer/frame_convert.h"
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
    repo_ = dataRepoRoot();
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
  std::vector<uint8_t> lastLuma;  // the newest frame's Y plane, width x height

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
          lastLuma.clear();
          for (uint32_t row = 0; row < descriptor.height && descriptor.stride >= descriptor.width; ++row) {
            const uint8_t* line = luma + size_t(row) * descriptor.stride;
            lastLuma.insert(lastLuma.end(), line, line + descriptor.width);
          }
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

std::filesystem::path facePicture() {
  const auto media = environmentValue(L"TESMIRA_MEDIA_DIR");
  return (media ? std::filesystem::path(*media) : std::filesystem::path(TESMIRA_SOURCE_DIR) / ".cache" / "media") /
         "astronaut.png";
}

// Frame pixels the 320x512 crop reaches, from the alignment of the picture's landmarks.
cv::Rect cropFootprint(const std::array<double, 6>& m, cv::Size frame) {
  const double det = m[0] * m[4] - m[1] * m[3];
  const double ia = m[4] / det, ib = -m[1] / det, id = -m[3] / det, ie = m[0] / det;
  double minX = 1e9, minY = 1e9, maxX = -1e9, maxY = -1e9;
  const double corners[4][2] = {{0, 0}, {320, 0}, {320, 512}, {0, 512}};
  for (const auto& [x, y] : corners) {
    const double fx = ia * (x - m[2]) + ib * (y - m[5]), fy = id * (x - m[2]) + ie * (y - m[5]);
    minX = std::min(minX, fx), maxX = std::max(maxX, fx), minY = std::min(minY, fy), maxY = std::max(maxY, fy);
  }
  return cv::Rect(cv::Point(int(std::floor(minX)), int(std::floor(minY))), cv::Point(int(std::ceil(maxX)), int(std::ceil(maxY)))) &
         cv::Rect(cv::Point(0, 0), frame);
}

TEST_F(ProducerProcessTest, AStillFaceIsRetouchedInsideTheCropOnlyOnTheCpu) {
  // A machine without a Direct3D device, for this process and the producer it starts.
  SetEnvironmentVariableW(L"TESMIRA_D3D11_ADAPTER", L"none");
  const cv::Mat face = cv::imread(facePicture().string(), cv::IMREAD_COLOR);
  ASSERT_FALSE(face.empty()) << facePicture();
  // Where the crop lies: the same landmark source and calibration in this process.
  cv::Rect footprint, inner;
  {
    RetouchContext context(parseOptions({"producer", "--camera", "--repo-root", repo_.string()}));
    const LandmarkResult found = context.landmarkSource().detect(face, 0);
    ASSERT_TRUE(found.found);
    footprint = cropFootprint(context.calibration().cropPoints(found.points), face.size());
    float minX = 1e9f, maxX = -1e9f, minY = 1e9f, maxY = -1e9f;
    for (int i : {33, 263, 1, 152}) {  // eye corners, nose tip, chin
      const LandmarkPoint& p = found.points[size_t(i)];
      minX = std::min(minX, p.x), maxX = std::max(maxX, p.x), minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
    }
    inner = cv::Rect(cv::Point(int(minX), int(minY)), cv::Point(int(maxX), int(maxY)));
  }
  MappedChannel status = openOrCreateChannel(kProducerStatusChannelName, sizeof(ProducerStatusBlock));
  FrameReader reader;
  // 12 frames at 2 per second: the statistics line comes after 5 s.
  const auto producer = start({"--camera", "--still", facePicture().string(), "--headless-frames", "12",
                               "--still-fps", "2", "--repo-root", repo_.string()});
  int exitCode = -1;
  reader.readUntilExit(*producer, exitCode);
  EXPECT_EQ(exitCode, 0) << standardError();
  ASSERT_EQ(reader.lastLuma.size(), size_t(face.cols) * size_t(face.rows));

  std::vector<uint8_t> expected;
  ASSERT_TRUE(bgrToNv12(face, face.cols, face.rows, expected));
  // Tracking may move the crop by a pixel or two from this process's first detection.
  const cv::Rect reach(footprint.x - 4, footprint.y - 4, footprint.width + 8, footprint.height + 8);
  size_t outsideChanged = 0, insideChanged = 0, inside = 0;
  for (int y = 0; y < face.rows; ++y)
    for (int x = 0; x < face.cols; ++x) {
      const size_t at = size_t(y) * size_t(face.cols) + size_t(x);
      const bool changed = reader.lastLuma[at] != expected[at];
      if (!reach.contains(cv::Point(x, y))) outsideChanged += changed;
      if (inner.contains(cv::Point(x, y))) {
        ++inside;
        insideChanged += changed;
      }
    }
  EXPECT_EQ(outsideChanged, 0u) << "footprint " << footprint;
  EXPECT_GT(insideChanged, inside / 4) << "face " << inner;

  const std::string out = standardOutput();
  // How many frames the line counts depends on how long the context's build delayed the first.
  const size_t at = out.find(" face=");
  ASSERT_NE(at, std::string::npos) << out;
  unsigned faces = 0, retouched = 0, noFace = 1;
  ASSERT_EQ(std::sscanf(out.c_str() + at, " face=%u retouched=%u no-face=%u", &faces, &retouched, &noFace), 3) << out;
  EXPECT_GT(faces, 0u);
  EXPECT_EQ(retouched, faces);
  EXPECT_EQ(noFace, 0u);
  EXPECT_EQ(static_cast<const ProducerStatusBlock*>(status.view)->detail, 1u);
  EXPECT_EQ(logCount("status: CPU fallback active (D3D compositor unavailable)"), 1u);
  EXPECT_EQ(logCount("landmarker: mediapipe"), 2u);  // this process's context, then the producer's
  EXPECT_EQ(logCount("retouch context ready provider=cpu"), 1u);
  closeMapping(status);
  SetEnvironmentVariableW(L"TESMIRA_D3D11_ADAPTER", nullptr);
}

TEST_F(ProducerProcessTest, AMissingFacemaskEndsTheContextBuild) {
  // Option parsing already refuses a missing file, so the options are built here.
  ProducerOptions options = parseOptions({"producer", "--camera", "--repo-root", repo_.string()});
  options.facemaskPath = root() / "facemask.png";
  try {
    RetouchContext context(options);
    FAIL() << "the context was built";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "Could not load image: " + (root() / "facemask.png").string());
  }
}

}  // namespace
}  // namespace tesmira
