// The main loop on the test clock, with doubles for the camera, the retouch
// context and telemetry, and the channels opened as the loop opens them.
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>

#include "producer/frame_writer.h"
#include "producer/kernel_objects.h"
#include "producer/producer_channels.h"
#include "producer/producer_main.h"
#include "producer/tests/loop_doubles.h"
#include "producer/tests/producer_fixture.h"
#include "tesmira/platform_testing.h"

namespace tesmira {
namespace {

using testing::ContextScript;
using testing::FakeContext;
using testing::FakeTelemetry;
using testing::ProducerTest;
using testing::TelemetryRecord;
namespace testclock = platform::testclock;

constexpr HRESULT kNotFound = HRESULT(0xC00D36D5u);

struct CameraScript {
  std::function<HRESULT(const CaptureRequest&)> openResult = [](const CaptureRequest&) { return S_OK; };
  bool delivering = true;
  cv::Mat frame = cv::Mat(48, 64, CV_8UC3, cv::Scalar(40, 80, 120));
  std::vector<CaptureRequest> opens;
  int stops = 0;
};

class LoopTest : public ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    repo_ = makeRepoRoot();
    testclock::freeze();
    startTick_ = GetTickCount64();
    control_ = openOrCreateChannel(kVcamControlChannelName, sizeof(VcamControlBlock));
    frames_ = openOrCreateChannel(kFrameChannelName, kFrameChannelBytes);
    status_ = openOrCreateChannel(kProducerStatusChannelName, sizeof(ProducerStatusBlock));
    ASSERT_NE(control_.view, nullptr);
    ASSERT_NE(frames_.view, nullptr);
    ASSERT_NE(status_.view, nullptr);
    repairControlBlock(control());  // as the service seeds it
  }
  void TearDown() override {
    closeMapping(control_);
    closeMapping(frames_);
    closeMapping(status_);
    ProducerTest::TearDown();
  }

  VcamControlBlock& control() { return *static_cast<VcamControlBlock*>(control_.view); }
  const RetouchFrameHeader& frames() { return *static_cast<const RetouchFrameHeader*>(frames_.view); }
  const ProducerStatusBlock& status() { return *static_cast<const ProducerStatusBlock*>(status_.view); }
  uint64_t elapsedMs() const { return GetTickCount64() - startTick_; }

  // Moves the clock and lets the scenario react; the camera double and the loop's
  // sleeps are the only things that move it.
  void advance(double ms) {
    testclock::advanceNs(uint64_t(ms * 1e6));
    if (everyStep) everyStep(elapsedMs());
  }
  void heartbeat() { control().requestTick = GetTickCount64(); }
  void stop() { onConsoleControl(0); }
  // An application asks for frames all along; the loop is stopped once stopAtMs have passed.
  void demandUntil(uint64_t stopAtMs) {
    everyStep = [this, stopAtMs](uint64_t t) {
      heartbeat();
      if (t >= stopAtMs) stop();
    };
    heartbeat();
  }

