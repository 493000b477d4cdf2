#pragma once
// One camera frame through face tracking and retouch, up to what is to be published.
#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <vector>

#include "producer/landmark_lead.h"
#include "producer/loop_statistics.h"
#include "producer/retouch_context.h"
#include "producer/retouch_settings.h"
#include "producer/telemetry_sink.h"

namespace tesmira {

// What became of a frame. The NV12 bytes belong to the pipeline and stay valid until
// its next frame.
struct ProcessedFrame {
  cv::Mat output;          // the BGR image to publish unless nv12Ready
  bool nv12Ready = false;  // nv12 holds outWidth x outHeight packed NV12 to publish
  uint8_t* nv12 = nullptr;
  int outWidth = 0;
  int outHeight = 0;
  RetouchTimings timings;
  CameraStateReason reason = CameraStateReason::kRetouched;
  bool stateToRecord = false;  // a camera state is to be recorded once the frame is published
};

class FramePipeline {
 public:
  // bypass: frames pass untouched. landmarkFree: the first face found is reused for
  // every later frame. leadMs: how far ahead the points are predicted. Counts and stage
  // times go to `statistics`.
  FramePipeline(LoopStatistics& statistics, bool bypass, bool landmarkFree, double leadMs = 0.0);
  FramePipeline(const FramePipeline&) = delete;
  FramePipeline& operator=(const FramePipeline&) = delete;

  // A processing error is counted, logged sparsely and leaves the frame unretouched.
  ProcessedFrame process(IRetouchContext& context, const CameraFrame& frame, int64_t timestampMs,
                         const RetouchSettings& settings);
  // The next face is not predicted from the last: the camera was (re)opened, released or
  // its selection changed.
  void forgetMotion() { lead_.reset(); }

 private:
  void retouch(IRetouchContext& context, const CameraFrame& frame, int64_t timestampMs,
               const RetouchSettings& settings, ProcessedFrame& result);

  LoopStatistics& statistics_;
  const bool bypass_;
  const bool landmarkFree_;
  const double leadMs_;
  LandmarkLead lead_;
  std::vector<LandmarkPoint> predicted_;
  std::vector<uint8_t> nv12_;
  std::optional<LandmarkResult> cachedLandmarks_;
};

}  // namespace tesmira
