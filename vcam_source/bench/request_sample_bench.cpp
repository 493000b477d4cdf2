// RequestSample per path (fresh NV12, RGB32 conversion, last good frame, card),
// publish-to-sample latency, and one memcpy of the frame for scale.
//
// The source offers at most 1280x720, so the 1920x1080 rows run the same steps
// the stream runs (reader copy into the last good frame, copy or conversion
// into a new buffer, sample and event) on the stream's own functions.
#include <benchmark/benchmark.h>
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "common/channels.h"
#include "tesmira/platform_testing.h"
#include "tests/support/host_calls.h"
#include "vcam_source/channels.h"
#include "vcam_source/media_source.h"
#include "vcam_source/media_types.h"
#include "vcam_source/status_card.h"
#include "vcam_source/tests/stream/source_calls.h"

namespace {

using Microsoft::WRL::ComPtr;
using namespace tesmira;
using vcam::testing::eventObject;
using vcam::testing::patternNv12;
using vcam::testing::startWithType;

// A machine of its own with a frame channel; the test clock frozen so frames and
// the last good frame never age while a benchmark runs.
struct Machine {
  std::filesystem::path root;
  HANDLE mapping = nullptr;
  uint8_t* view = nullptr;
  HANDLE ready = nullptr;
  Machine() {
    root = testing::makeTemporaryFolder("tesmira-bench-");
    platform::setMachineRoot(root.string());
    mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, DWORD(kFrameChannelBytes),
                                 L"Local\\TesmiraRetouchFrame.v3");
    view = static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kFrameChannelBytes));
    ready = CreateEventW(nullptr, FALSE, FALSE, L"Local\\TesmiraRetouchFrameReady.v3");
    auto* h = header();
    h->magic = kFrameMagic;
    h->version = kFrameVersion;
    h->latestSlot = kNoSlot;
  }
  ~Machine() {
    if (ready) CloseHandle(ready);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  RetouchFrameHeader* header() { return reinterpret_cast<RetouchFrameHeader*>(view); }
  void publish(const std::vector<uint8_t>& frame, uint32_t w, uint32_t h) {
    uint32_t slot = header()->latestSlot == 0 ? 1 : 0;
    std::memcpy(view + frameSlotDataOffset(slot), frame.data(), frame.size());
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    header()->slots[slot] = {w, h, w, kFrameFormatNv12, uint32_t(frame.size()), 0, uint64_t(now.QuadPart)};
    std::atomic_ref<uint32_t>(header()->latestSlot).store(slot, std::memory_order_release);
    if (ready) SetEvent(ready);
  }
};

ComPtr<IMFMediaStream2> startStream(IMFMediaSourceEx* source, DWORD typeIndex) {
  ComPtr<IMFMediaStream2> stream;
  startWithType(source, typeIndex, &stream);
  return stream;
}

// Takes the stream's queued events, so the samples go as an application takes them.
void drain(IMFMediaStream* stream) {
  for (;;) {
    ComPtr<IMFMediaEvent> event;
    if (stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event) != S_OK) return;
  }
}

enum class Path { FreshNv12, FreshRgb32, LastGood, Card };

