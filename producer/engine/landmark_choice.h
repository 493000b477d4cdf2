#pragma once
// Which landmark source the producer uses: the ONNX landmarker when TESMIRA_ONNX_LANDMARKER
// begins with "1", else the MediaPipe landmarker. The choice is logged.
#include <memory>

#include "producer/engine/landmark_source.h"
#include "producer/options.h"

namespace tesmira {

// Throws what the chosen source's construction throws.
std::unique_ptr<ILandmarkSource> makeLandmarkSource(const ProducerOptions& options);

}  // namespace tesmira
