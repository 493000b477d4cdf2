// The GPU frame roads of one face frame at 1280x720 and 1920x1080 on the machine's
// Direct3D device, beside the CPU road in the same run: resident without and with the
// post chain (sharpen, a tone, perspective), camera-only with a tone, and the paste road
// (eyes on). Every figure is the median of repeated frames; each GPU road shows its
// GpuTimings split (nv12 includes waiting for the kernels before it). On the CPU rasteriser LP_NUM_THREADS sets its threads
// (run_gpu_road_bench.sh runs it with 8 and with 1).
#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/environment.h"
#include "producer/engine/crop_calibration.h"
#include "producer/engine/onnx_landmarker.h"
#include "producer/engine/retouch_engine.h"
#include "producer/engine/retouch_models.h"
#include "producer/frame_convert.h"
#include "producer/loop_clock.h"
#include "producer/options.h"

namespace {

namespace fs = std::filesystem;
using namespace tesmira;

constexpr int kWarmUpFrames = 3;
constexpr int kMeasuredFrames = 15;

fs::path cacheDir() {
  const auto dir = environmentValue(L"TESMIRA_CACHE_DIR");
  return dir ? fs::path(*dir) : fs::path(TESMIRA_SOURCE_DIR) / ".cache";
}
fs::path dataDir() {
  const auto dir = environmentValue(L"TESMIRA_DATA_DIR");
  return dir ? fs::path(*dir) : cacheDir() / "data";
}
fs::path mediaDir() {
  const auto dir = environmentValue(L"TESMIRA_MEDIA_DIR");
  return dir ? fs::path(*dir) : cacheDir() / "media";
}

// The face picture scaled to the frame's height, centred with its edges replicated.
cv::Mat facePicture(int width, int height) {
  const cv::Mat picture = cv::imread((mediaDir() / "astronaut.png").string(), cv::IMREAD_COLOR);
  if (picture.empty()) return {};
  cv::Mat scaled;
  const double scale = double(height) / picture.rows;
  cv::resize(picture, scaled, cv::Size(), scale, scale, cv::INTER_AREA);
  const int left = std::max(0, (width - scaled.cols) / 2);
  cv::Mat frame;
  cv::copyMakeBorder(scaled, frame, 0, 0, left, std::max(0, width - scaled.cols - left), cv::BORDER_REPLICATE);
  return frame(cv::Rect(0, 0, width, height)).clone();
}

std::string adapterName(ID3D11Device* device) {
  if (!device) return "none (CPU fall-back)";
  Microsoft::WRL::ComPtr<IDXGIDevice> dxgi;
  Microsoft::WRL::ComPtr<IDXGIAdapter> adapter;
  DXGI_ADAPTER_DESC desc{};
  if (FAILED(device->QueryInterface(IID_PPV_ARGS(&dxgi))) || FAILED(dxgi->GetAdapter(&adapter)) ||
      FAILED(adapter->GetDesc(&desc)))
    return "unknown adapter";
  std::string name;
  for (const WCHAR* p = desc.Description; *p; ++p) name += char(*p);
  return name;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// Named figures of one road, one value per measured frame.
struct Figures {
  std::vector<std::pair<const char*, std::vector<double>>> rows;
  void add(const char* name, double value) {
    for (auto& [n, values] : rows)
      if (std::string(n) == name) return values.push_back(value);
    rows.push_back({name, {value}});
  }
};

// Runs `frame` (which adds its figures, "road" the whole of it) and prints the medians.
bool measure(const char* title, const std::function<bool(Figures&)>& frame) {
  Figures figures;
  for (int i = 0; i < kWarmUpFrames + kMeasuredFrames; ++i) {
    Figures one;
    if (!frame(one)) {
      std::printf("  %-34s did not take its road\n", title);
      return false;
    }
    if (i < kWarmUpFrames) continue;
    for (auto& [name, values] : one.rows) figures.add(name, values.front());
  }
  std::printf("  %-34s", title);
  for (const auto& [name, values] : figures.rows) std::printf(" %s %.2f", name, median(values));
  std::printf("  (ms)\n");
  return true;
}

void addGpu(Figures& f, const GpuTimings& g) {
  f.add("frameIn", g.frameIn);
  f.add("upload", g.upload);
  f.add("compositeGpu", g.compositeGpu);
  f.add("pasteGpu", g.pasteGpu);
  f.add("nv12", g.nv12);
  f.add("gpuSum", g.gpuSum);
  f.add("gpuTotal", g.total);
}

RetouchSettings plain() {
  RetouchSettings s;
  s.teeth = 0;
  s.eyeWhite = 0;
  s.eyeSharp = 0;
  s.sharpen = 0;
  s.tone = 0;
  s.perspectiveStrength = 0;
  return s;
}

bool runSize(int width, int height, const ProducerOptions& options, RetouchModels& models,
             const CropCalibration& calibration) {
  const cv::Mat frame = facePicture(width, height);
  if (frame.empty()) {
    std::cerr << "gpu_road_bench: the face picture is missing under " << mediaDir().string() << "\n";
    return false;
  }
  // A landmarker of its own: one that tracked the other size would look in the wrong place.
  OnnxLandmarker landmarker(options.landmarkDetectorModelPath, options.landmarkMeshModelPath, kProviderCpu, 0.5f,
                            0.5f);
  const LandmarkResult found = landmarker.detect(frame, 0);
  if (!found.found || found.points.empty()) {
    std::printf("%dx%d: no face found in the picture\n", width, height);
    return false;
  }
  const std::vector<LandmarkPoint>& landmarks = found.points;

  RetouchEngine gpuEngine(options, models, calibration, true);
  RetouchEngine cpuEngine(options, models, calibration, false);
  GpuCompositor* compositor = gpuEngine.compositor();
  std::printf("%dx%d face frame; device: %s\n", width, height, adapterName(gpuEngine.d3dDevice()).c_str());
  if (!compositor) return false;

  RetouchSettings post = plain();
  post.sharpen = 0.5f;
  post.tone = 2;
  post.perspectiveStrength = 0.55f;
  RetouchSettings eyes = plain();
  eyes.eyeWhite = 0.22f;
  eyes.eyeSharp = 0.25f;
  std::vector<uint8_t> nv12;

  auto resident = [&](const RetouchSettings& s) {
    return [&, s](Figures& f) {
      const int64_t start = steadyNs();
      RetouchTimings t;
      const FaceCrop face = gpuEngine.runSkinStage(frame, landmarks, s, t);
      f.add("skin", msBetween(start, steadyNs()));
      const int64_t fieldStart = steadyNs();
      const auto field = buildPerspectiveField(landmarks, width, height, s.perspectiveStrength, 0.0f);
      f.add("field", msBetween(fieldStart, steadyNs()));
      GpuTimings g;
      const bool ok = compositor->processResident(frame, face.crop, face.skinField, s.gain, s.maskBypass,
                                                  face.cropFromFrame, {s.sharpen, s.tone, field ? &*field : nullptr},
                                                  nv12, g, nullptr, 0, false);
      addGpu(f, g);
      f.add("road", msBetween(start, steadyNs()));
      return ok;
    };
  };
  auto cpuRoad = [&](const RetouchSettings& s) {
    return [&, s](Figures& f) {
      const int64_t start = steadyNs();
      RetouchTimings t;
      uint32_t w = 0, h = 0;
      cv::Mat bgr;
      if (cpuEngine.processFrame(frame, landmarks, s, nv12, w, h, bgr, &t, nullptr, 0, false)) return false;
      f.add("skin_model", t.skin_model);
      f.add("skin_comp", t.skin_comp);
      f.add("eye", t.eye);
      f.add("paste", t.paste);
      const int64_t packStart = steadyNs();
      if (!bgrToNv12(bgr, width, height, nv12)) return false;
      f.add("bgrToNv12", msBetween(packStart, steadyNs()));
      f.add("road", msBetween(start, steadyNs()));
      return true;
    };
  };

  bool ok = measure("resident, no post chain", resident(plain()));
  ok = measure("resident, sharpen+tone 2+perspective", resident(post)) && ok;
  ok = measure("camera-only, tone 2", [&](Figures& f) {
    const int64_t start = steadyNs();
    GpuTimings g;
    const bool done = compositor->processCameraOnly(frame, {0.0f, 2, nullptr}, nv12, g, nullptr, 0, false);
    addGpu(f, g);
    f.add("road", msBetween(start, steadyNs()));
    return done;
  }) && ok;
  ok = measure("paste (eyes on)", [&](Figures& f) {
    const int64_t start = steadyNs();
    RetouchTimings t;
    const FaceCrop face = gpuEngine.runSkinStage(frame, landmarks, eyes, t);
    f.add("skin", msBetween(start, steadyNs()));
    const int64_t stageStart = steadyNs();
    const cv::Mat retouched = gpuEngine.faceStageCpu(frame, face, eyes, t);
    f.add("faceStageCpu", msBetween(stageStart, steadyNs()));
    GpuTimings g;
    const bool done =
        compositor->pasteCrops(frame, face.crop, retouched, face.cropFromFrame, {}, nv12, g, nullptr, 0, false);
    addGpu(f, g);
    f.add("road", msBetween(start, steadyNs()));
    return done;
  }) && ok;
  ok = measure("CPU road, no eyes (+ bgrToNv12)", cpuRoad(plain())) && ok;
  ok = measure("CPU road, eyes on (+ bgrToNv12)", cpuRoad(eyes)) && ok;
  return ok;
}

}  // namespace

int main() {
  const fs::path data = dataDir();
  ProducerOptions options;
  options.skinModelPath = data / "models" / "retouch.onnx";
  options.teethModelPath = data / "models" / "teeth_whitening.onnx";
  options.calibrationPath = data / "models" / "calibration" / "mediapipe_crop_calibration.json";
  options.landmarkDetectorModelPath = data / "models" / "mp_landmarker" / "onnx" / "face_detector.onnx";
  options.landmarkMeshModelPath = data / "models" / "mp_landmarker" / "onnx" / "face_landmarks_detector.onnx";
  options.resourcesDir = data / "app" / "base" / "Sources" / "Prismwell" / "Resources";
  options.facemaskPath = options.resourcesDir / "facemask.png";
  options.skinMaskPath = options.resourcesDir / "skin_mask.png";
  options.teethMaskPath = options.resourcesDir / "teeth_whitening_mask.png";
  options.lookupPath = options.resourcesDir / "lookup.png";
  try {
    CropCalibration calibration;
    calibration.load(options.calibrationPath);
    RetouchModels models(options.skinModelPath, options.teethModelPath, kProviderCpu, 0);
    const auto threads = environmentValue(L"LP_NUM_THREADS");
    std::printf("GPU frame roads beside the CPU road; LP_NUM_THREADS=%s; median of %d frames\n",
                threads ? std::string(threads->begin(), threads->end()).c_str() : "(unset)", kMeasuredFrames);
    bool ok = runSize(1280, 720, options, models, calibration);
    ok = runSize(1920, 1080, options, models, calibration) && ok;
    return ok ? 0 : 1;
  } catch (const std::exception& error) {
    std::cerr << "gpu_road_bench: " << error.what() << " (run ./tesmira build for the data folder)\n";
    return 1;
  }
}
