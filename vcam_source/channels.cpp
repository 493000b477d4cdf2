#include "vcam_source/channels.h"

#include <mfapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "common/pixel_format.h"

namespace tesmira::vcam {
namespace {

constexpr uint32_t kMaxDataSize = kFrameSlotBytes;
constexpr int64_t kMaxFrameAgeMs = 500;
constexpr uint32_t kMaxServedFps = 30;

uint32_t load32(const void* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

bool readFrameFromView(const uint8_t* view, uint32_t w, uint32_t h, int64_t nowQpc, int64_t qpcFrequency,
                       std::vector<uint8_t>& out) {
  if (w == 0 || h == 0 || (w & 1) || (h & 1) || !view) return false;
  const auto* header = reinterpret_cast<const RetouchFrameHeader*>(view);
  if (!hasCurrentHeader(*header)) return false;
  uint32_t slotIndex = load32(&header->latestSlot);
  if (slotIndex > 1) return false;
  std::atomic_thread_fence(std::memory_order_seq_cst);
  // One copy of the descriptor: the producer (or anyone) may change it while we look.
  RetouchFrameSlot slot;
  std::memcpy(&slot, &header->slots[slotIndex], sizeof(slot));
  if (slot.format != kFrameFormatNv12) return false;
  if (slot.width == 0 || slot.height == 0 || (slot.width & 1) || (slot.height & 1)) return false;
  if (slot.width > kMaxFrameDimension || slot.height > kMaxFrameDimension) return false;
  if (slot.stride < slot.width || slot.stride > kMaxFrameDimension) return false;
  if (slot.dataSize > kMaxDataSize) return false;
  if (slot.width != w || slot.height != h) return false;
  if (slot.qpcTime == 0) return false;
  if (qpcFrequency > 0 && nowQpc > int64_t(slot.qpcTime)) {
    uint64_t ageMs = (uint64_t(nowQpc) - slot.qpcTime) * 1000 / uint64_t(qpcFrequency);
    if (ageMs > uint64_t(kMaxFrameAgeMs)) return false;
  }
  const uint64_t rows = uint64_t(h) + h / 2;
  if (uint64_t(slot.dataSize) < uint64_t(slot.stride) * rows) return false;

  const uint8_t* data = view + frameSlotDataOffset(slotIndex);
  const size_t packed = nv12Bytes(w, h);
  out.resize(packed);
  if (slot.stride == w) {
    std::memcpy(out.data(), data, packed);
  } else {
    for (uint64_t r = 0; r < rows; ++r) std::memcpy(out.data() + r * w, data + r * slot.stride, w);
  }
  return true;
}

void stampControlBlock(VcamControlBlock* block, bool start, IMFMediaType* type, uint64_t now) {
  UINT32 width = 0, height = 0, numerator = 0, denominator = 0;
  if (type) {
    if (FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height))) width = height = 0;
    if (FAILED(MFGetAttributeRatio(type, MF_MT_FRAME_RATE, &numerator, &denominator))) numerator = denominator = 0;
  }
  // Plain stores (relaxed): requests on several threads, and other processes, write
  // these fields at once; readers go by the time stamps and tolerate torn formats.
  auto store = [](auto& field, auto value) {
    std::atomic_ref(field).store(static_cast<std::remove_reference_t<decltype(field)>>(value), std::memory_order_relaxed);
  };
  store(block->height, height);
  store(block->fpsDenominator, denominator);
  store(block->requestTick, now);
  store(block->width, width);
  store(block->fpsNumerator, numerator);
  store(block->formatTick, now);
  if (start) store(block->streamStartTick, now);
  std::atomic_ref<uint32_t>(block->sequence).fetch_add(1, std::memory_order_seq_cst);
}

FrameChannelReader::~FrameChannelReader() {
  if (event_) CloseHandle(event_);
}

bool FrameChannelReader::map() {
  if (!channel_.view) {
    channel_ = openExistingChannel(kFrameChannelName, FILE_MAP_READ, kFrameChannelBytes);
    if (!channel_.view) return false;
  }
  if (!event_) openFrameReadyEvent();
  return true;
}

void FrameChannelReader::openFrameReadyEvent() {
  if (!event_) event_ = openExistingEvent(kFrameReadyEventName, SYNCHRONIZE);
}

bool FrameChannelReader::readFrame(uint32_t w, uint32_t h, std::vector<uint8_t>& out) {
  if (w == 0 || h == 0 || (w & 1) || (h & 1) || !map()) return false;
  LARGE_INTEGER counter{}, frequency{};
  int64_t now = 0, freq = 0;
  if (QueryPerformanceCounter(&counter) && QueryPerformanceFrequency(&frequency)) {
    now = counter.QuadPart;
    freq = frequency.QuadPart;
  }
  return readFrameFromView(channel_.as<const uint8_t>(), w, h, now, freq, out);
}

VcamControlBlock* VcamControlWriter::map() {
  if (VcamControlBlock* view = view_.load(std::memory_order_acquire)) return view;
  std::lock_guard lock(mapMutex_);
  if (VcamControlBlock* view = view_.load(std::memory_order_acquire)) return view;
  constexpr size_t bytes = sizeof(VcamControlBlock);
  channel_ = openExistingChannel(kVcamControlChannelName, FILE_MAP_READ | FILE_MAP_WRITE, bytes,
                                 [](const void* view) { return hasCurrentHeader<VcamControlBlock>(view, bytes); });
  view_.store(channel_.as<VcamControlBlock>(), std::memory_order_release);
  return channel_.as<VcamControlBlock>();
}

void VcamControlWriter::stamp(bool start, IMFMediaType* type) {
  VcamControlBlock* block = map();
  if (!block) return;
  stampControlBlock(block, start, type, GetTickCount64());
}

std::vector<CameraCapability> capabilitiesFromView(const uint8_t* view) {
  const auto* block = reinterpret_cast<const VcamCapabilitiesBlock*>(view);
  uint32_t sequence = std::atomic_ref<const uint32_t>(block->sequence).load();
  std::atomic_thread_fence(std::memory_order_seq_cst);
  std::vector<CameraCapability> entries;
  if (!hasCurrentHeader(*block)) return entries;
  uint32_t count = load32(&block->count);
  if (count > kMaxCameraCapabilities) return entries;
  entries.resize(count);
  if (count) std::memcpy(entries.data(), block->entries, count * sizeof(CameraCapability));
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (std::atomic_ref<const uint32_t>(block->sequence).load() != sequence) entries.clear();
  return entries;
}

std::vector<CameraCapability> cleanCameraCapabilities(const std::vector<CameraCapability>& published) {
  std::vector<CameraCapability> modes;
  for (const auto& c : published) {
    if (c.width == 0 || c.height == 0 || (c.width & 1) || (c.height & 1)) continue;
    // The largest size served is the default mode's, in either orientation.
    if (std::max(c.width, c.height) > kDefaultCaptureMode.width) continue;
    if (std::min(c.width, c.height) > kDefaultCaptureMode.height) continue;
    if (c.fpsNumerator == 0 || c.fpsDenominator == 0) continue;
    if (uint64_t(c.fpsNumerator) > uint64_t(c.fpsDenominator) * kMaxServedFps) continue;
    modes.push_back(c);
  }
  if (modes.empty()) modes.push_back(kDefaultCaptureMode);
  std::stable_sort(modes.begin(), modes.end(), [](const CameraCapability& a, const CameraCapability& b) {
    auto isDefaultSize = [](const CameraCapability& c) {
      return c.width == kDefaultCaptureMode.width && c.height == kDefaultCaptureMode.height;
    };
    return isDefaultSize(a) && !isDefaultSize(b);
  });
  return modes;
}

std::vector<CameraCapability> readCameraCapabilities() {
  // Copied out at once: a list that is empty or torn is taken from the next name.
  std::vector<CameraCapability> published;
  openExistingChannel(kVcamCapabilitiesChannelName, FILE_MAP_READ, sizeof(VcamCapabilitiesBlock), [&](const void* v) {
    published = capabilitiesFromView(static_cast<const uint8_t*>(v));
    return !published.empty();
  });
  return cleanCameraCapabilities(published);
}

}  // namespace tesmira::vcam
