#pragma once
// The skin and teeth retouch models on ONNX Runtime: sessions, provider choice and the
// packing of BGR crops into the models' input tensors.
#include <onnxruntime_cxx_api.h>
#include <opencv2/core.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "producer/engine/crop_geometry.h"
#include "producer/options.h"
#include "producer/retouch_settings.h"

namespace tesmira {

class RetouchModels {
 public:
  static constexpr int kSkinWidth = kCropWidth;
  static constexpr int kSkinHeight = kCropHeight;
  static constexpr int kTeethSize = 128;
  static constexpr size_t kSkinFieldFloats = 4 * 40 * 64;
  static constexpr size_t kTeethFieldFloats = 4 * 128 * 128;

  // Throws the runtime's Ort::Exception when the environment or a session cannot be made.
  // cpuThreads: intra-op threads on the CPU provider, 0 for the runtime's default.
  RetouchModels(const std::filesystem::path& skinModelPath, const std::filesystem::path& teethModelPath,
                InferenceProvider provider, int cpuThreads = 0);
  ~RetouchModels();
  RetouchModels(const RetouchModels&) = delete;
  RetouchModels& operator=(const RetouchModels&) = delete;

  // The skin field (at most 10,240 floats, in the output's element order); throws on a bad
  // crop, a non-float output or a runtime error.
  std::vector<float> runSkin(const cv::Mat& crop, const RetouchSettings& settings);
  // The teeth field (at most 65,536 floats).
  std::vector<float> runTeeth(const cv::Mat& patch);
  // The same into `field`, which keeps its buffer from call to call.
  void runSkin(const cv::Mat& crop, const RetouchSettings& settings, std::vector<float>& field);
  void runTeeth(const cv::Mat& patch, std::vector<float>& field);

  // One run of each model on a blank input: the runtime's first run of a session plans its
  // memory and is many times slower than the next. Throws what a run throws.
  void warmUp();

  const std::string& providerUsed() const { return providerUsed_; }

 private:
  struct Sessions;
  std::unique_ptr<Sessions> sessions_;
  std::filesystem::path skinModelPath_;
  std::filesystem::path teethModelPath_;
  InferenceProvider provider_;
  std::string providerUsed_ = "cpu";
  // Packing buffers, reused frame to frame.
  std::vector<float> skinInput_;
  std::vector<float> teethInput_;
};

// Packs an 8-bit BGR crop of exactly width x height into planar RGB floats, element
// c * (width * height) + x * height + y (columns before rows). Throws "Unexpected model
// crop shape." for anything else.
void packModelCrop(const cv::Mat& crop, int width, int height, std::vector<float>& out);

}  // namespace tesmira
