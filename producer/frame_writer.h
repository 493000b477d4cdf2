#pragma once
// The producer's side of the frame channel: the double-buffered publication protocol.
#include <windows.h>

#include <opencv2/core.hpp>

#include <cstdint>

#include "common/channel.h"
#include "common/channels.h"
#include "common/pixel_format.h"
#include "producer/frame_convert.h"

namespace tesmira {

// True when width x height fits a slot (even, 2..1920 each, at most 1920x1080 pixels).
bool frameSizeFits(int64_t width, int64_t height);

class SharedFrameWriter {
 public:
  SharedFrameWriter() = default;
  ~SharedFrameWriter() { close(); }
  SharedFrameWriter(const SharedFrameWriter&) = delete;
  SharedFrameWriter& operator=(const SharedFrameWriter&) = delete;

  // Opens or creates the channel and the ready event; never throws. Usable when it
  // holds a view; otherwise lastError() says why.
  void open();
  // Uses a caller-owned block of kFrameChannelBytes (and an optional event) as the channel.
  void openOn(void* view, HANDLE readyEvent = nullptr);
  void close();

  bool publishNv12(const uint8_t* data, int width, int height);
  bool publishBgr(const cv::Mat& frame);

  bool usable() const { return view_ != nullptr; }
  DWORD lastError() const { return lastError_; }

 private:
  void resetHeader();
  // Writes descriptor s and its time, then fills the data through `fill`, then publishes.
  template <typename Fill>
  void publishSlot(uint32_t width, uint32_t height, Fill fill);
  RetouchFrameHeader* header() const { return static_cast<RetouchFrameHeader*>(view_); }

  MappedChannel channel_;  // held when open() made the view, empty for openOn()
  void* view_ = nullptr;
  HANDLE readyEvent_ = nullptr;
  uint32_t nextSlot_ = 0;
  DWORD lastError_ = 0;
  bool ownsObjects_ = false;
};

}  // namespace tesmira
