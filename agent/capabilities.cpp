#include "agent/capabilities.h"

#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "common/vcam_registration.h"

namespace tesmira::agent {
namespace {

using Rate = NativeVideoType::Rate;
using Microsoft::WRL::ComPtr;

// Products in 64 bits: a numerator near 2^32 times 30 must not wrap.
bool above30(const Rate& rate) { return uint64_t(rate.numerator) > uint64_t(kMaxServedRate) * rate.denominator; }
bool faster(const Rate& a, const Rate& b) {
  return uint64_t(a.numerator) * b.denominator > uint64_t(b.numerator) * a.denominator;
}
bool nonZero(const std::optional<Rate>& rate) { return rate && rate->numerator != 0 && rate->denominator != 0; }
Rate rateOf(const CameraCapability& c) { return {c.fpsNumerator, c.fpsDenominator}; }

// The rate a native type is served at, or nothing when the type is skipped.
std::optional<Rate> chooseRate(const NativeVideoType& type) {
  std::optional<Rate> chosen;
  if (!nonZero(type.rangeMin) || !nonZero(type.rangeMax)) {
    if (!nonZero(type.rate)) return std::nullopt;
    chosen = type.rate;
  } else if (above30(*type.rangeMin)) {
    return std::nullopt;
  } else if (nonZero(type.rate) && !above30(*type.rate)) {
    chosen = type.rate;
  } else if (!above30(*type.rangeMax)) {
    chosen = type.rangeMax;
  } else {
    chosen = Rate{kMaxServedRate, 1};
  }
  if (above30(*chosen)) return std::nullopt;
  return chosen;
}

// The reduced oversize modes of one orientation come in as this size.
void foldCandidate(std::vector<CameraCapability>& list, const std::optional<CameraCapability>& candidate,
                   uint32_t width, uint32_t height) {
  if (!candidate) return;
  const bool covered = std::any_of(list.begin(), list.end(), [&](const CameraCapability& c) {
    return c.width == width && c.height == height && !faster(rateOf(*candidate), rateOf(c));
  });
  if (!covered) list.push_back({width, height, candidate->fpsNumerator, candidate->fpsDenominator});
}

std::optional<Rate> readRatio(IMFMediaType* type, REFGUID key) {
  UINT32 numerator = 0, denominator = 0;
  if (FAILED(MFGetAttributeRatio(type, key, &numerator, &denominator))) return std::nullopt;
  return Rate{numerator, denominator};
}

NativeVideoType describe(IMFMediaType* type) {
  NativeVideoType native;
  native.rate = readRatio(type, MF_MT_FRAME_RATE);
  native.rangeMin = readRatio(type, MF_MT_FRAME_RATE_RANGE_MIN);
  native.rangeMax = readRatio(type, MF_MT_FRAME_RATE_RANGE_MAX);
  UINT32 width = 0, height = 0;
  if (SUCCEEDED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height))) native.size = {width, height};
  return native;
}

}  // namespace

std::vector<CameraCapability> reduceCapabilities(const std::vector<NativeVideoType>& types) {
  std::vector<CameraCapability> list;
  std::optional<CameraCapability> landscape, portrait;
  for (const NativeVideoType& type : types) {
    const std::optional<Rate> rate = chooseRate(type);
    if (!rate || !type.size) continue;
    const auto [width, height] = *type.size;
    // 0 is even, but a 0x0 mode serves no application.
    if (width == 0 || height == 0 || width % 2 != 0 || height % 2 != 0) continue;
    const CameraCapability capability{width, height, rate->numerator, rate->denominator};
    if (std::max(width, height) > kMaxServedLongSide || std::min(width, height) > kMaxServedShortSide) {
      std::optional<CameraCapability>& candidate = height > width ? portrait : landscape;
      if (!candidate || faster(*rate, rateOf(*candidate))) candidate = capability;
      continue;
    }
    const bool known = std::any_of(list.begin(), list.end(), [&](const CameraCapability& c) {
      return c.width == width && c.height == height && c.fpsNumerator == rate->numerator &&
             c.fpsDenominator == rate->denominator;
    });
    if (!known) list.push_back(capability);
  }
  foldCandidate(list, landscape, kMaxServedLongSide, kMaxServedShortSide);
  foldCandidate(list, portrait, kMaxServedShortSide, kMaxServedLongSide);
  std::stable_sort(list.begin(), list.end(), [](const CameraCapability& a, const CameraCapability& b) {
    const uint64_t areaA = uint64_t(a.width) * a.height, areaB = uint64_t(b.width) * b.height;
    if (areaA != areaB) return areaA > areaB;
    return faster(rateOf(a), rateOf(b));
  });
  if (list.size() > kMaxCameraCapabilities) list.resize(kMaxCameraCapabilities);
  return list;
}

