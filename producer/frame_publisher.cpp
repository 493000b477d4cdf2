#include "producer/frame_publisher.h"

#include <windows.h>

#include "producer/producer_log.h"

namespace tesmira {

FramePublisher::FramePublisher(SharedFrameWriter& writer, ProducerStatusWriter& status, TelemetryFeed& telemetry,
                               bool stampSeq, bool bypass)
    : writer_(writer), status_(status), telemetry_(telemetry), stampSeq_(stampSeq), bypass_(bypass) {}

void FramePublisher::stamp(ProcessedFrame& frame, uint64_t frameCounter) const {
  if (!stampSeq_) return;
  const uint32_t tick = uint32_t(GetTickCount64());
  if (frame.nv12Ready) {
    stampNv12Frame(frame.nv12, frame.outWidth, frame.outHeight, uint32_t(frameCounter), tick);
  } else {
    frame.output = frame.output.clone();
    stampBgrFrame(frame.output, uint32_t(frameCounter), tick);
  }
}

bool FramePublisher::publish(const ProcessedFrame& frame, const RetouchSettings& settings,
                             const CaptureRequest& selection, const std::string& provider) {
  const int width = frame.nv12Ready ? frame.outWidth : frame.output.cols;
  const int height = frame.nv12Ready ? frame.outHeight : frame.output.rows;
  // A BGR image loses an odd last row or column when it is converted.
  const bool fits = frame.nv12Ready ? frameSizeFits(width, height) : frameSizeFits(width & ~1, height & ~1);
  if (!fits && writer_.usable() && (width != refusedWidth_ || height != refusedHeight_)) {
    refusedWidth_ = width;
    refusedHeight_ = height;
    logLine("warning: a " + std::to_string(width) + "x" + std::to_string(height) +
            " frame cannot be published: the frame channel carries even sizes from 2x2 to " +
            std::to_string(kMaxFrameDimension) + "x" + std::to_string(kMaxFrameDimension) + " of at most " +
            std::to_string(kMaxFramePixels) + " pixels");
  }
  const bool published = frame.nv12Ready ? writer_.publishNv12(frame.nv12, frame.outWidth, frame.outHeight)
                                         : writer_.publishBgr(frame.output);
  if (!published) return false;
  status_.setState(kProducerStateLive, 0);
  if (frame.stateToRecord) {
    CameraStateSnapshot snapshot;
    snapshot.settings = settings;
    snapshot.bypass = bypass_;
    snapshot.width = uint32_t(frame.nv12Ready ? frame.outWidth : frame.output.cols);
    snapshot.height = uint32_t(frame.nv12Ready ? frame.outHeight : frame.output.rows);
    snapshot.fps = int32_t(selection.fpsDenominator) > 0
                       ? double(selection.fpsNumerator) / double(selection.fpsDenominator)
                       : 30.0;
    snapshot.provider = provider;
    telemetry_.recordCameraState(snapshot, frame.reason);
  }
  return true;
}

}  // namespace tesmira
