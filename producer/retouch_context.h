#pragma once
// The main loop's seam to face tracking and retouch. Until the engine is plugged in,
// the pass-through context finds the face and hands frames back unretouched.
#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "producer/engine/landmark_source.h"
#include "producer/options.h"
#include "producer/retouch_settings.h"

namespace tesmira {

// Stage times in milliseconds of one processed frame, and what the frame contained.
struct RetouchTimings {
  double pipelineMs = 0;
  double skinModelMs = 0;
  double skinCompMs = 0;
  double teethTotalMs = 0;
  double teethRoiMs = 0;
  double teethModelMs = 0;
  double teethCompMs = 0;
  double eyeMs = 0;
  double pasteMs = 0;
  bool mouthOpen = false;
  bool teeth = false;
  bool eye = false;
};

class IRetouchContext {
 public:
  virtual ~IRetouchContext() = default;
  // The inference provider actually in use: "cpu", "directml" or "cuda".
  virtual std::string providerName() const = 0;
  // False when the retouch runs on the CPU for want of a GPU compositor.
  virtual bool hasGpuCompositor() const = 0;
  virtual LandmarkResult detect(const cv::Mat& frame, int64_t timestampMs) = 0;
  // True when packed NV12 ready to publish is in nv12 (outWidth x outHeight); otherwise
  // `output` holds the BGR frame to publish. Throws on a failure of any stage.
  virtual bool processFrame(const cv::Mat& frame, const std::vector<LandmarkPoint>& points,
                            const RetouchSettings& settings, std::vector<uint8_t>& nv12, int& outWidth,
                            int& outHeight, cv::Mat& output, RetouchTimings& timings) = 0;
};

// Builds the context from the options; throws when any part cannot be built.
using RetouchContextFactory = std::function<std::unique_ptr<IRetouchContext>(const ProducerOptions&)>;
std::unique_ptr<IRetouchContext> makePassThroughContext(const ProducerOptions& options);

}  // namespace tesmira
