#include "vcam_source/channels.h"

#include <mfapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "common/pixel_format.h"
#include "vcam_source/channel_mapping.h"

namespace tesmira::vcam {
namespace {

constexpr uint32_t kMaxDataSize = kFrameSlotBytes;
constexpr int64_t kMaxFrameAgeMs = 500;

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
  if (load32(&header->magic) != kFrameMagic || load32(&header->version) != kFrameVersion) return false;
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
  if (view_) UnmapViewOfFile(view_);
  if (mapping_) CloseHandle(mapping_);
}

bool FrameChannelReader::map() {
  if (!view_) {
    void* view = nullptr;
    if (!mapFirst(kFrameChannelName, FILE_MAP_READ, kFrameChannelBytes, mapping_, view, [](void*) { return true; }))
      return false;
    view_ = static_cast<const uint8_t*>(view);
  }
  if (!event_) openFrameReadyEvent();
  return true;
}

void FrameChannelReader::openFrameReadyEvent() {
  if (event_) return;
  for (const wchar_t* prefix : {kGlobalPrefix, kLocalPrefix}) {
    event_ = OpenEventW(SYNCHRONIZE, FALSE, (std::wstring(prefix) + kFrameReadyEventName).c_str());
    if (event_) return;
  }
}

bool FrameChannelReader::readFrame(uint32_t w, uint32_t h, std::vector<uint8_t>& out) {
  if (w == 0 || h == 0 || (w & 1) || (h & 1) || !map()) return false;
  LARGE_INTEGER counter{}, frequency{};
  int64_t now = 0, freq = 0;
  if (QueryPerformanceCounter(&counter) && QueryPerformanceFrequency(&frequency)) {
    now = counter.QuadPart;
    freq = frequency.QuadPart;
  }
  return readFrameFromView(view_, w, h, now, freq, out);
}

VcamControlWriter::~VcamControlWriter() {
  if (VcamControlBlock* view = view_.load()) UnmapViewOfFile(view);
  if (mapping_) CloseHandle(mapping_);
}

VcamControlBlock* VcamControlWriter::map() {
  if (VcamControlBlock* view = view_.load(std::memory_order_acquire)) return view;
  std::lock_guard lock(mapMutex_);
  if (VcamControlBlock* view = view_.load(std::memory_order_acquire)) return view;
  void* view = nullptr;
  auto valid = [](void* v) {
    auto* block = static_cast<const VcamControlBlock*>(v);
    return load32(&block->magic) == kVcamControlMagic && load32(&block->version) == kVcamControlVersion;
  };
  if (!mapFirst(kVcamControlChannelName, FILE_MAP_READ | FILE_MAP_WRITE, sizeof(VcamControlBlock), mapping_, view, valid))
    return nullptr;
  view_.store(static_cast<VcamControlBlock*>(view), std::memory_order_release);
  return static_cast<VcamControlBlock*>(view);
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
  if (load32(&block->magic) != kVcamCapabilitiesMagic || load32(&block->version) != kVcamCapabilitiesVersion)
    return entries;
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
    if (std::max(c.width, c.height) > 1280 || std::min(c.width, c.height) > 720) continue;
    if (c.fpsNumerator == 0 || c.fpsDenominator == 0) continue;
    if (uint64_t(c.fpsNumerator) > uint64_t(c.fpsDenominator) * 30) continue;
    modes.push_back(c);
  }
  if (modes.empty()) modes.push_back({1280, 720, 30, 1});
  std::stable_sort(modes.begin(), modes.end(), [](const CameraCapability& a, const CameraCapability& b) {
    bool a720 = a.width == 1280 && a.height == 720;
    bool b720 = b.width == 1280 && b.height == 720;
    return a720 && !b720;
  });
  return modes;
}

std::vector<CameraCapability> readCameraCapabilities() {
  // Copied out at once: a list that is empty or torn is taken from the next name.
  std::vector<CameraCapability> published;
  HANDLE mapping = nullptr;
  void* view = nullptr;
  auto copied = [&](void* v) {
    published = capabilitiesFromView(static_cast<const uint8_t*>(v));
    return !published.empty();
  };
  if (mapFirst(kVcamCapabilitiesChannelName, FILE_MAP_READ, sizeof(VcamCapabilitiesBlock), mapping, view, copied)) {
    UnmapViewOfFile(view);
    CloseHandle(mapping);
  }
  return cleanCameraCapabilities(published);
}

}  // namespace tesmira::vcam
