#pragma once
// Status cards: what the virtual camera shows when no fresh frame exists.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace tesmira {

enum class StatusCard : uint32_t {
  Starting = 0,
  Reconnecting = 1,
  NoCamera = 2,
  NeedsCameraAccess = 3,
  CameraInUse = 4,
  NeedsAttention = 5,
};

// The card choice from the producer status channel and the stream's timers.
// The stream owns one, sets the timers as it starts and serves frames, and asks
// for a card under its frame mutex.
class StatusCardSelector {
 public:
  StatusCardSelector() = default;
  ~StatusCardSelector();
  StatusCardSelector(const StatusCardSelector&) = delete;
  StatusCardSelector& operator=(const StatusCardSelector&) = delete;

  StatusCard choose(uint64_t nowTick);
  void onStreamStart(uint64_t tick);      // sets the wait-start tick
  void onGoodFrame(uint64_t tick);        // sets has-had-frame and the last-good tick

 private:
  std::atomic<uint64_t> waitStartTick_{0};
  std::atomic<bool> hasHadFrame_{false};
  std::atomic<uint64_t> lastGoodTick_{0};
  HANDLE statusMapping_ = nullptr;
  const void* statusView_ = nullptr;
};

// NV12 of the card at a size, drawn once per change of card or size.
class StatusCardCache {
 public:
  const std::vector<uint8_t>& nv12(StatusCard card, uint32_t width, uint32_t height);

 private:
  bool valid_ = false;
  StatusCard card_ = StatusCard::Starting;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  std::vector<uint8_t> nv12_;
  std::vector<uint8_t> bgra_;
};

void renderStatusCard(std::vector<uint8_t>& bgra, uint32_t width, uint32_t height, StatusCard card);
void statusCardToNv12(const uint8_t* bgra, uint32_t width, uint32_t height, uint8_t* nv12);

}  // namespace tesmira