std::vector<CameraCapability> enumerateCameraCapabilities(int32_t cameraIndex) {
  ComPtr<IMFMediaSource> source;
  {
    std::vector<ComPtr<IMFActivate>> devices;
    if (FAILED(enumerateVideoCaptureDevices(devices))) return {};
    if (cameraIndex < 0 || size_t(cameraIndex) >= devices.size()) return {};
    if (FAILED(devices[size_t(cameraIndex)]->ActivateObject(IID_PPV_ARGS(&source)))) return {};
  }
  ComPtr<IMFSourceReader> reader;
  if (FAILED(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, &reader))) {
    source->Shutdown();
    return {};
  }
  std::vector<NativeVideoType> types;
  uint32_t failuresInARow = 0;
  for (DWORD index = 0; failuresInARow < kMaxConsecutiveTypeFailures; ++index) {
    ComPtr<IMFMediaType> type;
    const HRESULT hr = reader->GetNativeMediaType(DWORD(MF_SOURCE_READER_FIRST_VIDEO_STREAM), index, &type);
    if (hr == kNoMoreTypes) break;
    if (FAILED(hr) || !type) {
      ++failuresInARow;
      continue;
    }
    failuresInARow = 0;
    types.push_back(describe(type.Get()));
  }
  return reduceCapabilities(types);
}

void publishCapabilities(CapabilityPublication& state, int32_t cameraIndex, LogSink& log,
                         const CapabilityEnumerator& enumerate) {
  if (state.published && state.publishedIndex == cameraIndex) return;
  if (!state.channel.view) {
    state.channel =
        openExistingChannel(kVcamCapabilitiesChannelName, FILE_MAP_READ | FILE_MAP_WRITE, sizeof(VcamCapabilitiesBlock));
    if (!state.channel.view) return;
  }
  std::vector<CameraCapability> list = enumerate(cameraIndex);
  if (list.empty()) {
    list.push_back(kDefaultCaptureMode);
    log.line(L"camera capability enumeration failed/empty; using 1280x720@30 fallback");
  }
  if (list.size() > kMaxCameraCapabilities) list.resize(kMaxCameraCapabilities);

  auto* block = state.channel.as<VcamCapabilitiesBlock>();
  std::atomic_ref<uint32_t> sequence(block->sequence);
  const uint32_t previous = sequence.load(std::memory_order_relaxed);
  block->magic = kVcamCapabilitiesMagic;
  block->version = kVcamCapabilitiesVersion;
  block->cameraIndex = uint32_t(std::max(cameraIndex, 0));
  block->count = uint32_t(list.size());
  std::memset(block->entries, 0, sizeof(block->entries));
  std::memcpy(block->entries, list.data(), list.size() * sizeof(CameraCapability));
  std::atomic_thread_fence(std::memory_order_seq_cst);
  sequence.exchange(previous + 1);

  state.publishedIndex = cameraIndex;
  state.published = true;
  log.line(L"published " + std::to_wstring(list.size()) + L" native camera capability tuple(s)");
}

}  // namespace tesmira::agent
