#pragma once
// The retouch engine: masks, lookup texture and the optional GPU compositor, set up once
// per retouch context, and the per-frame dispatcher over the GPU and CPU roads.
#include <d3d11.h>
#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "producer/engine/crop_geometry.h"
#include "producer/engine/gpu_compositor.h"
#include "producer/engine/landmark_source.h"
#include "producer/engine/retouch_timings.h"
#include "producer/engine/road_inputs.h"
#include "producer/options.h"
#include "producer/retouch_settings.h"

namespace tesmira {

class CropCalibration;
class RetouchModels;
struct FaceStageScratch;

class RetouchEngine {
 public:
  // Loads the masks and the lookup texture (their errors throw) and decides the GPU mode;
  // a compositor that cannot be set up leaves the engine on the CPU path.
  RetouchEngine(const ProducerOptions& options, RetouchModels& models, const CropCalibration& calibration,
                bool preferGpu, const CompositorFactory& makeCompositor = createGpuCompositor);
  ~RetouchEngine();
  RetouchEngine(const RetouchEngine&) = delete;
  RetouchEngine& operator=(const RetouchEngine&) = delete;

  // True when nv12 holds the finished frame (outWidth x outHeight set to the frame's size);
  // false when it is in bgrOut. Stage errors throw; bgrOut is then as it was.
  bool processFrame(const CameraFrame& frame, const std::vector<LandmarkPoint>& landmarks,
                    const RetouchSettings& settings, std::vector<uint8_t>& nv12, uint32_t& outWidth,
                    uint32_t& outHeight, cv::Mat& bgrOut, RetouchTimings* timings);

  // Alignment, crop, skin model and the mouth test.
  FaceCrop runSkinStage(const cv::Mat& frame, const std::vector<LandmarkPoint>& landmarks,
                        const RetouchSettings& settings, RetouchTimings& timings);
  // The same into `face`, whose point list and skin field keep their storage from call to call.
  void runSkinStage(const cv::Mat& frame, const std::vector<LandmarkPoint>& landmarks,
                    const RetouchSettings& settings, RetouchTimings& timings, FaceCrop& face);
  // The retouched 320x512 crop: skin composite, then teeth and eyes as the settings ask.
  cv::Mat faceStageCpu(const cv::Mat& frame, const FaceCrop& face, const RetouchSettings& settings,
                       RetouchTimings& timings);
  cv::Mat retouchTeeth(const cv::Mat& retouched, const cv::Mat& crop, const std::vector<cv::Point2f>& points,
                       float strength, RetouchTimings* timings);
  cv::Mat retouchEyes(const cv::Mat& retouched, const std::vector<cv::Point2f>& points, int frameWidth,
                      int frameHeight, const std::array<double, 6>& cropFromFrame, const RetouchSettings& settings);
  // The face stage on faceFrame, pasted into pasteFrame (on the GPU in paste mode).
  cv::Mat retouchFaceCpu(const cv::Mat& faceFrame, const cv::Mat& pasteFrame, const FaceCrop& face,
                         const RetouchSettings& settings, RetouchTimings& timings);

  // The compositor's device (not add-referenced), null without a compositor.
  ID3D11Device* d3dDevice() const;
  GpuCompositor* compositor() const { return compositor_.get(); }
  bool gpuPaste() const { return gpuPaste_ != 0; }
  bool gpuResident() const { return gpuResident_ != 0; }
  const cv::Mat& facemask() const { return facemask_; }
  const cv::Mat& skinMask() const { return skinMask_; }
  const cv::Mat& teethMask() const { return teethMask_; }
  const cv::Mat& lookup() const { return lookup_; }

 private:
  void setUpCompositor(const ProducerOptions& options, bool preferGpu, const CompositorFactory& makeCompositor);

  RetouchModels* models_;
  const CropCalibration* calibration_;
  std::unique_ptr<GpuCompositor> compositor_;
  uint8_t gpuPaste_ = 0;
  uint8_t gpuResident_ = 0;
  cv::Mat facemask_;
  cv::Mat skinMask_;
  cv::Mat teethMask_;
  cv::Mat lookup_;
  // Kept from frame to frame so that the road allocates them once.
  cv::Mat cropBuffer_;
  cv::Mat pasted_;
  FaceCrop face_;
  std::unique_ptr<FaceStageScratch> scratch_;
};

// The tone atlas file of index 1..5 in the resources folder.
std::filesystem::path toneAtlasPath(const std::filesystem::path& resourcesDir, int index);

}  // namespace tesmira