  int run(std::vector<std::string> extra) {
    std::vector<std::string> args{"producer.exe", "--repo-root", repo_.string(), "--camera"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    ProducerSeams seams;
    seams.makeCapture = [this](const ProducerOptions&) { return std::make_unique<FakeCamera>(*this); };
    seams.makeContext = [this](const ProducerOptions&) -> std::unique_ptr<IRetouchContext> {
      if (context.failBuild) throw std::runtime_error("no models here");
      advance(contextBuildMs);
      return std::make_unique<FakeContext>(context);
    };
    seams.makeTelemetry = [this](const std::string&) { return std::make_unique<FakeTelemetry>(telemetry); };
    seams.sleepMs = [this](double ms) {
      sleeps.push_back(ms);
      advance(ms);
    };
    seams.out = &out;
    seams.err = &err;
    return runProducer(int(argv.size()), argv.data(), seams);
  }

  class FakeCamera final : public ICaptureSource {
   public:
    explicit FakeCamera(LoopTest& test) : test_(test) {}
    bool open(const CaptureRequest& request, bool, ID3D11Device*) override {
      test_.camera.opens.push_back(request);
      test_.advance(test_.cameraOpenMs);
      last_ = test_.camera.openResult(request);
      return SUCCEEDED(last_);
    }
    bool waitFrame(CameraFrame& frame, uint32_t timeoutMs) override {
      cv::Mat& bgr = frame.image;
      if (!test_.camera.delivering) {
        bgr.release();
        test_.advance(timeoutMs);
        return false;
      }
      test_.advance(33);
      bgr = test_.camera.frame.clone();
      return true;
    }
    void stop() override { ++test_.camera.stops; }
    HRESULT lastHresult() const override { return last_; }
    bool mirrorsInCapture() const override { return false; }

   private:
    LoopTest& test_;
    HRESULT last_ = S_OK;
  };

  std::function<void(uint64_t elapsedMs)> everyStep;
  double contextBuildMs = 0;  // how long building the retouch context takes
  double cameraOpenMs = 0;    // how long opening the camera takes
  CameraScript camera;
  ContextScript context;
  TelemetryRecord telemetry;
  std::vector<double> sleeps;
  std::ostringstream out, err;
  std::filesystem::path repo_;
  uint64_t startTick_ = 0;
  MappedChannel control_, frames_, status_;
};

TEST_F(LoopTest, FirstDemandSelectsBuildsOpensAndPublishes) {
  demandUntil(500);
  EXPECT_EQ(run({}), 0);
  const std::vector<std::string> expectedStart = {
      "vcam producer starting",
      "no readable config.json; seeding product defaults",
      "control mapping ready",
      "settings mapping ready",
      "status mapping ready",
      "capture selection changed to camera-index=0 1280x720@30/1",
      "vcam demand active",
      "initializing retouch context",
      "status: starting",
      "status: CPU fallback active (D3D compositor unavailable)",
      "retouch context ready provider=directml",
      "status: live",
  };
  auto lines = logMessages();
  ASSERT_GE(lines.size(), expectedStart.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + expectedStart.size()), expectedStart);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"physical camera released: producer stopping", "vcam producer stopped",
                                      "status: unknown"}));
  ASSERT_EQ(camera.opens.size(), 1u);
  EXPECT_EQ(camera.opens[0].width, 1280u);
  EXPECT_EQ(camera.stops, 1);
  EXPECT_GE(frames().frameCounter, 10u);
  EXPECT_EQ(frames().slots[frames().latestSlot].width, 64u);
  EXPECT_EQ(status().state, 0u);  // close reports idle
  EXPECT_EQ(status().detail, 1u);
  EXPECT_EQ(context.releases, 1);
  ASSERT_FALSE(telemetry.reasons.empty());
  EXPECT_EQ(telemetry.reasons[0], CameraStateReason::kNoFace);
  EXPECT_EQ(telemetry.snapshots[0].provider, "directml");
  EXPECT_EQ(telemetry.snapshots[0].width, 64u);
  EXPECT_DOUBLE_EQ(telemetry.snapshots[0].fps, 30.0);
}

TEST_F(LoopTest, DemandEndsAtOnceWhenTheHeartbeatGoesStale) {
  // One heartbeat, never renewed: demand passes until it is 3000 ms old, then idle.
  heartbeat();
  LARGE_INTEGER start{};
  QueryPerformanceCounter(&start);
  everyStep = [&](uint64_t t) {
    if (t >= 4500) stop();
  };
  EXPECT_EQ(run({}), 0);
  // The last frame comes from the last pass that began within the window (33 ms per frame).
  const double lastFrameMs = double(frames().slots[frames().latestSlot].qpcTime - uint64_t(start.QuadPart)) / 1e4;
  EXPECT_GT(lastFrameMs, 3000.0 - 33.0);
  EXPECT_LE(lastFrameMs, 3000.0 + 33.0);
  EXPECT_EQ(logCount("physical camera released: no active vcam consumers"), 1u);
  EXPECT_EQ(logCount("vcam demand inactive"), 1u);
  EXPECT_EQ(logCount("retouch context released after idle"), 0u);
}

TEST_F(LoopTest, ACameraIndexChangeStopsAndReopens) {
  everyStep = [&](uint64_t t) {
    heartbeat();
    if (t >= 1000) control().cameraIndex = 1;
    if (t >= 3000) stop();
  };
  heartbeat();
  EXPECT_EQ(run({}), 0);
  ASSERT_EQ(camera.opens.size(), 2u);
  EXPECT_EQ(camera.opens[0].cameraIndex, 0);
  EXPECT_EQ(camera.opens[1].cameraIndex, 1);
  EXPECT_EQ(logCountStartingWith("capture selection changed to "), 2u);
  EXPECT_EQ(logCount("capture selection changed to camera-index=1 1280x720@30/1"), 1u);
  EXPECT_EQ(camera.stops, 2);  // the change and the stop sequence
}

