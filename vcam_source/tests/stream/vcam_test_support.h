#pragma once
// Channels and a started source for the stream's tests.
#include <gtest/gtest.h>
#include <windows.h>
#include <mfapi.h>
#include <ksmedia.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/channels.h"
#include "tests/support/machine_fixture.h"
#include "tesmira/platform_testing.h"
#include "vcam_source/media_source.h"
#include "vcam_source/tests/stream/source_calls.h"

namespace tesmira::vcam::testing {

// A named page-file mapping of `bytes`, mapped read/write, owned by the test.
struct TestMapping {
  HANDLE handle = nullptr;
  uint8_t* view = nullptr;
  TestMapping() = default;
  TestMapping(const std::wstring& name, size_t bytes) {
    handle = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, DWORD(bytes), name.c_str());
    EXPECT_NE(handle, nullptr);
    view = static_cast<uint8_t*>(MapViewOfFile(handle, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes));
    EXPECT_NE(view, nullptr);
  }
  TestMapping(const TestMapping&) = delete;
  TestMapping& operator=(const TestMapping&) = delete;
  ~TestMapping() {
    if (view) UnmapViewOfFile(view);
    if (handle) CloseHandle(handle);
  }
};

inline std::wstring localName(const wchar_t* name) { return std::wstring(kLocalPrefix) + name; }

inline int64_t qpcNow() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

class FrameChannel {
 public:
  FrameChannel() : mapping_(localName(kFrameChannelName), kFrameChannelBytes) {
    header()->magic = kFrameMagic;
    header()->version = kFrameVersion;
    header()->latestSlot = kNoSlot;
  }
  RetouchFrameHeader* header() { return reinterpret_cast<RetouchFrameHeader*>(mapping_.view); }
  // Writes `frame` (packed NV12 of w x h) into the next slot with the given stride.
  void publish(const std::vector<uint8_t>& frame, uint32_t w, uint32_t h, uint32_t stride = 0, int64_t qpc = 0) {
    stride = stride ? stride : w;
    uint32_t slot = header()->latestSlot == 0 ? 1 : 0;
    uint8_t* data = mapping_.view + frameSlotDataOffset(slot);
    for (uint32_t r = 0; r < h + h / 2; ++r) std::memcpy(data + size_t(r) * stride, frame.data() + size_t(r) * w, w);
    header()->slots[slot] = {w, h, stride, kFrameFormatNv12, stride * (h + h / 2), 0, uint64_t(qpc ? qpc : qpcNow())};
    header()->latestSlot = slot;
    header()->frameCounter++;
  }

 private:
  TestMapping mapping_;
};

class ControlChannel {
 public:
  explicit ControlChannel(const wchar_t* prefix = kLocalPrefix, uint32_t version = kVcamControlVersion)
      : mapping_(std::wstring(prefix) + kVcamControlChannelName, sizeof(VcamControlBlock)) {
    block()->magic = kVcamControlMagic;
    block()->version = version;
    block()->fallbackWidth = 1280;
    block()->fallbackHeight = 720;
    block()->fallbackNumerator = 30;
    block()->fallbackDenominator = 1;
  }
  VcamControlBlock* block() { return reinterpret_cast<VcamControlBlock*>(mapping_.view); }

 private:
  TestMapping mapping_;
};

class CapabilitiesChannel {
 public:
  explicit CapabilitiesChannel(const std::vector<CameraCapability>& modes, const wchar_t* prefix = kLocalPrefix)
      : mapping_(std::wstring(prefix) + kVcamCapabilitiesChannelName, sizeof(VcamCapabilitiesBlock)) {
    auto* block = reinterpret_cast<VcamCapabilitiesBlock*>(mapping_.view);
    block->magic = kVcamCapabilitiesMagic;
    block->version = kVcamCapabilitiesVersion;
    block->count = uint32_t(modes.size());
    if (!modes.empty())
      std::memcpy(block->entries, modes.data(), std::min<size_t>(modes.size(), kMaxCameraCapabilities) * sizeof(CameraCapability));
    block->sequence = 4;
  }
  VcamCapabilitiesBlock* block() { return reinterpret_cast<VcamCapabilitiesBlock*>(mapping_.view); }

 private:
  TestMapping mapping_;
};

inline ComPtr<IMFActivate> makeActivate() {
  ComPtr<IMFActivate> activate;
  EXPECT_EQ(createMediaSourceActivate(IID_PPV_ARGS(&activate)), S_OK);
  return activate;
}

inline ComPtr<IMFMediaSourceEx> makeSource() {
  ComPtr<IMFMediaSourceEx> source;
  EXPECT_EQ(makeActivate()->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
  return source;
}

// The presentation descriptor with the type at `index` current on stream 0.
inline ComPtr<IMFPresentationDescriptor> descriptorWithType(IMFMediaSource* source, DWORD index) {
  ComPtr<IMFPresentationDescriptor> pd;
  EXPECT_EQ(selectOfferedType(source, index, &pd), S_OK);
  return pd;
}

// Starts the source with offered type `index` and hands out its stream.
inline ComPtr<IMFMediaStream2> startSource(IMFMediaSource* source, DWORD index = 0) {
  ComPtr<IMFMediaStream2> stream;
  EXPECT_EQ(startWithType(source, index, &stream), S_OK);
  if (!stream) ADD_FAILURE() << "no stream event";
  return stream;
}

// The next sample queued on the stream (events before it are skipped).
inline ComPtr<IMFSample> nextSample(IMFMediaStream* stream) { return firstEventObject<IMFSample>(stream, {MEMediaSample}); }

inline std::vector<uint8_t> sampleBytes(IMFSample* sample) {
  ComPtr<IMFMediaBuffer> buffer;
  if (!sample || FAILED(sample->GetBufferByIndex(0, &buffer))) return {};
  BYTE* data = nullptr;
  DWORD current = 0;
  buffer->Lock(&data, nullptr, &current);
  std::vector<uint8_t> bytes(data, data + current);
  buffer->Unlock();
  return bytes;
}

inline std::string serviceLog() {
  return tesmira::testing::readFile(std::filesystem::path(platform::machineRoot()) /
                                    "ProgramData/Tesmira/Logs/vcam-service.log");
}

}  // namespace tesmira::vcam::testing
