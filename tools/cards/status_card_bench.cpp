// What a status card costs: its drawing, its NV12 conversion, and a cached
// request (one copy of the NV12 bytes), at 720p and 1080p.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "common/pixel_format.h"
#include "vcam_source/status_card.h"

namespace {

void sizes(benchmark::internal::Benchmark* b) { b->Args({1280, 720})->Args({1920, 1080}); }

void BM_RenderStatusCard(benchmark::State& state) {
  const auto w = static_cast<uint32_t>(state.range(0)), h = static_cast<uint32_t>(state.range(1));
  std::vector<uint8_t> bgra;
  for (auto _ : state) {
    renderStatusCard(bgra, w, h, tesmira::StatusCard::NeedsCameraAccess);
    benchmark::DoNotOptimize(bgra.data());
  }
}
BENCHMARK(BM_RenderStatusCard)->Apply(sizes)->Unit(benchmark::kMillisecond);

void BM_StatusCardToNv12(benchmark::State& state) {
  const auto w = static_cast<uint32_t>(state.range(0)), h = static_cast<uint32_t>(state.range(1));
  std::vector<uint8_t> bgra;
  renderStatusCard(bgra, w, h, tesmira::StatusCard::NeedsCameraAccess);
  std::vector<uint8_t> nv12(tesmira::nv12Bytes(w, h));
  for (auto _ : state) {
    tesmira::statusCardToNv12(bgra.data(), w, h, nv12.data());
    benchmark::DoNotOptimize(nv12.data());
  }
}
BENCHMARK(BM_StatusCardToNv12)->Apply(sizes)->Unit(benchmark::kMillisecond);

// A request for an unchanged card: the cache lookup and the copy into the sample.
void BM_CachedStatusCardRequest(benchmark::State& state) {
  const auto w = static_cast<uint32_t>(state.range(0)), h = static_cast<uint32_t>(state.range(1));
  tesmira::StatusCardCache cache;
  std::vector<uint8_t> sample(tesmira::nv12Bytes(w, h));
  cache.nv12(tesmira::StatusCard::Starting, w, h);
  for (auto _ : state) {
    const std::vector<uint8_t>& card = cache.nv12(tesmira::StatusCard::Starting, w, h);
    std::memcpy(sample.data(), card.data(), card.size());
    benchmark::DoNotOptimize(sample.data());
  }
}
BENCHMARK(BM_CachedStatusCardRequest)->Apply(sizes)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
