// The loop's counters and stage timings: the statistics line, its 5-second window
// and the slow-frame line, on the test clock.
#include "producer/loop_statistics.h"

#include <sstream>

#include "producer/loop_clock.h"
#include "producer/tests/producer_fixture.h"
#include "tesmira/platform_testing.h"

namespace tesmira {
namespace {

using testing::ProducerTest;
namespace testclock = platform::testclock;

class LoopStatisticsTest : public ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    testclock::freeze();
    startNs_ = steadyNs();
  }
  // A frame that took totalMs on the test clock.
  double frameOf(LoopStatistics& statistics, double totalMs, const RetouchTimings& timings) {
    const int64_t frameStart = steadyNs();
    testclock::advanceNs(uint64_t(totalMs * 1e6));
    return statistics.finishFrame(frameStart, timings);
  }
  int64_t startNs_ = 0;
};

// pipeline 1, skin 2 and 3, teeth_roi 4, teeth_model 5, teeth_comp 6, eye 7, paste 8.
RetouchTimings teethFrame(double teethTotalMs) { return {1, 2, 3, teethTotalMs, 4, 5, 6, 7, 8, false, true, false}; }

TEST(StageTimingText, AverageAndMaximumWithTwoDecimals) {
  StageTiming timing;
  EXPECT_EQ(formatStageTiming("total", timing), "total=0.00/0.00");
  timing.add(10.0);
  timing.add(14.68);
  timing.add(12.34);
  EXPECT_EQ(timing.count, 3u);
  EXPECT_EQ(formatStageTiming("total", timing), "total=12.34/14.68");
}

TEST_F(LoopStatisticsTest, TheLineNamesEveryCounterAndStageInItsOrder) {
  LoopStatistics statistics(startNs_);
  statistics.addStage(LoopStage::kCapture, 30.0);
  statistics.addStage(LoopStage::kCapture, 36.0);
  statistics.addStage(LoopStage::kPre, 0.5);
  statistics.addStage(LoopStage::kLandmark, 4.0);
  statistics.addStage(LoopStage::kPipeline, 9.0);
  statistics.addStage(LoopStage::kPublish, 1.25);
  RetouchTimings withTeeth = teethFrame(20.0);
  withTeeth.mouthOpen = true;
  statistics.countFace(withTeeth);
  RetouchTimings withEye;
  withEye.skin_model = 4;
  withEye.eye = 3;
  withEye.eyeApplied = true;
  statistics.countFace(withEye);
  statistics.countNoFace();
  EXPECT_EQ(statistics.countProcessError(), 1u);
  EXPECT_EQ(statistics.countProcessError(), 2u);
  statistics.countReadMiss();
  for (int i = 0; i < 3; ++i) statistics.countPublished();
  frameOf(statistics, 40.0, {});
  for (int i = 0; i < 4; ++i) statistics.countFrame();
  // Engine stages count only the frames that had them: teeth one frame, eye one, skin two.
  EXPECT_EQ(statistics.line("cuda"),
            "vcam producer frames=4 published=3 face=2 retouched=2 no-face=1 process-errors=2 read-misses=1 "
            "mouth-open=1 teeth-frames=1 eye-frames=1 d3d-texture-frames=0 provider=cuda timings_ms(avg/max) "
            "total=40.00/40.00 capture=33.00/36.00 pre=0.50/0.50 landmark=4.00/4.00 pipeline=9.00/9.00 "
            "skin_model=3.00/4.00 skin_comp=1.50/3.00 teeth_total=20.00/20.00 teeth_model=5.00/5.00 "
            "teeth_comp=6.00/6.00 eye=3.00/3.00 paste=4.00/8.00 publish=1.25/1.25");
}