void BM_RequestSample720p(benchmark::State& state) {
  const Path path = Path(state.range(0));
  Machine machine;
  platform::testclock::freeze();
  auto frame = patternNv12(1280, 720);
  ComPtr<IMFMediaSourceEx> source;
  vcam::createMediaSource(nullptr, IID_PPV_ARGS(&source));
  auto stream = startStream(source.Get(), path == Path::FreshRgb32 ? 1 : 0);
  if (path != Path::Card) machine.publish(frame, 1280, 720);
  SetEvent(machine.ready);
  stream->RequestSample(nullptr);
  drain(stream.Get());
  if (path == Path::LastGood) machine.header()->latestSlot = kNoSlot;
  for (auto _ : state) {
    // As a running producer does once per frame, so the request's wait ends at once.
    SetEvent(machine.ready);
    stream->RequestSample(nullptr);
    drain(stream.Get());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
  source->Shutdown();
  platform::testclock::release();
}
BENCHMARK(BM_RequestSample720p)->ArgName("path")->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

// The stream's steps at 1920x1080, one request per iteration.
void BM_RequestSteps1080p(benchmark::State& state) {
  const Path path = Path(state.range(0));
  constexpr uint32_t w = 1920, h = 1080;
  std::vector<uint8_t> channel(kFrameChannelBytes, 0);
  auto* header = reinterpret_cast<RetouchFrameHeader*>(channel.data());
  header->magic = kFrameMagic;
  header->version = kFrameVersion;
  header->latestSlot = path == Path::FreshNv12 || path == Path::FreshRgb32 ? 0 : kNoSlot;
  header->slots[0] = {w, h, w, kFrameFormatNv12, kFrameSlotBytes, 0, 1};
  auto frame = patternNv12(w, h);
  std::memcpy(channel.data() + frameSlotDataOffset(0), frame.data(), frame.size());
  std::vector<uint8_t> lastGood = frame;
  StatusCardCache cards;
  cards.nv12(StatusCard::Starting, w, h);
  const bool rgb = path == Path::FreshRgb32;
  const DWORD size = rgb ? w * h * 4 : w * h * 3 / 2;
  for (auto _ : state) {
    ComPtr<IMFMediaBuffer> buffer;
    MFCreateMemoryBuffer(size, &buffer);
    BYTE* data;
    buffer->Lock(&data, nullptr, nullptr);
    const uint8_t* source = nullptr;
    if (vcam::readFrameFromView(channel.data(), w, h, 0, 0, lastGood)) source = lastGood.data();
    else if (path == Path::LastGood) source = lastGood.data();
    else source = cards.nv12(StatusCard::Starting, w, h).data();
    if (rgb) tesmira::nv12ToRgb32(source, w, h, data);
    else std::memcpy(data, source, size);
    buffer->Unlock();
    buffer->SetCurrentLength(size);
    ComPtr<IMFSample> sample;
    MFCreateSample(&sample);
    sample->AddBuffer(buffer.Get());
    sample->SetSampleTime(MFGetSystemTime());
    sample->SetSampleDuration(333333);
    benchmark::DoNotOptimize(sample.Get());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
}
BENCHMARK(BM_RequestSteps1080p)->ArgName("path")->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

void BM_Nv12ToRgb32(benchmark::State& state) {
  const uint32_t w = uint32_t(state.range(0)), h = uint32_t(state.range(1));
  auto frame = patternNv12(w, h);
  std::vector<uint8_t> out(size_t(w) * h * 4);
  for (auto _ : state) {
    tesmira::nv12ToRgb32(frame.data(), w, h, out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_Nv12ToRgb32)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

void BM_MemcpyFrame(benchmark::State& state) {
  const size_t bytes = size_t(state.range(0)) * size_t(state.range(1)) * 3 / 2;
  std::vector<uint8_t> from(bytes, 1), to(bytes, 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}
BENCHMARK(BM_MemcpyFrame)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

// From the moment a new frame is written (and the ready event set) to the
// moment the application holds the sample's bytes, on the real clock.
void BM_PublishToSampleLatency(benchmark::State& state) {
  Machine machine;
  auto frame = patternNv12(1280, 720);
  ComPtr<IMFMediaSourceEx> source;
  vcam::createMediaSource(nullptr, IID_PPV_ARGS(&source));
  auto stream = startStream(source.Get(), 0);
  machine.publish(frame, 1280, 720);
  stream->RequestSample(nullptr);
  drain(stream.Get());
  for (auto _ : state) {
    auto begin = std::chrono::steady_clock::now();
    frame[0]++;
    machine.publish(frame, 1280, 720);
    stream->RequestSample(nullptr);
    ComPtr<IMFMediaEvent> event;
    stream->GetEvent(0, &event);
    ComPtr<IMFSample> sample = eventObject<IMFSample>(event.Get());
    ComPtr<IMFMediaBuffer> buffer;
    sample->GetBufferByIndex(0, &buffer);
    BYTE* data;
    buffer->Lock(&data, nullptr, nullptr);
    if (data[0] != frame[0]) state.SkipWithError("sample is not the published frame");
    buffer->Unlock();
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.SetIterationTime(elapsed);
  }
  source->Shutdown();
}
BENCHMARK(BM_PublishToSampleLatency)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
