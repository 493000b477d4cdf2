// What the frame path pays for its kernel objects: the wake of a waiter in
// another process after SetEvent, and mapping the 6,220,880-byte frame channel.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "tesmira/platform_testing.h"

extern char** environ;

namespace {

constexpr DWORD kFrameChannelBytes = 6220880;
const wchar_t* kPing = L"Local\\BenchPing";
const wchar_t* kPong = L"Local\\BenchPong";

// The other process: answers every ping with a pong until told to stop.
int pongMain() {
  HANDLE ping = OpenEventW(SYNCHRONIZE, FALSE, kPing);
  HANDLE pong = OpenEventW(EVENT_MODIFY_STATE, FALSE, kPong);
  if (!ping || !pong) return 1;
  SetEvent(pong);
  for (;;) {
    if (WaitForSingleObject(ping, 10000) != WAIT_OBJECT_0) return 0;
    SetEvent(pong);
  }
}

// One iteration is a round trip: SetEvent here wakes the other process, whose
// SetEvent wakes us. Half of it is one SetEvent-to-wake.
void BM_SetEventWakesAnotherProcess(benchmark::State& state) {
  HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, kPing);
  HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, kPong);
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  char* argv[] = {self.data(), const_cast<char*>("--pong"), nullptr};
  pid_t child = -1;
  if (posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, environ) != 0 ||
      WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) {
    state.SkipWithError("no pong process");
    return;
  }
  for (auto _ : state) {
    SetEvent(ping);
    WaitForSingleObject(pong, INFINITE);
  }
  // Seconds per SetEvent-to-wake (two per round trip).
  state.counters["per_wake"] = benchmark::Counter(double(state.iterations()) * 2.0,
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  CloseHandle(ping);
  CloseHandle(pong);
}
BENCHMARK(BM_SetEventWakesAnotherProcess)->UseRealTime();

// The reader's path: open the existing channel, map a read view, unmap, close.
void BM_OpenAndMapFrameChannel(benchmark::State& state) {
  HANDLE held = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kFrameChannelBytes,
                                   L"Local\\TesmiraRetouchFrame.v3");
  for (auto _ : state) {
    HANDLE h = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\TesmiraRetouchFrame.v3");
    void* view = MapViewOfFile(h, FILE_MAP_READ, 0, 0, kFrameChannelBytes);
    benchmark::DoNotOptimize(view);
    UnmapViewOfFile(view);
    CloseHandle(h);
  }
  CloseHandle(held);
}
BENCHMARK(BM_OpenAndMapFrameChannel);

// The writer's path when nobody holds the channel: create it, map it, touch
// every page once (the first frame's cost), release it.
void BM_CreateMapAndTouchFrameChannel(benchmark::State& state) {
  for (auto _ : state) {
    HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kFrameChannelBytes,
                                  L"Local\\TesmiraRetouchFrame.v3");
    auto* view = static_cast<volatile char*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, kFrameChannelBytes));
    for (DWORD i = 0; i < kFrameChannelBytes; i += 4096) view[i] = 1;
    UnmapViewOfFile(const_cast<char*>(view));
    CloseHandle(h);
  }
}
BENCHMARK(BM_CreateMapAndTouchFrameChannel);

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--pong") == 0) return pongMain();
  char pattern[] = "/tmp/tesmira-bench-XXXXXX";
  const char* root = mkdtemp(pattern);
  if (!root) return 1;
  tesmira::platform::setMachineRoot(root);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
