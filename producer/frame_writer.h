#pragma once
// The producer's side of the frame channel: BGR to NV12, the double-buffered
// publication protocol, and the sequence stamp painted by --stamp-seq.
#include <windows.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

#include "common/channel.h"
#include "common/channels.h"

namespace tesmira {

// BT.601 limited range of the top-left width x height region into packed NV12
// (rows of `width` bytes, luma then interleaved U,V). Sizes must be even, at least 2
// and inside the frame, the frame 8-bit BGR; otherwise false and `out` is emptied.
bool bgrToNv12(const cv::Mat& frame, int width, int height, std::vector<uint8_t>& out);
// The same into a caller's buffer of width * height * 3 / 2 bytes.
bool bgrToNv12Into(const cv::Mat& frame, int width, int height, uint8_t* out);

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

// The --stamp-seq code bands: rows [0, H) carry code1 and [H, 2H) code2 in 16
// bands (bit 0 leftmost), H = max(height / 24, 6), clipped to the frame.
void paintCodeBandsPlane(uint8_t* plane, size_t stride, int width, int height, uint32_t code1, uint32_t code2);
void paintCodeBandsBgr(cv::Mat& frame, uint32_t code1, uint32_t code2);
void stampNv12Frame(uint8_t* luma, int width, int height, uint32_t code1, uint32_t code2);
void stampBgrFrame(cv::Mat& frame, uint32_t code1, uint32_t code2);

// Decodes the 16-bit codes of a stamped luma plane (a band counts as 1 above 127).
struct StampCodes {
  uint16_t code1 = 0;
  uint16_t code2 = 0;
};
StampCodes readCodeBands(const uint8_t* luma, size_t stride, int width, int height);

}  // namespace tesmira
