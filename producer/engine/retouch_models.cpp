#include "producer/engine/retouch_models.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <stdexcept>

#include "producer/engine/onnx_provider.h"

namespace tesmira {

struct RetouchModels::Sessions {
  Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::unique_ptr<Ort::Session> skin;
  std::unique_ptr<Ort::Session> teeth;
};

namespace {

void runModel(Ort::Session& session, const char* const* inputNames, Ort::Value* inputs, size_t inputCount,
              size_t maxFloats, std::vector<float>& field) {
  static const char* const kOutputNames[] = {"output_0"};
  auto outputs = session.Run(Ort::RunOptions{nullptr}, inputNames, inputs, inputCount, kOutputNames, 1);
  Ort::Value& out = outputs.front();
  // The type info is kept alive while its tensor info is read.
  Ort::TypeInfo typeInfo = out.GetTypeInfo();
  if (typeInfo.GetONNXType() != ONNX_TYPE_TENSOR)
    throw std::runtime_error("ONNX output is not a float tensor.");
  auto tensorInfo = typeInfo.GetTensorTypeAndShapeInfo();
  if (tensorInfo.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
    throw std::runtime_error("ONNX output is not a float tensor.");
  // A smaller output than the contract is copied as it is, never read past its end.
  size_t count = std::min(tensorInfo.GetElementCount(), maxFloats);
  const float* data = out.GetTensorData<float>();
  field.assign(data, data + count);
}

}  // namespace

void packModelCrop(const cv::Mat& crop, int width, int height, std::vector<float>& out) {
  if (crop.empty() || crop.cols != width || crop.rows != height || crop.type() != CV_8UC3)
    throw std::runtime_error("Unexpected model crop shape.");
  const size_t plane = size_t(width) * size_t(height);
  out.resize(3 * plane);
  float* red = out.data();
  float* green = red + plane;
  float* blue = green + plane;
  // Tiles of 32 rows: the column-major writes stay sequential while the rows they read
  // stay in cache.
  constexpr int kTile = 32;
  for (int y0 = 0; y0 < height; y0 += kTile) {
    int y1 = std::min(y0 + kTile, height);
    for (int x = 0; x < width; ++x) {
      size_t at = size_t(x) * size_t(height);
      for (int y = y0; y < y1; ++y) {
        const uint8_t* px = crop.ptr<uint8_t>(y) + 3 * x;
        blue[at + size_t(y)] = px[0];
        green[at + size_t(y)] = px[1];
        red[at + size_t(y)] = px[2];
      }
    }
  }
}

RetouchModels::RetouchModels(const std::filesystem::path& skinModelPath, const std::filesystem::path& teethModelPath,
                             InferenceProvider provider, int cpuThreads)
    : skinModelPath_(skinModelPath), teethModelPath_(teethModelPath), provider_(provider) {
  auto sessions = std::make_unique<Sessions>();
  const OnnxSessionSetUp setUp = makeSessionSetUp(provider_, cpuThreads);
  providerUsed_ = setUp.used;
  if (setUp.fellBack) {
    std::cerr << "Requested ONNX provider '" << providerName(provider_) << "' is unavailable; using CPU. "
              << setUp.reason << "\n";
  }
  // path::c_str() is the runtime's own path character type on every platform.
  Ort::Env& env = onnxEnvironment();
  sessions->skin = std::make_unique<Ort::Session>(env, skinModelPath_.c_str(), setUp.options);
  sessions->teeth = std::make_unique<Ort::Session>(env, teethModelPath_.c_str(), setUp.options);
  sessions_ = std::move(sessions);
}

RetouchModels::~RetouchModels() = default;

std::vector<float> RetouchModels::runSkin(const cv::Mat& crop, const RetouchSettings& settings) {
  std::vector<float> field;
  runSkin(crop, settings, field);
  return field;
}

std::vector<float> RetouchModels::runTeeth(const cv::Mat& patch) {
  std::vector<float> field;
  runTeeth(patch, field);
  return field;
}

void RetouchModels::warmUp() {
  std::vector<float> field;
  runSkin(cv::Mat::zeros(kSkinHeight, kSkinWidth, CV_8UC3), RetouchSettings{}, field);
  runTeeth(cv::Mat::zeros(kTeethSize, kTeethSize, CV_8UC3), field);
}

void RetouchModels::runSkin(const cv::Mat& crop, const RetouchSettings& settings, std::vector<float>& field) {
  packModelCrop(crop, kSkinWidth, kSkinHeight, skinInput_);
  std::array<float, 4> cond = {settings.clearSkin, settings.eyeBags, settings.wrinkles, settings.wrinkles};
  const Ort::MemoryInfo& memory = sessions_->memory;
  const std::array<int64_t, 4> dataShape = {1, 3, kSkinWidth, kSkinHeight};
  const std::array<int64_t, 4> condShape = {1, 4, 1, 1};
  std::array<Ort::Value, 2> inputs = {
      Ort::Value::CreateTensor<float>(memory, skinInput_.data(), skinInput_.size(), dataShape.data(), dataShape.size()),
      Ort::Value::CreateTensor<float>(memory, cond.data(), cond.size(), condShape.data(), condShape.size())};
  static const char* const kInputNames[] = {"data", "cond"};
  runModel(*sessions_->skin, kInputNames, inputs.data(), inputs.size(), kSkinFieldFloats, field);
}

void RetouchModels::runTeeth(const cv::Mat& patch, std::vector<float>& field) {
  packModelCrop(patch, kTeethSize, kTeethSize, teethInput_);
  const Ort::MemoryInfo& memory = sessions_->memory;
  const std::array<int64_t, 4> dataShape = {1, 3, kTeethSize, kTeethSize};
  Ort::Value input =
      Ort::Value::CreateTensor<float>(memory, teethInput_.data(), teethInput_.size(), dataShape.data(), dataShape.size());
  static const char* const kInputNames[] = {"data"};
  runModel(*sessions_->teeth, kInputNames, &input, 1, kTeethFieldFloats, field);
}

}  // namespace tesmira
