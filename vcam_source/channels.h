#pragma once
// The stream's two shared-memory clients: the frame channel reader and the
// control channel writer, and the capabilities channel read at start-up.
#include <windows.h>
#include <mfobjects.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "common/channel.h"
#include "common/channels.h"

namespace tesmira::vcam {

// Copies the newest frame of exactly w x h out of a mapped frame channel view
// (kFrameChannelBytes long) into packed NV12. False, with `out` untouched, for
// any header that is invalid, stale, of another size, or that would make the
// copy leave its slot. `nowQpc`/`qpcFrequency` of 0 skip the age test.
bool readFrameFromView(const uint8_t* view, uint32_t w, uint32_t h, int64_t nowQpc, int64_t qpcFrequency,
                       std::vector<uint8_t>& out);

// The stores of one media-source write into a mapped control block.
void stampControlBlock(VcamControlBlock* block, bool start, IMFMediaType* type, uint64_t now);

class FrameChannelReader {
 public:
  FrameChannelReader() = default;
  ~FrameChannelReader();
  FrameChannelReader(const FrameChannelReader&) = delete;
  FrameChannelReader& operator=(const FrameChannelReader&) = delete;

  bool map();
  void openFrameReadyEvent();
  bool readFrame(uint32_t w, uint32_t h, std::vector<uint8_t>& out);
  HANDLE frameReadyEvent() const { return event_; }

 private:
  MappedChannel channel_;
  HANDLE event_ = nullptr;
};

class VcamControlWriter {
 public:
  VcamControlWriter() = default;
  ~VcamControlWriter() = default;
  VcamControlWriter(const VcamControlWriter&) = delete;
  VcamControlWriter& operator=(const VcamControlWriter&) = delete;

  void stamp(bool start, IMFMediaType* type);

 private:
  VcamControlBlock* map();

  // Two overlapping requests may both find no view: the first maps, the other waits.
  std::mutex mapMutex_;
  MappedChannel channel_;
  std::atomic<VcamControlBlock*> view_{nullptr};
};

// The published capture modes, cleaned: even sizes within the default mode's 1280 x 720
// (either orientation) at most 30 frames per second, 1280 x 720 first; the default
// mode alone when nothing is left.
std::vector<CameraCapability> cleanCameraCapabilities(const std::vector<CameraCapability>& published);
// The entries of a mapped capabilities view (2068 bytes); empty when the block
// is invalid, holds more than 128 entries or changed during the copy.
std::vector<CameraCapability> capabilitiesFromView(const uint8_t* view);
std::vector<CameraCapability> readCameraCapabilities();

}  // namespace tesmira::vcam