TEST_F(LoopTest, TheRequestedFormatIsUsedWhileFresh) {
  everyStep = [&](uint64_t t) {
    heartbeat();
    if (t < 1000) {
      control().formatTick = GetTickCount64();
      control().width = 640;
      control().height = 480;
      control().fpsNumerator = 15;
      control().fpsDenominator = 1;
    }
    if (t >= 6000) stop();
  };
  heartbeat();
  EXPECT_EQ(run({}), 0);
  // The first pass sees no request yet (fallback 1280x720); then 640x480; once the
  // request is older than 3000 ms, the fallback again.
  EXPECT_EQ(logCount("capture selection changed to camera-index=0 640x480@15/1"), 1u);
  EXPECT_EQ(logCount("capture selection changed to camera-index=0 1280x720@30/1"), 2u);
}

TEST_F(LoopTest, FailedOpensRetryOnceASecondAndReportTheState) {
  camera.openResult = [](const CaptureRequest&) { return kNotFound; };
  uint32_t stateDuringRun = 0, hrDuringRun = 0;
  everyStep = [&](uint64_t t) {
    heartbeat();
    if (t >= 3500 && !stateDuringRun) {
      stateDuringRun = status().state;
      hrDuringRun = status().hr;
      stop();
    }
  };
  heartbeat();
  EXPECT_EQ(run({}), 0);
  EXPECT_EQ(camera.opens.size(), 4u);  // at 0, 1000, 2000 and 3000 ms
  EXPECT_EQ(stateDuringRun, uint32_t(kProducerStateNoCamera));
  EXPECT_EQ(hrDuringRun, 0xC00D36D5u);
  EXPECT_EQ(logCount("status: no-camera hr=0xc00d36d5"), 1u);
  EXPECT_EQ(frames().frameCounter, 0u);
  for (double ms : sleeps) EXPECT_EQ(ms, 50.0);
}

TEST_F(LoopTest, ReadMissesReachCaptureFailureAfter2000MsAndRecover) {
  camera.delivering = false;
  std::map<uint64_t, uint32_t> states;  // elapsed ms -> state
  everyStep = [&](uint64_t t) {
    heartbeat();
    states[t] = status().state;
    if (t >= 3000) camera.delivering = true;
    if (t >= 3500) stop();
  };
  heartbeat();
  EXPECT_EQ(run({}), 0);
  // First miss at 200 ms; state 7 only once more than 2000 ms have passed since.
  for (const auto& [t, state] : states) {
    if (t <= 2200) {
      EXPECT_NE(state, uint32_t(kProducerStateCaptureFailure)) << t;
    }
  }
  EXPECT_EQ(states.lower_bound(2700)->second, uint32_t(kProducerStateCaptureFailure));
  EXPECT_EQ(states.rbegin()->second, uint32_t(kProducerStateLive));
  EXPECT_EQ(logCount("status: capture-failure"), 1u);
}

TEST_F(LoopTest, TheContextOutlivesDemandBy60Seconds) {
  // Demand in bursts: [0, 1000), [1000 + 59000 - 200, +1000), then idle for 61 s, then once more.
  const uint64_t secondBurst = 1000 + 59000 - 200;
  const uint64_t thirdBurst = secondBurst + 1000 + 61000;
  auto inBurst = [&](uint64_t t) {
    return t < 1000 || (t >= secondBurst && t < secondBurst + 1000) || (t >= thirdBurst && t < thirdBurst + 500);
  };
  int buildsBeforeThird = -1;
  everyStep = [&](uint64_t t) {
    control().requestTick = inBurst(t) ? GetTickCount64() : 0;
    if (t >= thirdBurst && buildsBeforeThird < 0) buildsBeforeThird = context.builds;
    if (t >= thirdBurst + 500) stop();
  };
  heartbeat();
  EXPECT_EQ(run({}), 0);
  EXPECT_EQ(buildsBeforeThird, 1);  // the second burst reused the first context
  EXPECT_EQ(context.builds, 2);
  EXPECT_EQ(logCount("retouch context released after idle"), 1u);
  EXPECT_EQ(logCount("initializing retouch context"), 2u);
  EXPECT_EQ(logCount("status: starting"), 2u);
  EXPECT_EQ(logCount("vcam demand active"), 3u);
  EXPECT_EQ(logCount("vcam demand inactive"), 2u);
}

