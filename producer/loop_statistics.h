#pragma once
// What the main loop counts and times: the 5-second window behind the statistics
// line, the per-stage timings and the slow-frame line.
#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <iterator>
#include <string>

#include "producer/retouch_context.h"

namespace tesmira {

struct StageTiming {
  double sumMs = 0;
  double maxMs = 0;
  uint32_t count = 0;
  void add(double ms);
};
// name=avg/max with two decimals, e.g. total=12.34/40.10.
std::string formatStageTiming(const std::string& name, const StageTiming& timing);

// The stages the loop times itself; kEngine marks a stage whose time the engine reports.
enum class LoopStage : uint8_t { kTotal, kCapture, kPre, kLandmark, kPipeline, kPublish, kEngine };

// One stage of the statistics line and where its time comes from. Engine stages are
// taken from the timings of frames with a face, and only when `onlyWhen` (if given) is set.
struct StageRow {
  const char* name;
  LoopStage timedBy;
  double RetouchTimings::*engineMs = nullptr;
  bool RetouchTimings::*onlyWhen = nullptr;
};

// In the order of the statistics line.
inline constexpr StageRow kStageRows[] = {
    {"total", LoopStage::kTotal},
    {"capture", LoopStage::kCapture},
    {"pre", LoopStage::kPre},
    {"landmark", LoopStage::kLandmark},
    {"pipeline", LoopStage::kPipeline},
    {"skin_model", LoopStage::kEngine, &RetouchTimings::skin_model},
    {"skin_comp", LoopStage::kEngine, &RetouchTimings::skin_comp},
    {"teeth_total", LoopStage::kEngine, &RetouchTimings::teeth_total, &RetouchTimings::teethApplied},
    {"teeth_model", LoopStage::kEngine, &RetouchTimings::teeth_model, &RetouchTimings::teethApplied},
    {"teeth_comp", LoopStage::kEngine, &RetouchTimings::teeth_comp, &RetouchTimings::teethApplied},
    {"eye", LoopStage::kEngine, &RetouchTimings::eye, &RetouchTimings::eyeApplied},
    {"paste", LoopStage::kEngine, &RetouchTimings::paste},
    {"publish", LoopStage::kPublish},
};
inline constexpr size_t kStageCount = std::size(kStageRows);

// Counters of the current window, reset after each statistics line.
struct WindowCounters {
  uint32_t published = 0, face = 0, retouched = 0, noFace = 0, processErrors = 0, readMisses = 0, mouthOpen = 0,
           teethFrames = 0, eyeFrames = 0, d3dTextureFrames = 0;
};

class LoopStatistics {
 public:
  // The first window starts at startNs; the first slow-frame line may come at once.
  explicit LoopStatistics(int64_t startNs);

  void addStage(LoopStage stage, double ms);
  // A frame the engine processed with a face: its engine stage times and what it held.
  void countFace(const RetouchTimings& timings);
  void countNoFace() { ++window_.noFace; }
  // The window's count of processing errors, this one included.
  uint32_t countProcessError() { return ++window_.processErrors; }
  void countReadMiss() { ++window_.readMisses; }
  void countD3dTextureFrame() { ++window_.d3dTextureFrames; }
  void countPublished() { ++window_.published; }

  // Adds the frame's total time since frameStartNs and returns it; logs the slow-frame
  // line when teeth made the frame slow, at most every 2 s.
  double finishFrame(int64_t frameStartNs, const RetouchTimings& timings);
  // The total frame counter, never reset.
  void countFrame() { ++frames_; }
  uint64_t frames() const { return frames_; }

  // When 5 s have passed from the last line to passNowNs: writes the statistics line to
  // `out` and the log and starts a new window.
  void writeLineIfDue(int64_t passNowNs, const std::string& provider, std::ostream& out);
  std::string line(const std::string& provider) const;

  const WindowCounters& window() const { return window_; }
  const StageTiming& stage(size_t row) const { return stages_[row]; }

 private:
  WindowCounters window_;
  std::array<StageTiming, kStageCount> stages_{};
  uint64_t frames_ = 0;
  int64_t lastLineNs_;
  int64_t lastSlowLineNs_;
};

}  // namespace tesmira
