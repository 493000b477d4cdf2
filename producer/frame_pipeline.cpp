#include "producer/frame_pipeline.h"

#include <stdexcept>
#include <string>

#include "common/pixel_format.h"
#include "producer/loop_clock.h"
#include "producer/producer_log.h"

namespace tesmira {

FramePipeline::FramePipeline(LoopStatistics& statistics, bool bypass, bool landmarkFree, double leadMs)
    : statistics_(statistics), bypass_(bypass), landmarkFree_(landmarkFree), leadMs_(leadMs) {}

ProcessedFrame FramePipeline::process(IRetouchContext& context, const CameraFrame& frame, int64_t timestampMs,
                                      const RetouchSettings& settings) {
  ProcessedFrame result;
  result.output = frame.image;
  if (bypass_) {
    lead_.reset();
    result.reason = CameraStateReason::kBypass;
    result.stateToRecord = true;
  } else {
    try {
      retouch(context, frame, timestampMs, settings, result);
    } catch (const std::exception& error) {
      lead_.reset();
      const uint32_t errors = statistics_.countProcessError();
      result.reason = CameraStateReason::kModelError;
      result.stateToRecord = true;
      result.nv12Ready = false;
      result.output = frame.image;
      if (errors <= 5 || errors % 60 == 0) logLine(std::string("warning: retouch processing failed: ") + error.what());
    }
  }
  // Never read past what the engine filled.
  if (result.nv12Ready && (result.outWidth <= 0 || result.outHeight <= 0 ||
                           nv12_.size() < nv12Bytes(uint64_t(result.outWidth), uint64_t(result.outHeight)))) {
    result.nv12Ready = false;
  }
  result.nv12 = nv12_.data();
  return result;
}

void FramePipeline::retouch(IRetouchContext& context, const CameraFrame& frame, int64_t timestampMs,
                            const RetouchSettings& settings, ProcessedFrame& result) {
  int64_t t = steadyNs();
  LandmarkResult detected;
  const LandmarkResult* landmarks = &detected;
  if (!landmarkFree_ || !cachedLandmarks_) {
    detected = context.detect(frame.image, timestampMs);
    if (landmarkFree_ && detected.found && !detected.points.empty()) cachedLandmarks_ = detected;
  } else {
    landmarks = &*cachedLandmarks_;
  }
  statistics_.addStage(LoopStage::kLandmark, msBetween(t, steadyNs()));
  const bool face = landmarks->found && !landmarks->points.empty();

  t = steadyNs();
  static const std::vector<LandmarkPoint> kNoPoints;
  if (face) {
    predicted_ = lead_.predict(*landmarks, uint64_t(timestampMs), frame.image.cols, frame.image.rows, leadMs_);
  } else {
    lead_.reset();
  }
  result.nv12Ready = context.processFrame(frame, face ? predicted_ : kNoPoints, settings, nv12_, result.outWidth,
                                          result.outHeight, result.output, result.timings);
  statistics_.addStage(LoopStage::kPipeline, msBetween(t, steadyNs()));
  if (face) {
    statistics_.countFace(result.timings);
    result.reason = CameraStateReason::kRetouched;
  } else {
    statistics_.countNoFace();
    result.reason = CameraStateReason::kNoFace;
  }
  result.stateToRecord = true;
}

}  // namespace tesmira