TEST_F(LoopTest, AContextThatCannotBeBuiltIsFatal) {
  context.failBuild = true;
  std::vector<uint32_t> states;
  everyStep = [&](uint64_t) { heartbeat(); };
  heartbeat();
  EXPECT_EQ(run({}), 1);
  EXPECT_EQ(err.str(), "fatal: no models here\n");
  auto lines = logMessages();
  auto at = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
  EXPECT_LT(at("status: starting"), at("status: model-failure"));
  EXPECT_LT(at("status: model-failure"), at("fatal: no models here"));
  EXPECT_EQ(lines.back(), "fatal: no models here");
  EXPECT_EQ(logCount("vcam producer stopped"), 0u);
  EXPECT_EQ(status().state, 0u);  // the status writer's close ran before the fatal line
}

TEST_F(LoopTest, ProcessingErrorsAreLoggedSparselyWhileFramesPublish) {
  context.throwInProcess = true;
  EXPECT_EQ(run({"--headless-frames", "130"}), 0);  // 130 frames of 33 ms stay in one 5 s window
  EXPECT_EQ(logCount("warning: retouch processing failed: engine broke"), 7u);  // 1..5, 60, 120
  EXPECT_EQ(frames().frameCounter, 130u);
  EXPECT_EQ(frames().slots[frames().latestSlot].width, 64u);  // the camera frame, not the half-made output
  ASSERT_EQ(telemetry.reasons.size(), 130u);
  EXPECT_EQ(telemetry.reasons.back(), CameraStateReason::kModelError);
  EXPECT_EQ(logCount("status: live"), 1u);
}

TEST_F(LoopTest, WithoutChannelsTheLoopRunsOnAndPublishesNothing) {
  platform::faults::inject("MapViewOfFile", 8);  // ERROR_NOT_ENOUGH_MEMORY for every view
  EXPECT_EQ(run({"--headless-frames", "3"}), 0);
  EXPECT_EQ(err.str(), "warning: shared frame writer unavailable, error=8\n");
  for (const char* line : {"warning: shared frame writer unavailable, error=8", "warning: control mapping unavailable",
                           "warning: settings mapping unavailable", "warning: status mapping unavailable"}) {
    EXPECT_EQ(logCount(line), 1u) << line;
  }
  EXPECT_EQ(frames().frameCounter, 0u);
  EXPECT_TRUE(telemetry.reasons.empty());  // nothing published, nothing recorded
  EXPECT_EQ(logCount("status: live"), 0u);
}

TEST_F(LoopTest, HeadlessFramesPublishThatManyAndStop) {
  EXPECT_EQ(run({"--headless-frames", "5"}), 0);
  EXPECT_EQ(frames().frameCounter, 5u);
  EXPECT_EQ(camera.opens.size(), 1u);
  EXPECT_EQ(logCount("vcam producer stopped"), 1u);
  // Fixed-count runs read no config.json.
  EXPECT_EQ(logCountStartingWith("no readable config.json"), 0u);
}

TEST_F(LoopTest, ReadMissesDoNotCountAsHeadlessFrames) {
  camera.delivering = false;
  everyStep = [&](uint64_t t) {
    if (t >= 1000) camera.delivering = true;
  };
  EXPECT_EQ(run({"--headless-frames", "3"}), 0);
  EXPECT_EQ(frames().frameCounter, 3u);
}

TEST_F(LoopTest, BypassPublishesUntouchedWithoutLandmarks) {
  context.face = true;
  EXPECT_EQ(run({"--headless-frames", "4", "--bypass"}), 0);
  EXPECT_EQ(context.detects, 0);
  ASSERT_EQ(telemetry.reasons.size(), 4u);
  for (auto reason : telemetry.reasons) EXPECT_EQ(reason, CameraStateReason::kBypass);
  EXPECT_TRUE(telemetry.snapshots.back().bypass);
}

