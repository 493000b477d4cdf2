// bgrToNv12 and the two publications against one plain copy of the same NV12 size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "producer/bench/nv12_copy_baseline.h"
#include "producer/frame_writer.h"

namespace {

using tesmira::kFrameChannelBytes;

cv::Mat noiseFrame(int width, int height) {
  cv::Mat frame(height, width, CV_8UC3);
  cv::randu(frame, 0, 256);
  return frame;
}

void sizeArgs(benchmark::internal::Benchmark* b) { b->Args({1280, 720})->Args({1920, 1080}); }

using tesmira::bench::BM_Nv12Memcpy;

void BM_bgrToNv12(benchmark::State& state) {
  cv::Mat frame = noiseFrame(int(state.range(0)), int(state.range(1)));
  std::vector<uint8_t> out;
  for (auto _ : state) {
    tesmira::bgrToNv12(frame, frame.cols, frame.rows, out);
    benchmark::DoNotOptimize(out.data());
  }
}

void BM_publishNv12(benchmark::State& state) {
  const size_t bytes = size_t(state.range(0)) * size_t(state.range(1)) * 3 / 2;
  std::vector<uint8_t> nv12(bytes, 7);
  auto channel = std::make_unique<uint8_t[]>(kFrameChannelBytes);
  tesmira::SharedFrameWriter writer;
  writer.openOn(channel.get());
  for (auto _ : state) {
    benchmark::DoNotOptimize(writer.publishNv12(nv12.data(), int(state.range(0)), int(state.range(1))));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void BM_publishBgr(benchmark::State& state) {
  cv::Mat frame = noiseFrame(int(state.range(0)), int(state.range(1)));
  auto channel = std::make_unique<uint8_t[]>(kFrameChannelBytes);
  tesmira::SharedFrameWriter writer;
  writer.openOn(channel.get());
  for (auto _ : state) {
    benchmark::DoNotOptimize(writer.publishBgr(frame));
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_Nv12Memcpy)->Apply(sizeArgs);
BENCHMARK(BM_bgrToNv12)->Apply(sizeArgs);
BENCHMARK(BM_publishNv12)->Apply(sizeArgs);
BENCHMARK(BM_publishBgr)->Apply(sizeArgs);

}  // namespace

BENCHMARK_MAIN();
