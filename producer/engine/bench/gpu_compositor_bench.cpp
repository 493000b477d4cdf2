// The Direct3D 11 compositor alone, without the models: a fresh compositor's creation,
// its first frame of each road against the second, then the median of repeated frames
// of the resident road without global effects with its GpuTimings split, beside the
// CPU's own packing of the same frame. The face is synthetic (a constant skin field, a
// face-sized crop at scale 1.2), so the figures change only with the compositor.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "producer/engine/bench/bench_inputs.h"
#include "producer/engine/crop_geometry.h"
#include "producer/engine/gpu_compositor.h"
#include "producer/frame_convert.h"

namespace {

using namespace tesmira;

constexpr int kMeasuredFrames = 31;
constexpr int kFreshCompositors = 5;

double msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

cv::Mat toneAtlas() {
  cv::Mat atlas(16, 256, CV_8UC4);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 256; ++x)
      atlas.at<cv::Vec4b>(y, x) = {uint8_t(255 - 17 * (x % 16)), uint8_t(17 * y), uint8_t(17 * (x / 16)), 255};
  return atlas;
}

// The compositor as the engine set-up leaves it: facemask and every tone atlas set.
std::unique_ptr<GpuCompositor> prepared(double& createMs) {
  const auto start = std::chrono::steady_clock::now();
  auto c = createGpuCompositor();
  c->setFacemask(cv::Mat(kCropHeight, kCropWidth, CV_32FC1, cv::Scalar(1.0f)));
  const cv::Mat atlas = toneAtlas();
  for (int index = 1; index <= kToneCount; ++index) c->setToneLut(index, atlas);
  createMs = msSince(start);
  return c;
}

// A face-sized crop centred in the frame: crop = (frame - centre) / 1.2 + crop centre.
FaceCrop faceIn(const cv::Mat& frame) {
  const double s = 1.0 / 1.2;
  const double cx = frame.cols / 2.0, cy = frame.rows / 2.0;
  FaceCrop face;
  face.cropFromFrame = {s, 0, kCropWidth / 2.0 - s * cx, 0, s, kCropHeight / 2.0 - s * cy};
  cv::warpAffine(frame, face.crop, cv::Mat(2, 3, CV_64F, face.cropFromFrame.data()).clone(),
                 cv::Size(kCropWidth, kCropHeight));
  face.skinField.assign(size_t(4) * 40 * 64, 96.0f);
  return face;
}

PerspectiveField gentleField() {
  PerspectiveField f;
  f.offsets.resize(size_t(f.columns) * f.rows);
  for (size_t i = 0; i < f.offsets.size(); ++i) f.offsets[i] = {float(i % 3) - 1.0f, float(i % 5) * 0.5f - 1.0f};
  return f;
}

struct Road {
  const char* name;
  std::function<bool(GpuCompositor&, GpuTimings&)> run;
};

bool runSize(int width, int height) {
  const cv::Mat frame = bench::facePicture(width, height);
  if (frame.empty()) {
    std::fprintf(stderr, "gpu_compositor_bench: the face picture is missing under %s\n",
                 bench::mediaDir().string().c_str());
    return false;
  }
  const FaceCrop face = faceIn(frame);
  cv::Mat retouched;
  face.crop.convertTo(retouched, -1, 1.0, 12.0);
  const PerspectiveField field = gentleField();
  std::vector<uint8_t> nv12;
  const Road roads[] = {
      {"resident, no post chain",
       [&](GpuCompositor& c, GpuTimings& t) { return c.processResident({frame}, face, 1.0f, false, {}, nv12, t); }},
      {"resident, sharpen+tone+perspective",
       [&](GpuCompositor& c, GpuTimings& t) {
         return c.processResident({frame}, face, 1.0f, false, {0.5f, 2, &field}, nv12, t);
       }},
      {"paste, no post chain",
       [&](GpuCompositor& c, GpuTimings& t) { return c.pasteCrops({frame}, face, retouched, {}, nv12, t); }},
      {"camera-only, tone 2",
       [&](GpuCompositor& c, GpuTimings& t) { return c.processCameraOnly({frame}, {0.0f, 2, nullptr}, nv12, t); }},
  };

  std::printf("%dx%d\n", width, height);
  // Each road's first frame on a compositor of its own, as the producer's first live frame.
  for (const Road& road : roads) {
    std::vector<double> create, first, second;
    for (int i = 0; i < kFreshCompositors; ++i) {
      create.push_back(0);
      auto c = prepared(create.back());
      GpuTimings t;
      auto start = std::chrono::steady_clock::now();
      bool ok = road.run(*c, t);
      first.push_back(msSince(start));
      start = std::chrono::steady_clock::now();
      ok = road.run(*c, t) && ok;
      second.push_back(msSince(start));
      if (!ok) {
        std::printf("  %-36s did not take its road\n", road.name);
        return false;
      }
    }
    std::printf("  %-36s create %.1f first frame %.2f second frame %.2f  (ms, median of %d compositors)\n",
                road.name, bench::median(create), bench::median(first), bench::median(second), kFreshCompositors);
  }

  double createMs = 0;
  auto c = prepared(createMs);
  std::vector<double> total, wait, nv12Gpu, composite, copy, frameIn, readBack, pack;
  for (int i = 0; i < kMeasuredFrames + 3; ++i) {
    GpuTimings t;
    if (!roads[0].run(*c, t)) return false;
    if (i < 3) continue;
    total.push_back(t.total);
    wait.push_back(t.nv12Wait);
    nv12Gpu.push_back(t.nv12Gpu);
    composite.push_back(t.compositeGpu);
    copy.push_back(t.copyGpu);
    frameIn.push_back(t.frameIn);
    readBack.push_back(t.readBack);
  }
  for (int i = 0; i < kMeasuredFrames; ++i) {
    const auto start = std::chrono::steady_clock::now();
    bgrToNv12(frame, width, height, nv12);
    pack.push_back(msSince(start));
  }
  std::printf("  resident, no post chain (median of %d): total %.2f frameIn %.2f compositeGpu %.2f nv12Gpu %.2f "
              "copyGpu %.2f nv12Wait %.2f readBack %.2f; CPU bgrToNv12 %.2f  (ms)\n",
              kMeasuredFrames, bench::median(total), bench::median(frameIn), bench::median(composite),
              bench::median(nv12Gpu), bench::median(copy), bench::median(wait), bench::median(readBack),
              bench::median(pack));
  return true;
}

}  // namespace

int main() {
  try {
    bool ok = runSize(1280, 720);
    ok = runSize(1920, 1080) && ok;
    return ok ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "gpu_compositor_bench: %s\n", error.what());
    return 1;
  }
}
