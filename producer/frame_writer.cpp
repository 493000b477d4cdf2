#include "producer/frame_writer.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "producer/kernel_objects.h"

namespace tesmira {
namespace {

std::atomic_ref<uint32_t> atomicField(uint32_t& field) { return std::atomic_ref<uint32_t>(field); }

}  // namespace

bool frameSizeFits(int64_t width, int64_t height) {
  return width >= 2 && height >= 2 && width % 2 == 0 && height % 2 == 0 && width <= kMaxFrameDimension &&
         height <= kMaxFrameDimension && width * height <= int64_t(kMaxFramePixels) &&
         nv12Bytes(uint64_t(width), uint64_t(height)) <= kFrameSlotBytes;
}

void SharedFrameWriter::open() {
  close();
  channel_ = openOrCreateChannel(kFrameChannelName, kFrameChannelBytes, &lastError_);
  if (!channel_.view) return;
  view_ = channel_.view;
  ownsObjects_ = true;
  resetHeader();
  readyEvent_ = openOrCreateFrameReadyEvent();
}

void SharedFrameWriter::openOn(void* view, HANDLE readyEvent) {
  close();
  view_ = view;
  readyEvent_ = readyEvent;
  ownsObjects_ = false;
  if (view_) resetHeader();
}

void SharedFrameWriter::resetHeader() {
  seedFrameHeader(*header());
  nextSlot_ = 0;
}

void SharedFrameWriter::close() {
  if (ownsObjects_) {
    closeHandle(readyEvent_);
    channel_.close();
  }
  view_ = nullptr;
  readyEvent_ = nullptr;
  ownsObjects_ = false;
  nextSlot_ = 0;
}

template <typename Fill>
void SharedFrameWriter::publishSlot(uint32_t width, uint32_t height, Fill fill) {
  RetouchFrameHeader* h = header();
  const uint32_t s = nextSlot_;
  RetouchFrameSlot& slot = h->slots[s];
  slot.width = width;
  slot.height = height;
  slot.stride = width;
  slot.format = kFrameFormatNv12;
  slot.dataSize = uint32_t(nv12Bytes(width, height));
  LARGE_INTEGER qpc{};
  QueryPerformanceCounter(&qpc);
  slot.qpcTime = uint64_t(qpc.QuadPart);
  fill(static_cast<uint8_t*>(view_) + frameSlotDataOffset(s));
  // The sequentially consistent exchange is the full fence: the descriptor and the data
  // are visible before a reader can find the slot in latestSlot.
  atomicField(h->latestSlot).exchange(s, std::memory_order_seq_cst);
  atomicField(h->frameCounter).fetch_add(1);
  nextSlot_ = 1 - s;
  signalEvent(readyEvent_);
}

bool SharedFrameWriter::publishNv12(const uint8_t* data, int width, int height) {
  if (!view_ || !data || !frameSizeFits(width, height)) return false;
  const size_t bytes = nv12Bytes(uint64_t(width), uint64_t(height));
  publishSlot(uint32_t(width), uint32_t(height), [&](uint8_t* slotData) { std::memcpy(slotData, data, bytes); });
  return true;
}

bool SharedFrameWriter::publishBgr(const cv::Mat& frame) {
  if (!view_ || frame.empty() || frame.type() != CV_8UC3) return false;
  const int width = frame.cols & ~1;
  const int height = frame.rows & ~1;
  if (!frameSizeFits(width, height)) return false;
  // Converted straight into the slot: the slot is not the published one, so no reader looks at it.
  publishSlot(uint32_t(width), uint32_t(height), [&](uint8_t* slotData) { bgrToNv12Into(frame, width, height, slotData); });
  return true;
}

}  // namespace tesmira
