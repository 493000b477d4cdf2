#include "producer/loop_statistics.h"

#include <cstdio>
#include <ostream>

#include "producer/loop_clock.h"
#include "producer/producer_log.h"

namespace tesmira {
namespace {

std::string fixed2(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

constexpr size_t rowOf(LoopStage stage) {
  for (size_t row = 0; row < kStageCount; ++row) {
    if (kStageRows[row].timedBy == stage) return row;
  }
  return kStageCount;
}

constexpr bool rowsAreSound() {
  for (auto stage : {LoopStage::kTotal, LoopStage::kCapture, LoopStage::kPre, LoopStage::kLandmark,
                     LoopStage::kPipeline, LoopStage::kPublish}) {
    size_t rows = 0;
    for (const StageRow& row : kStageRows) rows += row.timedBy == stage && !row.engineMs;
    if (rows != 1) return false;
  }
  for (const StageRow& row : kStageRows) {
    if ((row.timedBy == LoopStage::kEngine) != (row.engineMs != nullptr)) return false;
  }
  return true;
}
static_assert(rowsAreSound(), "every loop stage has one row, every engine row a time");

constexpr int64_t kStatisticsPeriodNs = 5 * kNsPerSecond;
constexpr int64_t kSlowLinePeriodNs = 2 * kNsPerSecond;

}  // namespace

void StageTiming::add(double ms) {
  sumMs += ms;
  if (ms > maxMs) maxMs = ms;
  ++count;
}

std::string formatStageTiming(const std::string& name, const StageTiming& timing) {
  const double average = timing.count ? timing.sumMs / timing.count : 0.0;
  return name + "=" + fixed2(average) + "/" + fixed2(timing.maxMs);
}

LoopStatistics::LoopStatistics(int64_t startNs) : lastLineNs_(startNs), lastSlowLineNs_(startNs - 10 * kNsPerSecond) {}

void LoopStatistics::addStage(LoopStage stage, double ms) { stages_[rowOf(stage)].add(ms); }

void LoopStatistics::countFace(const RetouchTimings& timings) {
  ++window_.face;
  for (size_t row = 0; row < kStageCount; ++row) {
    const StageRow& stage = kStageRows[row];
    if (stage.engineMs && (!stage.onlyWhen || timings.*stage.onlyWhen)) stages_[row].add(timings.*stage.engineMs);
  }
  if (timings.mouthOpen) ++window_.mouthOpen;
  if (timings.teethApplied) ++window_.teethFrames;
  if (timings.eyeApplied) ++window_.eyeFrames;
  ++window_.retouched;
}

double LoopStatistics::finishFrame(int64_t frameStartNs, const RetouchTimings& timings) {
  const double totalMs = msBetween(frameStartNs, steadyNs());
  addStage(LoopStage::kTotal, totalMs);
  const int64_t afterFrame = steadyNs();
  if (timings.teethApplied && (timings.teeth_total >= 25.0 || totalMs >= 60.0) &&
      afterFrame - lastSlowLineNs_ >= kSlowLinePeriodNs) {
    logLine("slow frame timings_ms total=" + fixed2(totalMs) + " pipeline=" + fixed2(timings.pipeline) +
            " skin_model=" + fixed2(timings.skin_model) + " skin_comp=" + fixed2(timings.skin_comp) +
            " teeth_total=" + fixed2(timings.teeth_total) + " teeth_roi=" + fixed2(timings.teeth_roi) +
            " teeth_model=" + fixed2(timings.teeth_model) + " teeth_comp=" + fixed2(timings.teeth_comp) +
            " eye=" + fixed2(timings.eye) + " paste=" + fixed2(timings.paste));
    lastSlowLineNs_ = afterFrame;
  }
  return totalMs;
}

std::string LoopStatistics::line(const std::string& provider) const {
  const WindowCounters& w = window_;
  std::string text = "vcam producer frames=" + std::to_string(frames_) + " published=" + std::to_string(w.published) +
                     " face=" + std::to_string(w.face) + " retouched=" + std::to_string(w.retouched) +
                     " no-face=" + std::to_string(w.noFace) + " process-errors=" + std::to_string(w.processErrors) +
                     " read-misses=" + std::to_string(w.readMisses) + " mouth-open=" + std::to_string(w.mouthOpen) +
                     " teeth-frames=" + std::to_string(w.teethFrames) + " eye-frames=" + std::to_string(w.eyeFrames) +
                     " d3d-texture-frames=" + std::to_string(w.d3dTextureFrames) + " provider=" + provider +
                     " timings_ms(avg/max)";
  for (size_t row = 0; row < kStageCount; ++row) text += " " + formatStageTiming(kStageRows[row].name, stages_[row]);
  return text;
}

void LoopStatistics::writeLineIfDue(int64_t passNowNs, const std::string& provider, std::ostream& out) {
  if (passNowNs - lastLineNs_ < kStatisticsPeriodNs) return;
  const std::string text = line(provider);
  out << text << std::endl;
  logLine(text);
  window_ = {};
  stages_ = {};
  lastLineNs_ = passNowNs;
}

}  // namespace tesmira