TEST_F(LoopStatisticsTest, EveryLoopStageHasItsRowAndEngineRowsFollowTheirFlag) {
  LoopStatistics statistics(startNs_);
  const LoopStage loopStages[] = {LoopStage::kTotal,    LoopStage::kCapture, LoopStage::kPre,
                                  LoopStage::kLandmark, LoopStage::kPipeline, LoopStage::kPublish};
  for (LoopStage stage : loopStages) statistics.addStage(stage, 2.0);
  statistics.countFace({});  // no teeth, no eye
  for (size_t row = 0; row < kStageCount; ++row) {
    const StageRow& stage = kStageRows[row];
    const uint32_t expected = stage.onlyWhen ? 0u : 1u;  // loop rows once each; unflagged engine rows per face
    EXPECT_EQ(statistics.stage(row).count, expected) << stage.name;
  }
}

TEST_F(LoopStatisticsTest, TheLineComesEveryFiveSecondsAndStartsANewWindow) {
  LoopStatistics statistics(startNs_);
  std::ostringstream out;
  statistics.countPublished();
  statistics.addStage(LoopStage::kCapture, 33.0);
  statistics.countFrame();
  statistics.writeLineIfDue(startNs_ + 5 * kNsPerSecond - 1, "none", out);
  EXPECT_EQ(out.str(), "");
  const std::string due = statistics.line("none");
  statistics.writeLineIfDue(startNs_ + 5 * kNsPerSecond, "none", out);
  EXPECT_EQ(out.str(), due + "\n");
  EXPECT_EQ(logCount(due), 1u);
  // The window and the timings start again; the frame counter goes on.
  EXPECT_EQ(statistics.window().published, 0u);
  EXPECT_EQ(statistics.stage(1).count, 0u);
  EXPECT_EQ(statistics.frames(), 1u);
  // The next line is due 5 s after the pass that wrote this one.
  out.str("");
  statistics.writeLineIfDue(startNs_ + 10 * kNsPerSecond - 1, "none", out);
  EXPECT_EQ(out.str(), "");
  statistics.writeLineIfDue(startNs_ + 10 * kNsPerSecond, "none", out);
  EXPECT_EQ(out.str().rfind("vcam producer frames=1 published=0 ", 0), 0u) << out.str();
}

TEST_F(LoopStatisticsTest, SlowFramesAreThoseWithTeethOverBudget) {
  struct Case {
    bool teeth;
    double teethTotalMs;
    double totalMs;
    bool slow;
  };
  for (const Case& c : {Case{true, 25.0, 10.0, true}, Case{true, 24.99, 59.99, false}, Case{true, 0.0, 60.0, true},
                        Case{false, 90.0, 90.0, false}}) {
    LoopStatistics statistics(startNs_);
    RetouchTimings timings = teethFrame(c.teethTotalMs);
    timings.teethApplied = c.teeth;
    const size_t before = logCountStartingWith("slow frame timings_ms ");
    EXPECT_DOUBLE_EQ(frameOf(statistics, c.totalMs, timings), c.totalMs);
    EXPECT_EQ(logCountStartingWith("slow frame timings_ms ") - before, c.slow ? 1u : 0u)
        << c.teethTotalMs << " " << c.totalMs;
    EXPECT_EQ(statistics.stage(0).count, 1u);  // the total is timed either way
  }
  EXPECT_EQ(logCount("slow frame timings_ms total=10.00 pipeline=1.00 skin_model=2.00 skin_comp=3.00 "
                     "teeth_total=25.00 teeth_roi=4.00 teeth_model=5.00 teeth_comp=6.00 eye=7.00 paste=8.00"),
            1u);
}

TEST_F(LoopStatisticsTest, TheSlowFrameLineComesAtMostEveryTwoSeconds) {
  LoopStatistics statistics(startNs_);
  const RetouchTimings slow = teethFrame(30.0);
  frameOf(statistics, 10.0, slow);  // the first may come at once
  testclock::advanceMs(1989);       // 1999 ms after it
  frameOf(statistics, 10.0, slow);
  EXPECT_EQ(logCountStartingWith("slow frame timings_ms "), 1u);
  testclock::advanceMs(1);
  frameOf(statistics, 0.0, slow);  // 2000 ms after it
  EXPECT_EQ(logCountStartingWith("slow frame timings_ms "), 2u);
}

}  // namespace
}  // namespace tesmira
