// The whole CPU retouch road of one 1280x720 frame on the data folder: landmarks, crop
// warp, skin model, skin composite, teeth, eyes, paste and the BGR publication. The face
// picture runs with the retouch models on ONNX Runtime's default threads and on one
// thread; every figure is the median of repeated frames. A table sets each stage against
// its floor: the landmark stage against its two model runs alone on ONNX Runtime (on this
// frame's own inputs: the mesh's time depends on the pixels, and zeros run fastest), the pixel
// stages against a memcpy of the bytes they touch.
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "producer/engine/bench/bench_inputs.h"
#include "producer/engine/crop_calibration.h"
#include "producer/engine/onnx_landmarker.h"
#include "producer/engine/onnx_provider.h"
#include "producer/engine/retouch_engine.h"
#include "producer/engine/retouch_models.h"
#include "producer/frame_writer.h"
#include "producer/loop_clock.h"
#include "producer/options.h"

namespace {

using namespace tesmira;

constexpr int kWarmUpFrames = 5;
constexpr int kMeasuredFrames = 40;

// The same face with its lower inner lip lowered, so that the mouth test finds it open.
std::vector<LandmarkPoint> openedMouth(std::vector<LandmarkPoint> points) {
  if (points.size() < 478) return points;
  const float faceHalfHeight = std::max(0.5f * std::fabs(points[10].y - points[152].y), 1.0f);
  for (int i : {14, 87, 178, 88, 95, 317, 402, 318, 324}) points[size_t(i)].y += 0.08f * faceHalfHeight;
  return points;
}

struct Stages {
  std::vector<double> landmark, warp, skinModel, skinComp, teeth, eye, paste, publish, total;
  double detectorShare = 0;  // of the measured frames, how many ran the detector besides the mesh
};

// Interleaved RGB floats b * scale + offset, as the landmark models take them.
std::vector<float> packedRgb(const cv::Mat& bgr, float scale, float offset) {
  std::vector<float> out;
  out.reserve(bgr.total() * 3);
  for (int y = 0; y < bgr.rows; ++y)
    for (int x = 0; x < bgr.cols; ++x) {
      const cv::Vec3b& px = bgr.at<cv::Vec3b>(y, x);
      for (int c : {2, 1, 0}) out.push_back(float(px[c]) * scale + offset);
    }
  return out;
}

// What the landmarker feeds its models for this frame: the whole frame at 128 for the
// detector, the crop around the tracked face at 256 for the mesh.
struct LandmarkInputs {
  std::vector<float> detector;
  std::vector<float> mesh;
};
LandmarkInputs landmarkInputs(const cv::Mat& frame, const std::vector<LandmarkPoint>& points) {
  cv::Mat small, crop;
  cv::resize(frame, small, {landmarks::kDetectorSize, landmarks::kDetectorSize}, 0, 0, cv::INTER_LINEAR);
  FaceRegion region;
  if (!landmarks::regionFromPoints(points, region)) return {};
  cv::warpAffine(frame, crop, landmarks::cropTransform(region), {landmarks::kMeshSize, landmarks::kMeshSize},
                 cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return {packedRgb(small, 0.007843138f, -1.0f), packedRgb(crop, 0.003921569f, 0.0f)};
}

// The median time of one run of a square-input landmark model on `data` (zeros when empty),
// nothing around it.
double modelRunMs(const std::filesystem::path& path, int side, const char* input,
                  const std::vector<const char*>& outputs, std::vector<float> data) {
  Ort::Session session(onnxEnvironment(), path.c_str(), makeSessionSetUp(kProviderCpu).options);
  data.resize(size_t(side) * side * 3, 0.0f);
  const std::array<int64_t, 4> shape = {1, side, side, 3};
  Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<double> ms;
  for (int i = 0; i < kWarmUpFrames + kMeasuredFrames; ++i) {
    Ort::Value tensor = Ort::Value::CreateTensor<float>(memory, data.data(), data.size(), shape.data(), shape.size());
    const int64_t start = steadyNs();
    session.Run(Ort::RunOptions{nullptr}, &input, &tensor, 1, outputs.data(), outputs.size());
    if (i >= kWarmUpFrames) ms.push_back(msBetween(start, steadyNs()));
  }
  return bench::median(ms);
}

void reportFloors(const char* title, const Stages& s, const ProducerOptions& options, const cv::Mat& frame,
                  const std::vector<LandmarkPoint>& points) {
  const int width = frame.cols, height = frame.rows;
  LandmarkInputs inputs = landmarkInputs(frame, points);
  const std::vector<const char*> detectorOutputs = {"regressors", "classificators"};
  const std::vector<const char*> meshOutputs = {"Identity", "Identity_1"};
  const double detector = modelRunMs(options.landmarkDetectorModelPath, 128, "input", detectorOutputs,
                                     std::move(inputs.detector));
  const double mesh = modelRunMs(options.landmarkMeshModelPath, 256, "input_12", meshOutputs, std::move(inputs.mesh));
  const double meshOnZeros = modelRunMs(options.landmarkMeshModelPath, 256, "input_12", meshOutputs, {});
  const size_t frameBytes = size_t(width) * height * 3, cropBytes = size_t(kCropWidth) * kCropHeight * 3;
  const size_t compositeBytes = cropBytes * 2 + size_t(kCropWidth) * kCropHeight * (16 + 4);
  std::printf("  landmark models alone on this frame: detector %.2f ms, mesh %.2f ms (%.2f ms on zeros); the detector "
              "ran on %.0f%% of the frames\n",
              detector, mesh, meshOnZeros, 100.0 * s.detectorShare);
  bench::printFloors(title, {{"landmark", bench::median(s.landmark), "the model runs alone (ONNX Runtime)",
                              mesh + s.detectorShare * detector},
                             {"skin_comp", bench::median(s.skinComp), "memcpy of the bytes it touches",
                              bench::memcpyMs(compositeBytes)},
                             {"paste", bench::median(s.paste), "memcpy of the bytes it touches",
                              bench::memcpyMs(frameBytes + 2 * cropBytes)},
                             {"publish", bench::median(s.publish), "memcpy of the frame", bench::memcpyMs(frameBytes)}});
}

void report(const char* title, const Stages& s) {
  const double total = bench::median(s.total);
  std::printf("%s: %.2f ms per frame (median of %d frames)\n", title, total, kMeasuredFrames);
  const std::pair<const char*, const std::vector<double>*> rows[] = {
      {"landmark", &s.landmark}, {"crop warp", &s.warp}, {"skin_model", &s.skinModel}, {"skin_comp", &s.skinComp},
      {"teeth", &s.teeth},       {"eye", &s.eye},        {"paste", &s.paste},          {"publish", &s.publish}};
  const char* dominant = "";
  double most = -1;
  for (const auto& [name, values] : rows) {
    const double m = bench::median(*values);
    std::printf("  %-10s %7.2f ms  %5.1f%%\n", name, m, total > 0 ? 100.0 * m / total : 0.0);
    if (m > most) {
      most = m;
      dominant = name;
    }
  }
  std::printf("  dominant stage: %s\n", dominant);
}

bool runRoad(const char* title, int modelThreads, const cv::Mat& frame, const ProducerOptions& options,
             const CropCalibration& calibration) {
  RetouchModels models(options.skinModelPath, options.teethModelPath, kProviderCpu, modelThreads);
  RetouchEngine engine(options, models, calibration, false);
  OnnxLandmarker landmarker(options.landmarkDetectorModelPath, options.landmarkMeshModelPath, kProviderCpu, 0.5f,
                            0.5f);
  std::vector<uint8_t> channel(kFrameChannelBytes);
  SharedFrameWriter writer;
  writer.openOn(channel.data());

  const RetouchSettings settings;  // the defaults: eyes every frame, teeth on an open mouth
  Stages s;
  bool faceSeen = false;
  std::vector<LandmarkPoint> lastPoints;
  uint64_t detectorRunsBefore = 0;
  for (int i = 0; i < kWarmUpFrames + kMeasuredFrames; ++i) {
    if (i == kWarmUpFrames) detectorRunsBefore = landmarker.detectorRuns();
    const int64_t start = steadyNs();
    const LandmarkResult found = landmarker.detect(frame, int64_t(i) * 33);
    const double landmarkMs = msBetween(start, steadyNs());
    if (!found.found || found.points.empty()) continue;
    faceSeen = true;
    lastPoints = found.points;
    const std::vector<LandmarkPoint> points = openedMouth(found.points);

    std::vector<uint8_t> nv12;
    uint32_t width = 0, height = 0;
    cv::Mat bgr;
    RetouchTimings t;
    engine.processFrame({frame}, points, settings, nv12, width, height, bgr, &t);
    const int64_t publishStart = steadyNs();
    writer.publishBgr(bgr);
    const double publishMs = msBetween(publishStart, steadyNs());
    if (i < kWarmUpFrames) continue;
    s.landmark.push_back(landmarkMs);
    s.skinModel.push_back(t.skin_model);
    s.skinComp.push_back(t.skin_comp);
    s.teeth.push_back(t.teeth_total);
    s.eye.push_back(t.eye);
    s.paste.push_back(t.paste);
    // What the engine's call spent beyond its named stages: the alignment and the crop warp.
    s.warp.push_back(std::max(0.0, t.pipeline - t.skin_model - t.skin_comp - t.teeth_total - t.eye - t.paste));
    s.publish.push_back(publishMs);
    s.total.push_back(landmarkMs + t.pipeline + publishMs);
    if (!t.teethApplied || !t.eyeApplied) {
      std::printf("%s: the frame did not take the teeth and eye stages\n", title ? title : "warm-up");
      return false;
    }
  }
  if (!faceSeen) {
    std::printf("%s: no face found in the picture\n", title ? title : "warm-up");
    return false;
  }
  s.detectorShare = double(landmarker.detectorRuns() - detectorRunsBefore) / kMeasuredFrames;
  if (title) {
    report(title, s);
    reportFloors(title, s, options, frame, lastPoints);
  }
  return true;
}

}  // namespace

int main() {
  const ProducerOptions options = bench::dataFolderOptions();

  const cv::Mat frame = bench::facePicture(1280, 720);
  if (frame.empty()) {
    std::cerr << "retouch_road_bench: the face picture is missing under " << bench::mediaDir().string() << "\n";
    return 1;
  }
  try {
    CropCalibration calibration;
    calibration.load(options.calibrationPath);
    std::printf("CPU retouch road, 1280x720 face picture, %u hardware threads\n",
                std::thread::hardware_concurrency());
    // The first road of a process pays for its memory mapping while the allocator's
    // thresholds settle (tens of milliseconds a frame here); it is run and not reported.
    runRoad(nullptr, 0, frame, options, calibration);
    bool ok = runRoad("retouch models on the runtime's default threads", 0, frame, options, calibration);
    ok = runRoad("retouch models on one thread", 1, frame, options, calibration) && ok;
    return ok ? 0 : 1;
  } catch (const std::exception& error) {
    std::cerr << "retouch_road_bench: " << error.what() << " (run ./tesmira build for the data folder)\n";
    return 1;
  }
}
