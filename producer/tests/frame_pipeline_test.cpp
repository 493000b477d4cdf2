// One frame through landmarks and retouch with a scripted context: what is to be
// published, what is counted, and how failures leave the frame.
#include "producer/frame_pipeline.h"

#include <cmath>
#include <sstream>

#include "producer/loop_clock.h"
#include "producer/tests/loop_doubles.h"
#include "producer/tests/producer_fixture.h"
#include "tesmira/platform_testing.h"

namespace tesmira {
namespace {

using testing::ContextScript;
using testing::FakeContext;
using testing::ProducerTest;

class FramePipelineTest : public ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    platform::testclock::freeze();
  }
  ProcessedFrame process(FramePipeline& pipeline) { return pipeline.process(engine, {frame}, 0, RetouchSettings{}); }

  ContextScript context;
  FakeContext engine{context};
  LoopStatistics statistics{steadyNs()};
  cv::Mat frame = cv::Mat(48, 64, CV_8UC3, cv::Scalar(40, 80, 120));
};

TEST_F(FramePipelineTest, FacesAreRetouchedWithTheirPointsAndOtherFramesWithNone) {
  FramePipeline pipeline(statistics, false, false);
  context.face = true;
  ProcessedFrame retouched = process(pipeline);
  EXPECT_EQ(retouched.reason, CameraStateReason::kRetouched);
  EXPECT_TRUE(retouched.stateToRecord);
  context.face = false;
  ProcessedFrame noFace = process(pipeline);
  EXPECT_EQ(noFace.reason, CameraStateReason::kNoFace);
  EXPECT_TRUE(noFace.stateToRecord);
  EXPECT_EQ(noFace.output.data, frame.data);  // shared, not copied
  EXPECT_EQ(context.pointCounts, (std::vector<size_t>{468, 0}));
  EXPECT_EQ(statistics.window().face, 1u);
  EXPECT_EQ(statistics.window().retouched, 1u);
  EXPECT_EQ(statistics.window().noFace, 1u);
}

TEST_F(FramePipelineTest, LandmarkFreeModeSearchesUntilTheFirstFaceThenKeepsIt) {
  FramePipeline pipeline(statistics, false, true);
  process(pipeline);
  process(pipeline);
  context.face = true;
  process(pipeline);
  context.face = false;  // the face leaves; its points stay
  EXPECT_EQ(process(pipeline).reason, CameraStateReason::kRetouched);
  EXPECT_EQ(context.detects, 3);
  EXPECT_EQ(context.pointCounts, (std::vector<size_t>{0, 0, 468, 468}));
}

TEST_F(FramePipelineTest, BypassNeitherDetectsNorRetouches) {
  FramePipeline pipeline(statistics, true, false);
  context.face = true;
  const ProcessedFrame bypassed = process(pipeline);
  EXPECT_EQ(bypassed.reason, CameraStateReason::kBypass);
  EXPECT_TRUE(bypassed.stateToRecord);
  EXPECT_EQ(bypassed.output.data, frame.data);
  EXPECT_EQ(context.detects, 0);
  EXPECT_TRUE(context.pointCounts.empty());
}

TEST_F(FramePipelineTest, FacePointsGoAheadByTheLeadUntilSomethingBreaksTheMotion) {
  FramePipeline pipeline(statistics, false, false, 33.0);
  struct Step {
    const char* what;
    float faceX;  // NaN: no face
    bool throwInProcess = false;
    bool forget = false;
  };
  const float none = std::nanf("");
  const Step steps[] = {
      {"first face passes", 100},
      {"10 px in 33 ms goes 10 px further", 110},
      {"no face", none},
      {"after no face: passes", 130},
      {"predicted again", 140},
      {"processing error", 150, true},
      {"after an error: passes", 160},
      {"camera reopened", 170, false, true},
      {"predicted once more", 175},
  };
  int64_t t = 1000;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.forget) pipeline.forgetMotion();
    context.face = !std::isnan(step.faceX);
    context.faceX = step.faceX;
    context.throwInProcess = step.throwInProcess;
    pipeline.process(engine, {frame}, t, RetouchSettings{});
    t += 33;
  }
  EXPECT_EQ(context.firstX, (std::vector<float>{100, 120, 130, 150, 160, 160, 170, 180}));
}

TEST_F(FramePipelineTest, WithoutLeadThePointsReachTheEngineAsDetected) {
  FramePipeline plain(statistics, false, false);
  context.face = true;
  int64_t t = 0;
  for (float x : {100.0f, 110.0f}) {
    context.faceX = x;
    plain.process(engine, {frame}, t += 33, RetouchSettings{});
  }
  EXPECT_EQ(context.firstX, (std::vector<float>{100, 110}));
}

TEST_F(FramePipelineTest, Nv12IsPublishedOnlyWhenTheEngineFilledAllOfIt) {
  struct Case {
    int width, height;
    size_t bytes;
    bool ready;
  };
  for (const Case& c : {Case{16, 2, 48, true}, Case{16, 2, 47, false}, Case{0, 2, 48, false},
                        Case{16, -2, 48, false}}) {
    FramePipeline pipeline(statistics, false, false);
    context.nv12Width = c.width;
    context.nv12Height = c.height;
    context.nv12Bytes = c.bytes;
    const ProcessedFrame processed = process(pipeline);
    EXPECT_EQ(processed.nv12Ready, c.ready) << c.width << "x" << c.height << " in " << c.bytes;
    if (c.ready) {
      EXPECT_EQ(processed.nv12[0], 16);
    }
  }
}

TEST_F(FramePipelineTest, AFailedFrameStaysAsCapturedAndIsLoggedSparselyPerWindow) {
  FramePipeline pipeline(statistics, false, false);
  context.throwInProcess = true;
  context.nv12Width = 16;  // whatever the engine claimed before it failed
  for (int i = 0; i < 6; ++i) {
    const ProcessedFrame failed = process(pipeline);
    EXPECT_EQ(failed.reason, CameraStateReason::kModelError);
    EXPECT_TRUE(failed.stateToRecord);
    EXPECT_FALSE(failed.nv12Ready);
    EXPECT_EQ(failed.output.data, frame.data);  // not the half-made output
  }
  EXPECT_EQ(logCount("warning: retouch processing failed: engine broke"), 5u);
  // A new statistics window counts from one again.
  std::ostringstream out;
  statistics.writeLineIfDue(steadyNs() + 5 * kNsPerSecond, "none", out);
  process(pipeline);
  EXPECT_EQ(logCount("warning: retouch processing failed: engine broke"), 6u);
  EXPECT_EQ(statistics.window().processErrors, 1u);
}

}  // namespace
}  // namespace tesmira
