// Per-frame cost of each landmark source on one thread at 1280x720: searching (detector and
// mesh) and tracking (mesh only), beside inference alone (on a constant input and, for the
// mesh, on the face's own crop, which takes longer) and the lead over 478 points.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <array>
#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

#include "common/environment.h"
#include "producer/engine/mediapipe_landmarker.h"
#include "producer/engine/onnx_landmarker.h"
#include "producer/landmark_lead.h"

namespace {

namespace fs = std::filesystem;
using namespace tesmira;

fs::path folder(const wchar_t* variable, const char* fallback) {
  const auto given = environmentValue(variable);
  return given ? fs::path(*given) : fs::path(TESMIRA_SOURCE_DIR) / ".cache" / fallback;
}
fs::path data(const std::string& name) { return folder(L"TESMIRA_DATA_DIR", "data") / name; }

const cv::Mat& frame() {
  static const cv::Mat f = [] {
    cv::Mat astronaut = cv::imread((folder(L"TESMIRA_MEDIA_DIR", "media") / "astronaut.png").string()), face;
    cv::Mat out(720, 1280, CV_8UC3, cv::Scalar(60, 60, 60));
    if (astronaut.empty()) return out;
    cv::resize(astronaut, face, {}, 1.25, 1.25, cv::INTER_LINEAR);
    face.copyTo(out(cv::Rect(300, 40, face.cols, face.rows)));
    return out;
  }();
  return f;
}

// A tracking threshold no score reaches: every frame searches.
void BM_OnnxSearching(benchmark::State& state) {
  OnnxLandmarker landmarks(data("models/mp_landmarker/onnx/face_detector.onnx"),
                           data("models/mp_landmarker/onnx/face_landmarks_detector.onnx"), kProviderCpu, 0.5f, 1.01f);
  for (auto _ : state) benchmark::DoNotOptimize(landmarks.detect(frame(), 0));
}

void BM_OnnxTracking(benchmark::State& state) {
  OnnxLandmarker landmarks(data("models/mp_landmarker/onnx/face_detector.onnx"),
                           data("models/mp_landmarker/onnx/face_landmarks_detector.onnx"), kProviderCpu, 0.5f, 0.5f);
  if (!landmarks.detect(frame(), 0).found) state.SkipWithError("no face");
  for (auto _ : state) benchmark::DoNotOptimize(landmarks.detect(frame(), 0));
}

void runMediaPipe(benchmark::State& state, bool imageMode) {
  SetEnvironmentVariableW(L"TESMIRA_MP_IMAGE_MODE", imageMode ? L"1" : nullptr);
  MediaPipeLandmarker landmarks(data("libmediapipe.dll"), data("models/face_landmarker.task"), 0.5f, 0.5f, 0.5f);
  SetEnvironmentVariableW(L"TESMIRA_MP_IMAGE_MODE", nullptr);
  int64_t t = 0;
  for (auto _ : state) benchmark::DoNotOptimize(landmarks.detect(frame(), ++t));
}
void BM_MediaPipeSearching(benchmark::State& state) { runMediaPipe(state, true); }
void BM_MediaPipeTracking(benchmark::State& state) { runMediaPipe(state, false); }

void runModel(benchmark::State& state, const char* file, const char* input, int side, const char* out0,
              const char* out1, std::vector<float> values = {}) {
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "landmarks-bench");
  Ort::SessionOptions options;
  options.SetIntraOpNumThreads(1);
  Ort::Session session(env, data(file).c_str(), options);
  if (values.empty()) values.assign(size_t(side) * size_t(side) * 3, 0.5f);
  const std::array<int64_t, 4> shape = {1, side, side, 3};
  auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value tensor = Ort::Value::CreateTensor<float>(memory, values.data(), values.size(), shape.data(), 4);
  const char* outs[] = {out0, out1};
  for (auto _ : state) benchmark::DoNotOptimize(session.Run(Ort::RunOptions{nullptr}, &input, &tensor, 1, outs, 2));
}
void BM_DetectorInference(benchmark::State& state) {
  runModel(state, "models/mp_landmarker/onnx/face_detector.onnx", "input", 128, "regressors", "classificators");
}
void BM_MeshInference(benchmark::State& state) {
  runModel(state, "models/mp_landmarker/onnx/face_landmarks_detector.onnx", "input_12", 256, "Identity",
           "Identity_1");
}

// The crop the tracking landmarker takes from the frame, as the mesh takes it.
std::vector<float> faceCrop() {
  OnnxLandmarker landmarks(data("models/mp_landmarker/onnx/face_detector.onnx"),
                           data("models/mp_landmarker/onnx/face_landmarks_detector.onnx"), kProviderCpu, 0.5f, 0.5f);
  FaceRegion region;
  if (!landmarks::regionFromPoints(landmarks.detect(frame(), 0).points, region)) return {};
  cv::Mat crop;
  cv::warpAffine(frame(), crop, landmarks::cropTransform(region), {landmarks::kMeshSize, landmarks::kMeshSize},
                 cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  std::vector<float> values;
  for (int y = 0; y < crop.rows; ++y)
    for (int x = 0; x < crop.cols; ++x)
      for (int c : {2, 1, 0}) values.push_back(float(crop.at<cv::Vec3b>(y, x)[c]) / 255.0f);
  return values;
}
void BM_MeshInferenceOnTheFace(benchmark::State& state) {
  std::vector<float> crop = faceCrop();
  if (crop.empty()) state.SkipWithError("no face");
  runModel(state, "models/mp_landmarker/onnx/face_landmarks_detector.onnx", "input_12", 256, "Identity", "Identity_1",
           std::move(crop));
}

void BM_Lead478(benchmark::State& state) {
  LandmarkLead lead;
  LandmarkResult a, b;
  a.found = b.found = true;
  for (int i = 0; i < 478; ++i) {
    a.points.push_back({float(i), float(i) * 0.5f, 1});
    b.points.push_back({float(i) + 3, float(i) * 0.5f + 1, 1.5f});
  }
  uint64_t t = 1000;
  for (auto _ : state) {
    t += 33;
    benchmark::DoNotOptimize(lead.predict((t / 33) % 2 ? a : b, t, 1280, 720, 33.0));
  }
}

BENCHMARK(BM_OnnxSearching)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OnnxTracking)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MediaPipeSearching)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MediaPipeTracking)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetectorInference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeshInference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeshInferenceOnTheFace)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lead478)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