TEST_F(LoopTest, LandmarkFreeModeReusesTheFirstFace) {
  SetEnvironmentVariableW(L"TESMIRA_LANDMARK_FREE", L"1");
  context.face = true;
  EXPECT_EQ(run({"--headless-frames", "6"}), 0);
  EXPECT_EQ(context.detects, 1);
  ASSERT_EQ(telemetry.reasons.size(), 6u);
  EXPECT_EQ(telemetry.reasons.back(), CameraStateReason::kRetouched);
}

TEST_F(LoopTest, StatisticsLineEveryFiveSeconds) {
  demandUntil(5100);
  EXPECT_EQ(run({}), 0);
  std::string printed = out.str();
  ASSERT_FALSE(printed.empty());
  ASSERT_EQ(printed.back(), '\n');
  printed.pop_back();
  std::vector<std::string> tokens;
  std::istringstream words(printed);
  for (std::string word; words >> word;) tokens.push_back(word);
  auto valueOf = [&](size_t index, const std::string& key) {
    EXPECT_LT(index, tokens.size());
    if (index >= tokens.size()) return std::string();
    EXPECT_EQ(tokens[index].substr(0, key.size() + 1), key + "=") << index;
    return tokens[index].substr(key.size() + 1);
  };
  auto twoDecimalPair = [](const std::string& text) {
    const auto slash = text.find('/');
    auto fixed2 = [](const std::string& n) {
      const auto dot = n.find('.');
      return dot != std::string::npos && dot > 0 && n.size() == dot + 3 &&
             n.find_first_not_of("0123456789.") == std::string::npos;
    };
    return slash != std::string::npos && fixed2(text.substr(0, slash)) && fixed2(text.substr(slash + 1));
  };
  ASSERT_EQ(tokens.size(), 2u + 12u + 1u + 13u) << printed;
  EXPECT_EQ(tokens[0] + " " + tokens[1], "vcam producer");
  const std::string frames = tokens[2].substr(std::string("frames=").size());
  EXPECT_EQ(tokens[2].substr(0, 7), "frames=");
  EXPECT_EQ(valueOf(3, "published"), frames);
  EXPECT_EQ(valueOf(4, "face"), "0");
  EXPECT_EQ(valueOf(5, "retouched"), "0");
  EXPECT_EQ(valueOf(6, "no-face"), frames);
  const char* zeroCounters[] = {"process-errors", "read-misses", "mouth-open", "teeth-frames", "eye-frames",
                                "d3d-texture-frames"};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(valueOf(7 + i, zeroCounters[i]), "0");
  EXPECT_EQ(valueOf(13, "provider"), "directml");
  EXPECT_EQ(tokens[14], "timings_ms(avg/max)");
  const char* stages[] = {"total", "capture", "pre", "landmark", "pipeline", "skin_model", "skin_comp",
                          "teeth_total", "teeth_model", "teeth_comp", "eye", "paste", "publish"};
  for (size_t i = 0; i < 13; ++i) EXPECT_TRUE(twoDecimalPair(valueOf(15 + i, stages[i]))) << tokens[15 + i];
  EXPECT_EQ(valueOf(16, "capture"), "33.00/33.00");
  EXPECT_EQ(valueOf(20, "skin_model"), "0.00/0.00");
  EXPECT_EQ(logCountStartingWith("vcam producer frames="), 1u);
}

TEST_F(LoopTest, TheFirstFramesTotalLeavesOutTheContextAndTheCameraOpen) {
  contextBuildMs = 700;
  cameraOpenMs = 400;
  demandUntil(5100);
  EXPECT_EQ(run({}), 0);
  // Every frame's total is the 33 ms the camera took, the first one's too.
  EXPECT_NE(out.str().find(" total=33.00/33.00 capture=33.00/33.00 "), std::string::npos) << out.str();
  EXPECT_EQ(logCountStartingWith("slow frame"), 0u);
}

TEST_F(LoopTest, SlowTeethFramesAreLoggedAtMostEveryTwoSeconds) {
  context.face = true;
  context.timings = {1, 2, 3, 30, 4, 5, 6, 7, 8, true, true, true};
  demandUntil(3000);
  EXPECT_EQ(run({}), 0);
  // The frame total is the 33 ms the camera took; teeth_total 30 ms makes each frame slow.
  EXPECT_EQ(logCount("slow frame timings_ms total=33.00 pipeline=1.00 skin_model=2.00 skin_comp=3.00 teeth_total=30.00 "
                     "teeth_roi=4.00 teeth_model=5.00 teeth_comp=6.00 eye=7.00 paste=8.00"),
            2u);
}

