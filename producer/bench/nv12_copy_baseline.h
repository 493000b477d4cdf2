#pragma once
// The floor the producer's frame costs are read against: one plain copy of an
// NV12 frame of range(0) x range(1) pixels.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace tesmira::bench {

inline void BM_Nv12Memcpy(benchmark::State& state) {
  const size_t bytes = size_t(state.range(0)) * size_t(state.range(1)) * 3 / 2;
  std::vector<uint8_t> from(bytes, 1), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

}  // namespace tesmira::bench
