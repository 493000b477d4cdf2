// The two NV12 conversions against the same work done by libyuv and OpenCV, at
// 720p and 1080p on one thread. libyuv and OpenCV round differently (chroma and RGB
// differ by 1 or 2), so they are references for speed only. Compare the rows of
// one run: "ratio_to_libyuv" is ours over libyuv's time in the same run.
//
// OpenCV has no BGR to NV12 in this version: its row converts to planar I420.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#ifndef TESMIRA_BENCH_REFERENCES_ONLY
#include "common/pixel_format.h"
#endif

namespace {

struct Frame {
  int width, height;
  cv::Mat bgr;
  std::vector<uint8_t> nv12;
  Frame(int w, int h) : width(w), height(h), bgr(h, w, CV_8UC3), nv12(size_t(w) * h * 3 / 2) {
    cv::randu(bgr, 0, 256);
    cv::Mat noise(int(nv12.size()), 1, CV_8UC1, nv12.data());
    cv::randu(noise, 0, 256);
  }
};

void sizes(benchmark::internal::Benchmark* b) {
  b->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
}

// Best time per size and name within this run, for the ratios.
std::map<std::string, double>& bestSeconds() {
  static std::map<std::string, double> best;
  return best;
}

template <typename Work>
void timed(benchmark::State& state, const std::string& name, Work work) {
  const std::string key = name + "/" + std::to_string(state.range(0)) + "x" + std::to_string(state.range(1));
  double best = 1e9;
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    work();
    benchmark::ClobberMemory();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
  }
  auto& table = bestSeconds();
  if (!table.count(key) || best < table[key]) table[key] = best;
  state.counters["best_us"] = best * 1e6;
}

void addRatio(benchmark::State& state, const std::string& ours, const std::string& libyuvName) {
  const std::string suffix = "/" + std::to_string(state.range(0)) + "x" + std::to_string(state.range(1));
  auto& table = bestSeconds();
  if (table.count(ours + suffix) && table.count(libyuvName + suffix))
    state.counters["ratio_to_libyuv"] = table[ours + suffix] / table[libyuvName + suffix];
}

// ---- BGR to NV12 ---------------------------------------------------------------------

void BM_BgrToNv12_libyuv(benchmark::State& state) {
  Frame f(int(state.range(0)), int(state.range(1)));
  const int w = f.width, h = f.height;
  std::vector<uint8_t> u(size_t(w / 2) * (h / 2)), v(u.size());
  // libyuv's RGB24 is B, G, R in memory; its NV12 takes a planar step and a merge.
  timed(state, "libyuv_bgr", [&] {
    libyuv::RGB24ToI420(f.bgr.data, int(f.bgr.step), f.nv12.data(), w, u.data(), w / 2, v.data(), w / 2, w, h);
    libyuv::MergeUVPlane(u.data(), w / 2, v.data(), w / 2, f.nv12.data() + size_t(w) * h, w, w / 2, h / 2);
  });
}

void BM_BgrToNv12_opencvI420(benchmark::State& state) {
  Frame f(int(state.range(0)), int(state.range(1)));
  cv::Mat i420(f.height * 3 / 2, f.width, CV_8UC1);
  timed(state, "opencv_bgr", [&] { cv::cvtColor(f.bgr, i420, cv::COLOR_BGR2YUV_I420); });
}

#ifndef TESMIRA_BENCH_REFERENCES_ONLY
void BM_BgrToNv12_ours(benchmark::State& state) {
  Frame f(int(state.range(0)), int(state.range(1)));
  timed(state, "ours_bgr", [&] {
    tesmira::bgr24ToNv12(f.bgr.data, f.bgr.step, uint32_t(f.width), uint32_t(f.height), f.nv12.data());
  });
  addRatio(state, "ours_bgr", "libyuv_bgr");
}
#endif

// ---- NV12 to RGB32 -------------------------------------------------------------------

void BM_Nv12ToRgb32_libyuv(benchmark::State& state) {
  Frame f(int(state.range(0)), int(state.range(1)));
  const int w = f.width, h = f.height;
  std::vector<uint8_t> out(size_t(w) * h * 4);
  // libyuv's ARGB is B, G, R, A in memory.
  timed(state, "libyuv_rgb32", [&] {
    libyuv::NV12ToARGB(f.nv12.data(), w, f.nv12.data() + size_t(w) * h, w, out.data(), w * 4, w, h);
  });
}

void BM_Nv12ToRgb32_opencv(benchmark::State& state) {
  Frame f(int(state.range(0)), int(state.range(1)));
  cv::Mat nv12(f.height * 3 / 2, f.width, CV_8UC1, f.nv12.data());
  cv::Mat out(f.height, f.width, CV_8UC4);
  timed(state, "opencv_rgb32", [&] { cv::cvtColor(nv12, out, cv::COLOR_YUV2BGRA_NV12); });
}

#ifndef TESMIRA_BENCH_REFERENCES_ONLY
void BM_Nv12ToRgb32_ours(benchmark::State& state) {
  Frame f(int(state.range(0)), int(state.range(1)));
  std::vector<uint8_t> out(size_t(f.width) * f.height * 4);
  timed(state, "ours_rgb32",
        [&] { tesmira::nv12ToRgb32(f.nv12.data(), uint32_t(f.width), uint32_t(f.height), out.data()); });
  addRatio(state, "ours_rgb32", "libyuv_rgb32");
}
#endif

// References first, so the rows of ours can carry the ratio.
BENCHMARK(BM_BgrToNv12_libyuv)->Apply(sizes);
BENCHMARK(BM_BgrToNv12_opencvI420)->Apply(sizes);
#ifndef TESMIRA_BENCH_REFERENCES_ONLY
BENCHMARK(BM_BgrToNv12_ours)->Apply(sizes);
#endif
BENCHMARK(BM_Nv12ToRgb32_libyuv)->Apply(sizes);
BENCHMARK(BM_Nv12ToRgb32_opencv)->Apply(sizes);
#ifndef TESMIRA_BENCH_REFERENCES_ONLY
BENCHMARK(BM_Nv12ToRgb32_ours)->Apply(sizes);
#endif

}  // namespace

int main(int argc, char** argv) {
  cv::setNumThreads(1);  // one core for everyone
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
