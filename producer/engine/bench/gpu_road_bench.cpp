// The GPU frame roads of one face frame at 1280x720 and 1920x1080 on the machine's
// Direct3D device, beside the CPU road in the same run: resident without and with the
// post chain (sharpen, a tone, perspective), camera-only with a tone, and the paste road
// (eyes on). Every figure is the median of repeated frames; each GPU road shows its
// GpuTimings split: nv12 is the CPU's packing stage, nv12Wait of it blocked on the device
// while everything queued since the last submission runs, postGpu / nv12Gpu / copyGpu the
// device's own times. A table sets each stage against its floor. On the CPU rasteriser
// LP_NUM_THREADS sets its threads (run_gpu_road_bench.sh runs it with 8 and with 1).
#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>


#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/environment.h"
#include "producer/engine/bench/bench_inputs.h"
#include "producer/engine/crop_calibration.h"
#include "producer/engine/onnx_landmarker.h"
#include "producer/engine/retouch_engine.h"
#include "producer/engine/retouch_models.h"
#include "producer/frame_convert.h"
#include "producer/loop_clock.h"
#include "producer/options.h"

namespace {

using namespace tesmira;

constexpr int kWarmUpFrames = 3;
constexpr int kMeasuredFrames = 31;

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

// Named figures of one road, one value per measured frame.
struct Figures {
  std::vector<std::pair<const char*, std::vector<double>>> rows;
  void add(const char* name, double value) {
    for (auto& [n, values] : rows)
      if (std::string(n) == name) return values.push_back(value);
    rows.push_back({name, {value}});
  }
};

double medianOf(const Figures& f, const char* name) {
  for (const auto& [n, values] : f.rows)
    if (std::string(n) == name) return bench::median(values);
  return 0;
}

// Runs `frame` (which adds its figures, "road" the whole of it) and prints the medians.
bool measure(const char* title, const std::function<bool(Figures&)>& frame, Figures* kept = nullptr) {
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
  for (const auto& [name, values] : figures.rows) std::printf(" %s %.2f", name, bench::median(values));
  std::printf("  (ms)\n");
  if (kept) *kept = figures;
  return true;
}

void addGpu(Figures& f, const GpuTimings& g) {
  f.add("frameIn", g.frameIn);
  f.add("upload", g.upload);
  f.add("compositeGpu", g.compositeGpu);
  f.add("pasteGpu", g.pasteGpu);
  f.add("nv12", g.nv12);
  f.add("nv12Wait", g.nv12Wait);
  f.add("readBack", g.readBack);
  f.add("postGpu", g.postGpu);
  f.add("nv12Gpu", g.nv12Gpu);
  f.add("copyGpu", g.copyGpu);
  f.add("gpuSum", g.gpuSum);
  f.add("gpuTotal", g.total);
}

// Every face and global effect off; the roads switch on what they time.
RetouchSettings plain() {
  RetouchSettings s;
  s.teeth = s.eyeWhite = s.eyeSharp = s.sharpen = s.perspectiveStrength = 0;
  s.tone = 0;
  return s;
}

bool runSize(int width, int height, const ProducerOptions& options, RetouchModels& models,
             const CropCalibration& calibration) {
  const cv::Mat frame = bench::facePicture(width, height);
  if (frame.empty()) {
    std::cerr << "gpu_road_bench: the face picture is missing under " << bench::mediaDir().string() << "\n";
    return false;
  }
  // A landmarker of its own: one that tracked the other size would look in the wrong place.
  OnnxLandmarker landmarker(options.landmarkDetectorModelPath, options.landmarkMeshModelPath, kProviderCpu, 0.5f,
                            0.5f);
  // The tracker settles over a few frames, as it does on a camera.
  LandmarkResult found;
  for (int i = 0; i < 5; ++i) found = landmarker.detect(frame, int64_t(i) * 33);
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
      const bool ok = compositor->processResident({frame}, face, s.gain, s.maskBypass,
                                                  {s.sharpen, s.tone, field ? &*field : nullptr}, nv12, g);
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
      if (cpuEngine.processFrame({frame}, landmarks, s, nv12, w, h, bgr, &t)) return false;
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

  // The first road of a process pays for its memory mapping while the allocator's
  // thresholds settle; it is run and not reported.
  Figures unused;
  for (int i = 0; i < kWarmUpFrames + kMeasuredFrames; ++i) cpuRoad(RetouchSettings{})(unused);
  RetouchSettings defaults;  // the product's defaults: eyes, perspective 0.55, teeth on an open mouth
  RetouchSettings defaultsNoPost = defaults;
  defaultsNoPost.perspectiveStrength = 0;
  Figures cpuFigures, cpuPlainFigures, residentFigures, defaultFigures;
  bool ok = measure("CPU road, no eyes (+ bgrToNv12)", cpuRoad(plain()), &cpuPlainFigures);
  ok = measure("CPU road, eyes on (+ bgrToNv12)", cpuRoad(eyes)) && ok;
  ok = measure("CPU road, defaults (+ bgrToNv12)", cpuRoad(defaults), &cpuFigures) && ok;
  ok = measure("resident, no post chain", resident(plain()), &residentFigures) && ok;
  // The same road on a face made once, beforehand: no skin model runs just before the
  // device, so the difference in gpuTotal is what the model's threads leave the rasteriser.
  Figures quietFigures;
  {
    RetouchTimings t;
    const FaceCrop face = gpuEngine.runSkinStage(frame, landmarks, plain(), t);
    ok = measure("resident, no post chain, face made once", [&](Figures& f) {
      const int64_t start = steadyNs();
      GpuTimings g;
      const bool done = compositor->processResident({frame}, face, plain().gain, plain().maskBypass, {}, nv12, g);
      addGpu(f, g);
      f.add("road", msBetween(start, steadyNs()));
      return done;
    }, &quietFigures) && ok;
  }
  ok = measure("resident, sharpen+tone 2+perspective", resident(post)) && ok;
  ok = measure("resident, perspective 0.55 only", resident([] {
         RetouchSettings s = plain();
         s.perspectiveStrength = 0.55f;
         return s;
       }())) && ok;
  // The engine's own dispatch, as the producer calls it.
  auto gpuRoad = [&](const RetouchSettings& s) {
    return [&, s](Figures& f) {
      const int64_t start = steadyNs();
      RetouchTimings t;
      uint32_t w = 0, h = 0;
      cv::Mat bgr;
      const bool done = gpuEngine.processFrame({frame}, landmarks, s, nv12, w, h, bgr, &t);
      f.add("road", msBetween(start, steadyNs()));
      return done;
    };
  };
  ok = measure("GPU road, defaults (processFrame)", gpuRoad(defaults), &defaultFigures) && ok;
  ok = measure("GPU road, defaults without perspective", gpuRoad(defaultsNoPost)) && ok;
  ok = measure("camera-only, tone 2", [&](Figures& f) {
    const int64_t start = steadyNs();
    GpuTimings g;
    const bool done = compositor->processCameraOnly({frame}, {0.0f, 2, nullptr}, nv12, g);
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
        compositor->pasteCrops({frame}, face, retouched, {}, nv12, g);
    addGpu(f, g);
    f.add("road", msBetween(start, steadyNs()));
    return done;
  }) && ok;

  const size_t frameBytes = size_t(width) * height * 3, cropBytes = size_t(kCropWidth) * kCropHeight * 3;
  std::vector<double> pack;
  for (int i = 0; i < kMeasuredFrames; ++i) {
    const int64_t packStart = steadyNs();
    bgrToNv12(frame, width, height, nv12);
    pack.push_back(msBetween(packStart, steadyNs()));
  }
  // Skin composite: crop in, decoded field and mask read, crop out. Paste: the frame copied
  // out, the crop and its retouch read.
  const size_t compositeBytes = cropBytes * 2 + size_t(kCropWidth) * kCropHeight * (16 + 4);
  bench::printFloors("CPU road and resident road (no post chain)",
                     {{"skin_comp", medianOf(cpuFigures, "skin_comp"), "memcpy of the bytes it touches",
                       bench::memcpyMs(compositeBytes)},
                      {"paste", medianOf(cpuFigures, "paste"), "memcpy of the bytes it touches",
                       bench::memcpyMs(frameBytes + 2 * cropBytes)},
                      {"bgrToNv12", medianOf(cpuFigures, "bgrToNv12"), "bgrToNv12 alone", bench::median(pack)},
                      {"resident nv12", medianOf(residentFigures, "nv12"), "bgrToNv12", bench::median(pack)},
                      {"resident road", medianOf(residentFigures, "road"), "CPU road, same effects",
                       medianOf(cpuPlainFigures, "road")},
                      {"resident GPU", medianOf(residentFigures, "gpuTotal"), "same, face made once",
                       medianOf(quietFigures, "gpuTotal")},
                      {"GPU defaults", medianOf(defaultFigures, "road"), "33 ms frame budget", 33.0}});
  return ok;
}

}  // namespace

int main() {
  const ProducerOptions options = bench::dataFolderOptions();
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
