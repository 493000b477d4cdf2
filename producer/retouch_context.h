#pragma once
// The main loop's seam to face tracking and retouch: the real context runs the retouch
// engine; the pass-through one finds no face and hands frames back unretouched.
#include <d3d11.h>
#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "producer/engine/landmark_source.h"
#include "producer/engine/retouch_timings.h"
#include "producer/engine/road_inputs.h"
#include "producer/options.h"
#include "producer/retouch_settings.h"

namespace tesmira {

class IRetouchContext {
 public:
  virtual ~IRetouchContext() = default;
  // The inference provider actually in use: "cpu", "directml" or "cuda".
  virtual std::string providerName() const = 0;
  // The compositor's Direct3D 11 device, which the camera capture shares; null when
  // the retouch runs on the CPU for want of one.
  virtual ID3D11Device* d3dDevice() const = 0;
  virtual LandmarkResult detect(const cv::Mat& frame, int64_t timestampMs) = 0;
  // True when packed NV12 ready to publish is in nv12 (outWidth x outHeight); otherwise
  // `output` holds the BGR frame to publish. Throws on a failure of any stage.
  virtual bool processFrame(const CameraFrame& frame, const std::vector<LandmarkPoint>& points,
                            const RetouchSettings& settings, std::vector<uint8_t>& nv12, int& outWidth,
                            int& outHeight, cv::Mat& output, RetouchTimings& timings) = 0;
};

// Builds the context from the options; throws when any part cannot be built.
using RetouchContextFactory = std::function<std::unique_ptr<IRetouchContext>(const ProducerOptions&)>;
std::unique_ptr<IRetouchContext> makePassThroughContext(const ProducerOptions& options);
// The retouch engine's context: calibration, landmark source, models and engine.
std::unique_ptr<IRetouchContext> makeRetouchContext(const ProducerOptions& options);

}  // namespace tesmira
