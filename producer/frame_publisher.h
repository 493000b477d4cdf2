#pragma once
// A processed frame into the frame channel: the sequence stamp, the write and signal,
// the live status and the camera state for telemetry.
#include <cstdint>
#include <string>

#include "producer/capture_source.h"
#include "producer/frame_pipeline.h"
#include "producer/frame_writer.h"
#include "producer/retouch_settings.h"
#include "producer/status_writer.h"
#include "producer/telemetry_feed.h"

namespace tesmira {

class FramePublisher {
 public:
  // stampSeq: the --stamp-seq option; bypass: the --bypass option, as telemetry reports it.
  FramePublisher(SharedFrameWriter& writer, ProducerStatusWriter& status, TelemetryFeed& telemetry, bool stampSeq,
                 bool bypass);

  // Paints the frame counter and the tick when --stamp-seq asks; a BGR image is copied
  // first, so that the camera frame or the still image is never painted.
  void stamp(ProcessedFrame& frame, uint64_t frameCounter) const;
  // True when the frame was written and signalled; only then the status turns live
  // and the frame's camera state goes to telemetry. A size the channel cannot carry is
  // logged once per size, since nothing else would say why no frame appears.
  bool publish(const ProcessedFrame& frame, const RetouchSettings& settings, const CaptureRequest& selection,
               const std::string& provider);

 private:
  SharedFrameWriter& writer_;
  ProducerStatusWriter& status_;
  TelemetryFeed& telemetry_;
  const bool stampSeq_;
  const bool bypass_;
  int refusedWidth_ = -1;
  int refusedHeight_ = -1;
};

}  // namespace tesmira