TEST_F(LoopTest, StillModePacesAtItsRateAndNeverOpensTheCamera) {
  cv::imwrite((root() / "face.png").string(), cv::Mat(30, 40, CV_8UC3, cv::Scalar(0, 0, 255)));
  EXPECT_EQ(run({"--still", (root() / "face.png").string(), "--still-fps", "8", "--headless-frames", "3", "--stamp-seq"}), 0);
  EXPECT_TRUE(camera.opens.empty());
  EXPECT_EQ(sleeps, (std::vector<double>{125.0, 125.0, 125.0}));
  EXPECT_EQ(logCount("still mode: " + (root() / "face.png").string() + " 40x30 stamp=on fps=8.000000"), 1u);
  EXPECT_EQ(frames().frameCounter, 3u);
  EXPECT_EQ(logCountStartingWith("capture selection changed"), 0u);
}

// The first frame's wait, in slices of at most 250 ms; a stop request after the fourth
// slice ends a wait of any length there.
TEST_F(LoopTest, StillPacingSaturatesItsPeriodAndStopsWithinASlice) {
  cv::imwrite((root() / "face.png").string(), cv::Mat(30, 40, CV_8UC3, cv::Scalar(0, 0, 255)));
  struct Case {
    const char* fps;
    std::vector<double> sleeps;
  };
  const std::vector<double> fourSlices{250.0, 250.0, 250.0, 250.0};
  const Case cases[] = {
      {"0", {33.0 + 1.0 / 3.0}},  // 0 or less is 30
      {"-1", {33.0 + 1.0 / 3.0}},
      {"240", {1000.0 / 240.0}},
      {"0.5", fourSlices},     // 2000 ms
      {"1e-5", fourSlices},    // 27.8 hours
      {"1e-300", fourSlices},  // 1000 / rate is far beyond any duration
      {"1e308", {1e-305}},     // taken as given
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fps);
    sleeps.clear();
    everyStep = [this](uint64_t) {
      if (sleeps.size() == 4) stop();
    };
    EXPECT_EQ(run({"--still", (root() / "face.png").string(), "--still-fps", c.fps, "--headless-frames", "1"}), 0);
    ASSERT_EQ(sleeps.size(), c.sleeps.size());
    for (size_t i = 0; i < sleeps.size(); ++i) EXPECT_NEAR(sleeps[i], c.sleeps[i], 1e-9);
  }
}

TEST_F(LoopTest, AStillTheChannelCannotCarryIsLoggedOnceWithItsSizeAndTheLimit) {
  cv::imwrite((root() / "dot.png").string(), cv::Mat(1, 1, CV_8UC3, cv::Scalar(0, 0, 255)));
  EXPECT_EQ(run({"--still", (root() / "dot.png").string(), "--still-fps", "8", "--headless-frames", "3"}), 0);
  EXPECT_EQ(logCount("warning: a 1x1 frame cannot be published: the frame channel carries even sizes from 2x2 to "
                     "1920x1920 of at most 2073600 pixels"),
            1u);
  EXPECT_EQ(frames().frameCounter, 0u);
}

TEST_F(LoopTest, AStillIsShrunkToMaxWidthAndMirroredOnce) {
  cv::Mat still(30, 40, CV_8UC3, cv::Scalar(0, 0, 255));            // red
  still(cv::Rect(20, 0, 20, 30)).setTo(cv::Scalar(255, 0, 0));     // right half blue
  cv::imwrite((root() / "face.png").string(), still);
  EXPECT_EQ(run({"--still", (root() / "face.png").string(), "--max-width", "20", "--mirror", "--headless-frames", "2"}), 0);
  EXPECT_EQ(logCount("still mode: " + (root() / "face.png").string() + " 20x15 stamp=off fps=30.000000"), 1u);
  const RetouchFrameSlot& slot = frames().slots[frames().latestSlot];
  ASSERT_EQ(slot.width, 20u);
  ASSERT_EQ(slot.height, 14u);  // 15 rows, even-cropped
  const auto* luma = static_cast<const uint8_t*>(frames_.view) + frameSlotDataOffset(frames().latestSlot);
  EXPECT_EQ(luma[0], 41);   // blue, mirrored to the left
  EXPECT_EQ(luma[19], 82);  // red on the right
}

