// The whole CPU retouch road of one 1280x720 frame on the data folder: landmarks, crop
// warp, skin model, skin composite, teeth, eyes, paste and the BGR publication. The face
// picture runs with the retouch models on ONNX Runtime's default threads and on one
// thread; every figure is the median of repeated frames.

#include <algorithm>
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
};

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
  for (int i = 0; i < kWarmUpFrames + kMeasuredFrames; ++i) {
    const int64_t start = steadyNs();
    const LandmarkResult found = landmarker.detect(frame, int64_t(i) * 33);
    const double landmarkMs = msBetween(start, steadyNs());
    if (!found.found || found.points.empty()) continue;
    faceSeen = true;
    const std::vector<LandmarkPoint> points = openedMouth(found.points);

    std::vector<uint8_t> nv12;
    uint32_t width = 0, height = 0;
    cv::Mat bgr;
    RetouchTimings t;
    engine.processFrame(frame, points, settings, nv12, width, height, bgr, &t, nullptr, 0, false);
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
  if (title) report(title, s);
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
