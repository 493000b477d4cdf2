// What telemetry costs the producer's main thread, against the 33 ms frame period of
// 30 fps: recordCameraState once a state holds, and enqueueEvent (a full read, parse and
// rewrite of the queue file) with the queue empty and with 199 events waiting.
#include <windows.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "producer/telemetry/event_queue.h"
#include "producer/telemetry/telemetry_client.h"
#include "producer/telemetry/telemetry_endpoint.h"
#include "tesmira/platform_testing.h"

namespace {

namespace fs = std::filesystem;
namespace telemetry = tesmira::telemetry;
constexpr double kFramePeriodMs = 1000.0 / 30.0;

// A scratch machine with its own APPDATA; the default endpoint without a token never uploads.
struct Scratch {
  Scratch() {
    root = fs::temp_directory_path() / ("tesmira-telemetry-bench-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(root);
    tesmira::platform::setMachineRoot(root.string());
    SetEnvironmentVariableW(L"APPDATA", (root / "AppData").wstring().c_str());
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  fs::path root;
};

tesmira::CameraStateSnapshot snapshot() {
  tesmira::CameraStateSnapshot s;
  s.width = 1280;
  s.height = 720;
  s.fps = 30.0;
  return s;
}

// The timed calls' mean as a percentage of one frame period.
void framePeriodShare(benchmark::State& state, std::chrono::steady_clock::duration timed) {
  const double meanMs = std::chrono::duration<double, std::milli>(timed).count() / double(state.iterations());
  state.counters["pct_of_33ms_frame"] = 100.0 * meanMs / kFramePeriodMs;
}

template <typename Call>
std::chrono::steady_clock::duration timedCall(Call call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::steady_clock::now() - start;
}

void BM_RecordCameraStateSteady(benchmark::State& state) {
  Scratch scratch;
  telemetry::TelemetryClient client("");
  client.setSurfaceActive(tesmira::TelemetrySurface::kVcam, true);
  client.setConsumerKey("zoom.exe");
  const auto s = snapshot();
  for (int i = 0; i < 20; ++i) client.recordCameraState(s, tesmira::CameraStateReason::kRetouched);  // confirmed
  std::chrono::steady_clock::duration timed{};
  for (auto _ : state) timed += timedCall([&] { client.recordCameraState(s, tesmira::CameraStateReason::kRetouched); });
  framePeriodShare(state, timed);
}
BENCHMARK(BM_RecordCameraStateSteady)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_EnqueueEvent(benchmark::State& state) {
  Scratch scratch;
  telemetry::TelemetryClient client("");
  client.setSurfaceActive(tesmira::TelemetrySurface::kVcam, true);
  // A real event: 42 members.
  const auto s = snapshot();
  for (int i = 0; i < 15; ++i) client.recordCameraState(s, tesmira::CameraStateReason::kRetouched);
  std::vector<nlohmann::json> queued;
  {
    std::lock_guard lock(telemetry::telemetryMutex());
    queued = telemetry::loadEventQueue();
  }
  const nlohmann::json event = queued.at(0);
  const std::vector<nlohmann::json> waiting(size_t(state.range(0)), event);
  std::chrono::steady_clock::duration timed{};
  for (auto _ : state) {
    state.PauseTiming();
    telemetry::writeJsonArrayAtomic(telemetry::queueFilePath(), waiting);
    state.ResumeTiming();
    timed += timedCall([&] { client.enqueueEvent(event); });
  }
  framePeriodShare(state, timed);
}
BENCHMARK(BM_EnqueueEvent)->Arg(0)->Arg(199)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