TEST_F(LoopTest, IdleRefreshesTheStatusHeartbeatEverySecond) {
  uint32_t sequenceAtStart = 0;
  everyStep = [&](uint64_t t) {
    if (t == 100) sequenceAtStart = status().sequence;
    if (t >= 3600) stop();
  };
  EXPECT_EQ(run({}), 0);
  EXPECT_EQ(logCount("vcam demand active"), 0u);
  EXPECT_TRUE(camera.opens.empty());
  EXPECT_EQ(context.builds, 0);
  // Written at the first idle pass and then at 1000, 2000 and 3000 ms.
  EXPECT_EQ(sequenceAtStart, 1u);
  EXPECT_GE(status().sequence, 4u);
  EXPECT_LE(status().sequence, 5u);  // the close may add one more
}

TEST_F(LoopTest, PreviewOffIsSentWhenThePreviewEnds) {
  everyStep = [&](uint64_t t) {
    heartbeat();
    if (t < 1000) {
      control().previewTick = GetTickCount64();
    } else {
      control().previewTick = 0;
      control().fallbackWidth = 0;
    }
    if (t >= 1500) stop();
  };
  heartbeat();
  EXPECT_EQ(run({}), 0);
  EXPECT_EQ(telemetry.previewOffs, 1);
}

TEST_F(LoopTest, AnUnreadableStillIsFatal) {
  touch(root() / "broken.png", "not a png");
  EXPECT_EQ(run({"--still", (root() / "broken.png").string()}), 1);
  EXPECT_EQ(err.str(), "fatal: could not read --still image: " + (root() / "broken.png").string() + "\n");
}

TEST_F(LoopTest, OptionErrorsAreFatalAndHelpIsNot) {
  EXPECT_EQ(run({"--provider", "vulkan"}), 1);
  EXPECT_EQ(err.str(), "fatal: Unknown provider 'vulkan'. Use cpu, directml, or cuda.\n");
  EXPECT_EQ(logMessages(), (std::vector<std::string>{"fatal: Unknown provider 'vulkan'. Use cpu, directml, or cuda."}));
  err.str("");
  EXPECT_EQ(run({"--help"}), 0);
  EXPECT_EQ(err.str(), "");
}

TEST_F(LoopTest, ConfigJsonSeedsTheSettingsChannel) {
  touch(root() / "AppData/Tesmira/config.json", R"({"filter": {"clearSkin": 0.9, "tone": "studio"}})");
  MappedChannel settings = openOrCreateChannel(kRetouchSettingsChannelName, sizeof(RetouchSettingsBlock));
  ASSERT_NE(settings.view, nullptr);
  everyStep = [&](uint64_t t) {
    if (t >= 300) stop();
  };
  EXPECT_EQ(run({}), 0);
  EXPECT_EQ(logCount("retouch settings seeded from config.json"), 1u);
  EXPECT_FLOAT_EQ(static_cast<RetouchSettingsBlock*>(settings.view)->clearSkin, 0.9f);
  EXPECT_EQ(static_cast<RetouchSettingsBlock*>(settings.view)->tone, 3);
  closeMapping(settings);
}

TEST(ConsoleControl, StopsOnlyForTheFourStopEvents) {
  for (DWORD type : {0u, 1u, 2u, 6u}) EXPECT_EQ(onConsoleControl(type), TRUE) << type;
  for (DWORD type : {3u, 4u, 5u, 7u}) EXPECT_EQ(onConsoleControl(type), FALSE) << type;
}

TEST(EnvFlag, OnlyALeadingOneCounts) {
  for (auto [value, expected] : std::vector<std::pair<const char*, bool>>{
           {"1", true}, {"10", true}, {"1abc", true}, {"0", false}, {"", false}, {"true", false}, {" 1", false}}) {
    SetEnvironmentVariableW(L"TESMIRA_TEST_FLAG", std::filesystem::path(value).wstring().c_str());
    EXPECT_EQ(envFlagEnabled("TESMIRA_TEST_FLAG"), expected) << value;
  }
  SetEnvironmentVariableW(L"TESMIRA_TEST_FLAG", nullptr);
  EXPECT_FALSE(envFlagEnabled("TESMIRA_TEST_FLAG"));
}

}  // namespace
}  // namespace tesmira
