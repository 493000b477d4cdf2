#pragma once
// Shared by the model tools' tests: where the fetched models and media are, and running a
// serialized ONNX model on ONNX Runtime.
#include <onnxruntime_cxx_api.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/environment.h"
#include "tools/models/tests/nhwc_reference.h"

namespace tesmira::models::modeltest {

using reference::NTensor;

inline std::filesystem::path cacheDir() {
  const auto dir = environmentValue(L"TESMIRA_CACHE_DIR");
  return dir ? std::filesystem::path(*dir) : std::filesystem::path(TESMIRA_SOURCE_DIR) / ".cache";
}
inline std::filesystem::path mediaDir() {
  const auto dir = environmentValue(L"TESMIRA_MEDIA_DIR");
  return dir ? std::filesystem::path(*dir) : cacheDir() / "media";
}

inline std::string readBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("missing " + file.string() + " (run tools/setup/install-deps.sh)");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline const TfModel& detector() {
  static const TfModel model = readTflite(readBytes(cacheDir() / "models" / "face_detection_short_range.tflite"));
  return model;
}
inline const TfModel& mesh() {
  static const TfModel model = readTflite(readBytes(cacheDir() / "models" / "face_landmark.tflite"));
  return model;
}

inline std::vector<NTensor> runOnnx(const std::string& model, const std::vector<std::pair<std::string, NTensor>>& inputs,
                             const std::vector<std::string>& outputNames) {
  static Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "model-tools-test");
  Ort::SessionOptions options;
  options.SetIntraOpNumThreads(1);
  Ort::Session session(env, model.data(), model.size(), options);
  auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<const char*> inNames, outNames;
  std::vector<std::vector<int64_t>> shapes;
  for (const auto& [name, t] : inputs) {
    shapes.emplace_back(t.shape.begin(), t.shape.end());
    values.push_back(Ort::Value::CreateTensor<float>(memory, const_cast<float*>(t.data.data()), t.data.size(),
                                                     shapes.back().data(), shapes.back().size()));
    inNames.push_back(name.c_str());
  }
  for (const auto& name : outputNames) outNames.push_back(name.c_str());
  auto outs = session.Run(Ort::RunOptions{nullptr}, inNames.data(), values.data(), values.size(), outNames.data(),
                          outNames.size());
  std::vector<NTensor> result;
  for (auto& o : outs) {
    auto info = o.GetTensorTypeAndShapeInfo();
    NTensor t;
    for (int64_t d : info.GetShape()) t.shape.push_back(int32_t(d));
    const float* p = o.GetTensorData<float>();
    t.data.assign(p, p + info.GetElementCount());
    result.push_back(std::move(t));
  }
  return result;
}

// The astronaut photograph (512 x 512) scaled to a square model input, RGB in [lo, hi].
inline cv::Mat astronautImage() {
  cv::Mat image = cv::imread((mediaDir() / "astronaut.png").string(), cv::IMREAD_COLOR);
  if (image.empty()) throw std::runtime_error("missing astronaut.png (run tools/setup/install-deps.sh)");
  return image;
}

// An 8-bit BGR image as an NHWC RGB tensor in [lo, hi].
inline NTensor rgbTensor(const cv::Mat& bgr, float lo, float hi) {
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  NTensor t{{1, bgr.rows, bgr.cols, 3}, std::vector<float>(size_t(bgr.rows) * size_t(bgr.cols) * 3)};
  for (size_t i = 0; i < t.data.size(); ++i) t.data[i] = lo + (hi - lo) * rgb.data[i] / 255.0f;
  return t;
}

inline NTensor astronautInput(int size, float lo, float hi) {
  cv::Mat image = cv::imread((mediaDir() / "astronaut.png").string(), cv::IMREAD_COLOR);
  if (image.empty()) throw std::runtime_error("missing astronaut.png (run tools/setup/install-deps.sh)");
  cv::Mat small, rgb;
  cv::resize(image, small, {size, size}, 0, 0, cv::INTER_AREA);
  cv::cvtColor(small, rgb, cv::COLOR_BGR2RGB);
  NTensor t{{1, size, size, 3}, std::vector<float>(size_t(size) * size_t(size) * 3)};
  for (size_t i = 0; i < t.data.size(); ++i) t.data[i] = lo + (hi - lo) * rgb.data[i] / 255.0f;
  return t;
}

}  // namespace tesmira::models::modeltest
