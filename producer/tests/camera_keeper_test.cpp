// The camera keeper on the test clock with a scripted capture source: when it tries
// to open, what a selection change does, and when read-misses turn into a failure.
#include "producer/camera_keeper.h"

#include <deque>

#include "producer/loop_clock.h"
#include "producer/tests/producer_fixture.h"
#include "tesmira/platform_testing.h"

namespace tesmira {
namespace {

using testing::ProducerTest;
namespace testclock = platform::testclock;
using Attempt = CameraKeeper::OpenAttempt;

constexpr HRESULT kNotFound = HRESULT(0xC00D36D5u);

struct SourceScript {
  std::deque<HRESULT> openResults;  // S_OK once they run out
  std::vector<CaptureRequest> opens;
  std::vector<bool> mirrorAsked;
  std::vector<ID3D11Device*> devices;
  std::deque<cv::Mat> frames;  // a missing frame is a read-miss
  bool mirrorsInCapture = false;
  int stops = 0;
  bool destroyed = false;
};

class ScriptedSource final : public ICaptureSource {
 public:
  explicit ScriptedSource(SourceScript& script) : script_(script) {}
  ~ScriptedSource() override { script_.destroyed = true; }
  bool open(const CaptureRequest& request, bool mirror, ID3D11Device* device) override {
    script_.opens.push_back(request);
    script_.devices.push_back(device);
    script_.mirrorAsked.push_back(mirror);
    last_ = S_OK;
    if (!script_.openResults.empty()) {
      last_ = script_.openResults.front();
      script_.openResults.pop_front();
    }
    return SUCCEEDED(last_);
  }
  bool waitFrame(CameraFrame& frame, uint32_t) override {
    if (script_.frames.empty()) return false;
    frame.image = script_.frames.front();
    script_.frames.pop_front();
    return true;
  }
  void stop() override { ++script_.stops; }
  HRESULT lastHresult() const override { return last_; }
  bool mirrorsInCapture() const override { return script_.mirrorsInCapture; }

 private:
  SourceScript& script_;
  HRESULT last_ = S_OK;
};

class CameraKeeperTest : public ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    testclock::freeze();
    startNs_ = steadyNs();
  }
  CameraKeeper makeKeeper(bool mirror = false) {
    return CameraKeeper(std::make_unique<ScriptedSource>(script), mirror, startNs_);
  }
  int64_t at(int64_t ms) const { return startNs_ + ms * kNsPerMs; }

  SourceScript script;
  int64_t startNs_ = 0;
};

TEST_F(CameraKeeperTest, OpenAttemptsComeAtMostOnceASecondUntilOneSucceeds) {
  script.openResults = {kNotFound, E_ACCESSDENIED};
  CameraKeeper keeper = makeKeeper(true);
  keeper.select({});
  struct Step {
    int64_t ms;
    Attempt expected;
  };
  for (const Step& step : {Step{0, Attempt::kFailed}, Step{999, Attempt::kNotDue}, Step{1000, Attempt::kFailed},
                           Step{1500, Attempt::kNotDue}, Step{2100, Attempt::kOpened},
                           Step{5000, Attempt::kNotDue}}) {
    EXPECT_EQ(keeper.openIfDue(at(step.ms)), step.expected) << step.ms;
    if (step.expected == Attempt::kFailed) {
      EXPECT_FALSE(keeper.opened()) << step.ms;
    }
  }
  EXPECT_TRUE(keeper.opened());
  ASSERT_EQ(script.opens.size(), 3u);
  EXPECT_EQ(script.opens[2].width, 1280u);
  EXPECT_EQ(script.mirrorAsked, (std::vector<bool>{true, true, true}));
}

TEST_F(CameraKeeperTest, TheHresultOfAFailedOpenIsKept) {
  script.openResults = {kNotFound};
  CameraKeeper keeper = makeKeeper();
  keeper.select({});
  ASSERT_EQ(keeper.openIfDue(at(0)), Attempt::kFailed);
  EXPECT_EQ(keeper.lastHresult(), kNotFound);
}

