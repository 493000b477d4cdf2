#pragma once
// Status cards: what the virtual camera shows when no fresh frame exists.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/channel.h"
#include "common/channels.h"

namespace tesmira {

enum class StatusCard : uint32_t {
  Starting = 0,
  Reconnecting = 1,
  NeedsAttention = 2,
  NoCamera = 3,
  NeedsCameraAccess = 4,
  CameraInUse = 5,
};

// How long a card may wait for the producer, or for frames to come back,
// before it asks the user to look.
inline constexpr uint64_t kStatusCardPatienceMs = 30000;
// A status block older than this no longer speaks for a running producer.
inline constexpr uint64_t kStatusHeartbeatMaxAgeMs = 3000;

// The card choice from the producer status channel and the stream's timers.
// The stream owns one, sets the timers as it starts and serves frames, and asks
// for a card under its frame mutex.
class StatusCardSelector {
 public:
  StatusCardSelector() = default;
  StatusCardSelector(const StatusCardSelector&) = delete;
  StatusCardSelector& operator=(const StatusCardSelector&) = delete;

  // Maps the status channel on first use (and keeps it), then chooses.
  StatusCard choose(uint64_t nowTick);
  // The same choice from a given status block (null: none).
  StatusCard chooseFrom(const ProducerStatusBlock* block, uint64_t nowTick);
  void onStreamStart(uint64_t tick);      // sets the wait-start tick, clears has-had-frame
  void onGoodFrame(uint64_t tick);        // sets has-had-frame and the last-good tick

 private:
  void mapStatusChannel();

  std::atomic<uint64_t> waitStartTick_{0};
  std::atomic<bool> hasHadFrame_{false};
  std::atomic<uint64_t> lastGoodTick_{0};
  MappedChannel statusChannel_;
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
};

// The two lines of a card; any value outside the table reads as NeedsAttention.
struct StatusCardTexts {
  const wchar_t* title;
  const wchar_t* subtitle;
};
StatusCardTexts statusCardTexts(StatusCard card);

// Where a line of the card goes: font pixel height, centre row and box height.
struct StatusCardLine {
  int fontHeight;
  int centerY;
  int boxHeight;
};
struct StatusCardLayout {
  StatusCardLine title;
  StatusCardLine subtitle;
};
StatusCardLayout statusCardLayout(uint32_t height);

inline constexpr COLORREF kStatusCardBackground = RGB(0x12, 0x0F, 0x14);
inline constexpr COLORREF kStatusCardTitleColor = RGB(255, 255, 255);
inline constexpr COLORREF kStatusCardSubtitleColor = RGB(0xC7, 0xC7, 0xCC);

// Draws one card as BGRA (mirrored left to right, alpha 255); without GDI the
// plain background, logged. Sizes whose byte count overflows throw std::length_error
// (as does the cache) before anything is written.
void renderStatusCard(std::vector<uint8_t>& bgra, uint32_t width, uint32_t height, StatusCard card);
// NV12 of width x height x 3 / 2 bytes; chroma that would fall past that size
// (odd widths or heights) is not written.
void statusCardToNv12(const uint8_t* bgra, uint32_t width, uint32_t height, uint8_t* nv12);

HFONT createStatusCardFont(int pixelHeight, int weight);
void drawStatusCardLine(HDC dc, const wchar_t* text, HFONT font, COLORREF color, int width, int centerY,
                        int boxHeight);

}  // namespace tesmira
