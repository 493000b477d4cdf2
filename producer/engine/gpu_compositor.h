#pragma once
// The engine's seam to the Direct3D 11 compositor: what the engine set-up and the
// per-frame dispatcher call on it, and the factory that makes one.
#include <d3d11.h>
#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "producer/engine/landmark_source.h"
#include "producer/engine/road_inputs.h"
#include "producer/retouch_limits.h"
#include "producer/retouch_settings.h"

namespace tesmira {

// Times of one GPU frame path in milliseconds. nv12 is the CPU's packing stage from its
// first command to the bytes in hand: nv12Wait of it blocked on the device (everything
// queued before the read-back runs then) and readBack copying the mapped bytes out.
// compositeGpu, pasteGpu, postGpu, nv12Gpu and copyGpu are the device's own times of
// each stage; without global effects the paste runs inside the packing kernel, so
// pasteGpu is 0 and nv12Gpu holds both, and the perspective correction is always
// packed on the way, so nv12Gpu holds it rather than postGpu.
struct GpuTimings {
  double frameIn = 0;
  double upload = 0;
  double compositeGpu = 0;
  double pasteGpu = 0;
  double nv12 = 0;
  double nv12Wait = 0;
  double readBack = 0;
  double postGpu = 0;
  double nv12Gpu = 0;
  double copyGpu = 0;
  double gpuSum = 0;
  double total = 0;
};

// Times of one delta paste read back to the CPU, in milliseconds.
struct GpuDeltaTimings {
  double upload = 0;
  double gpu = 0;
  double download = 0;
  double total = 0;
};

// Per-cell frame-pixel offsets (dx, dy) of the perspective correction, row-major.
struct PerspectiveField {
  int32_t columns = kPerspectiveColumns;
  int32_t rows = kPerspectiveRows;
  std::vector<std::array<float, 2>> offsets;
};

// The field for this frame's landmarks; none while the effect is off or the input unusable.
// fieldOfView 0 selects the default.
std::optional<PerspectiveField> buildPerspectiveField(const std::vector<LandmarkPoint>& landmarks, int width,
                                                      int height, float strength, float fieldOfView);

// The global effects the GPU roads apply after the face.
struct GpuPostParams {
  float sharpen = 0;
  int32_t toneIndex = 0;
  const PerspectiveField* field = nullptr;
};

class GpuCompositor {
 public:
  virtual ~GpuCompositor() = default;

  // mask: 320x512 floats in 0..1.
  virtual void setFacemask(const cv::Mat& mask) = 0;
  // index 1..kToneCount; atlas: 8-bit RGBA, 256x16.
  virtual void setToneLut(int index, const cv::Mat& rgba) = 0;

  // The frame paths: true when nv12 holds the finished frame (frame width x height),
  // false when the frame cannot take this road. Direct3D failures throw.
  virtual bool processCameraOnly(const CameraFrame& frame, const GpuPostParams& post, std::vector<uint8_t>& nv12,
                                 GpuTimings& timings) = 0;
  // The face's crop composited with its skin field and pasted back.
  virtual bool processResident(const CameraFrame& frame, const FaceCrop& face, float gain, bool maskBypass,
                               const GpuPostParams& post, std::vector<uint8_t>& nv12, GpuTimings& timings) = 0;
  // retouchedCrop (the face's crop retouched on the CPU) pasted back.
  virtual bool pasteCrops(const CameraFrame& frame, const FaceCrop& face, const cv::Mat& retouchedCrop,
                          const GpuPostParams& post, std::vector<uint8_t>& nv12, GpuTimings& timings) = 0;
  // The frame with the crop's change pasted in, read back as 8-bit BGR.
  virtual cv::Mat applyDelta(const cv::Mat& frame, const cv::Mat& crop, const cv::Mat& retouchedCrop,
                             const std::array<double, 6>& cropFromFrame, GpuDeltaTimings& timings) = 0;

  // The compositor's device, not add-referenced.
  virtual ID3D11Device* device() const = 0;
};

// Throws std::runtime_error when no compositor can be made on this machine.
using CompositorFactory = std::function<std::unique_ptr<GpuCompositor>()>;
std::unique_ptr<GpuCompositor> createGpuCompositor();

}  // namespace tesmira