TEST_F(CameraKeeperTest, ASelectionChangeStopsTheCameraAndReopensWithTheNewOne) {
  CameraKeeper keeper = makeKeeper();
  EXPECT_TRUE(keeper.select({}));  // the first selection is always a change
  EXPECT_EQ(script.stops, 0);       // nothing was open
  ASSERT_EQ(keeper.openIfDue(at(0)), Attempt::kOpened);
  EXPECT_FALSE(keeper.select({}));
  EXPECT_TRUE(keeper.opened());

  CaptureRequest other;
  other.cameraIndex = 1;
  EXPECT_TRUE(keeper.select(other));
  EXPECT_EQ(script.stops, 1);
  EXPECT_FALSE(keeper.opened());
  EXPECT_EQ(keeper.openIfDue(at(999)), Attempt::kNotDue);
  EXPECT_EQ(keeper.openIfDue(at(1000)), Attempt::kOpened);
  ASSERT_EQ(script.opens.size(), 2u);
  EXPECT_EQ(script.opens[1].cameraIndex, 1);
  EXPECT_EQ(logCountStartingWith("capture selection changed to "), 2u);
  EXPECT_EQ(logCount("capture selection changed to camera-index=1 1280x720@30/1"), 1u);

  // Each of the five values is part of the selection.
  for (auto change : {+[](CaptureRequest& r) { r.width = 640; }, +[](CaptureRequest& r) { r.height = 480; },
                      +[](CaptureRequest& r) { r.fpsNumerator = 15; },
                      +[](CaptureRequest& r) { r.fpsDenominator = 2; }}) {
    CaptureRequest next = keeper.selection();
    change(next);
    EXPECT_TRUE(keeper.select(next));
  }
}

TEST_F(CameraKeeperTest, ReadMissesTurnIntoAFailureAfterMoreThan2000Ms) {
  CameraKeeper keeper = makeKeeper();
  keeper.select({});
  ASSERT_EQ(keeper.openIfDue(at(0)), Attempt::kOpened);
  CameraFrame frame;
  EXPECT_FALSE(keeper.takeFrame(frame, 200));
  EXPECT_FALSE(keeper.noteReadMiss());  // the first miss starts the count
  testclock::advanceMs(2000);
  EXPECT_FALSE(keeper.noteReadMiss());
  testclock::advanceMs(1);
  EXPECT_TRUE(keeper.noteReadMiss());
  testclock::advanceMs(10);
  EXPECT_TRUE(keeper.noteReadMiss());  // and on every further miss

  script.frames.push_back(cv::Mat(2, 2, CV_8UC3));
  EXPECT_TRUE(keeper.takeFrame(frame, 200));  // a frame ends the run of misses
  EXPECT_FALSE(keeper.noteReadMiss());

  keeper.forgetReadMisses();
  testclock::advanceMs(5000);
  EXPECT_FALSE(keeper.noteReadMiss());
}

TEST_F(CameraKeeperTest, AnEmptyFrameIsAReadMiss) {
  CameraKeeper keeper = makeKeeper();
  script.frames.push_back(cv::Mat());
  CameraFrame frame;
  EXPECT_FALSE(keeper.takeFrame(frame, 200));
}

TEST_F(CameraKeeperTest, MirrorsOnlyWhatTheCaptureDidNot) {
  cv::Mat frame(1, 2, CV_8UC3, cv::Scalar(0, 0, 0));
  frame.at<cv::Vec3b>(0, 0) = {255, 255, 255};
  struct Case {
    bool mirror;
    bool inCapture;
    bool flipped;
  };
  for (const Case& c : {Case{true, false, true}, Case{true, true, false}, Case{false, false, false}}) {
    script.mirrorsInCapture = c.inCapture;
    CameraKeeper keeper = makeKeeper(c.mirror);
    CameraFrame copy{frame.clone()};
    keeper.mirror(copy);
    EXPECT_EQ(copy.image.at<cv::Vec3b>(0, 1)[0] == 255, c.flipped) << c.mirror << c.inCapture;
    EXPECT_FALSE(copy.mirrorTexture) << "no texture to mirror";
  }
}

TEST_F(CameraKeeperTest, OpenPassesTheEnginesDeviceOn) {
  alignas(8) static char standIn[8];  // never dereferenced by the keeper
  auto* device = reinterpret_cast<ID3D11Device*>(standIn);
  CameraKeeper keeper = makeKeeper();
  keeper.select({});
  ASSERT_EQ(keeper.openIfDue(at(0), device), Attempt::kOpened);
  keeper.release();
  ASSERT_EQ(keeper.openIfDue(at(1000)), Attempt::kOpened);
  EXPECT_EQ(script.devices, (std::vector<ID3D11Device*>{device, nullptr}));
}

TEST_F(CameraKeeperTest, ReleaseStopsOnlyAnOpenCameraAndSoDoesTheEnd) {
  {
    CameraKeeper keeper = makeKeeper();
    keeper.select({});
    EXPECT_FALSE(keeper.release());
    ASSERT_EQ(keeper.openIfDue(at(0)), Attempt::kOpened);
    EXPECT_TRUE(keeper.release());
    EXPECT_FALSE(keeper.opened());
    EXPECT_FALSE(keeper.release());
    EXPECT_EQ(script.stops, 1);
    EXPECT_EQ(keeper.openIfDue(at(1000)), Attempt::kOpened);
  }
  EXPECT_EQ(script.stops, 2);  // the end stops an open camera
  EXPECT_TRUE(script.destroyed);
}

}  // namespace
}  // namespace tesmira
