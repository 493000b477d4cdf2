#include "vcam_source/status_card.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "common/channel.h"
#include "common/pixel_format.h"
#include "vcam_source/source_log.h"

namespace tesmira {
namespace {

constexpr size_t kStatusBlockBytes = sizeof(ProducerStatusBlock);

// Ticks come from several threads and processes: a tick stamped after `now`
// was read is not in the past, so it counts as no age at all.
uint64_t ageMs(uint64_t now, uint64_t since) { return now > since ? now - since : 0; }

// The block is written by the producer without locks; each field is read once.
template <class T>
T readShared(const T& field) {
  return *static_cast<const volatile T*>(&field);
}

bool cardFromProducerState(uint32_t state, StatusCard& card) {
  switch (state) {
    case kProducerStateNoCamera: card = StatusCard::NoCamera; return true;
    case kProducerStateCameraPermissionDenied: card = StatusCard::NeedsCameraAccess; return true;
    case kProducerStateCameraBusy: card = StatusCard::CameraInUse; return true;
    case kProducerStateModelFailure: card = StatusCard::NeedsAttention; return true;
    default: return false;  // idle, starting, live, capture failure: the timers decide
  }
}

// Bytes of a width x height image at `perFour` bytes per four pixels; sizes
// whose byte count does not fit are refused before anything is allocated or written.
size_t imageBytes(uint32_t width, uint32_t height, size_t perFour) {
  const size_t pixels = static_cast<size_t>(width) * height;
  if (pixels > std::numeric_limits<size_t>::max() / perFour) throw std::length_error("status card size too large");
  return pixels * perFour / 4;
}

}  // namespace

void StatusCardSelector::onStreamStart(uint64_t tick) {
  waitStartTick_.exchange(tick);
  hasHadFrame_.exchange(false);
}

void StatusCardSelector::onGoodFrame(uint64_t tick) {
  lastGoodTick_.store(tick);
  hasHadFrame_.store(true);
}

void StatusCardSelector::mapStatusChannel() {
  // Any view will do: chooseFrom checks the block each time it reads it.
  statusChannel_ = openExistingChannel(kProducerStatusChannelName, FILE_MAP_READ, kStatusBlockBytes);
}

StatusCard StatusCardSelector::choose(uint64_t nowTick) {
  if (!statusChannel_.view) mapStatusChannel();
  return chooseFrom(statusChannel_.as<const ProducerStatusBlock>(), nowTick);
}

StatusCard StatusCardSelector::chooseFrom(const ProducerStatusBlock* block, uint64_t nowTick) {
  // The start-up window also begins at the first card request when no stream start set it.
  uint64_t unset = 0;
  waitStartTick_.compare_exchange_strong(unset, nowTick);

  if (block && hasCurrentHeader(*block)) {
    if (tickIsFresh(readShared(block->heartbeat), GetTickCount64(), kStatusHeartbeatMaxAgeMs)) {
      StatusCard card;
      if (cardFromProducerState(readShared(block->state), card)) return card;
    }
  }

  if (hasHadFrame_.load())
    return ageMs(nowTick, lastGoodTick_.load()) < kStatusCardPatienceMs ? StatusCard::Reconnecting
                                                                        : StatusCard::NeedsAttention;
  return ageMs(nowTick, waitStartTick_.load()) < kStatusCardPatienceMs ? StatusCard::Starting
                                                                       : StatusCard::NeedsAttention;
}

const std::vector<uint8_t>& StatusCardCache::nv12(StatusCard card, uint32_t width, uint32_t height) {
  if (valid_ && card_ == card && width_ == width && height_ == height) return nv12_;
  std::vector<uint8_t> bgra;
  renderStatusCard(bgra, width, height, card);
  nv12_.resize(imageBytes(width, height, 6));
  statusCardToNv12(bgra.data(), width, height, nv12_.data());
  card_ = card;
  width_ = width;
  height_ = height;
  valid_ = true;
  return nv12_;
}

StatusCardTexts statusCardTexts(StatusCard card) {
  switch (card) {
    case StatusCard::Starting: return {L"Starting your camera", L"Tesmira is getting ready"};
    case StatusCard::Reconnecting: return {L"Reconnecting your camera", L"Tesmira is retrying automatically"};
    case StatusCard::NoCamera:
      return {L"No camera found", L"Connect a camera and Tesmira will resume automatically"};
    case StatusCard::NeedsCameraAccess:
      return {L"Tesmira needs camera access", L"Allow camera access in Windows Settings \u203A Privacy & security"};
    case StatusCard::CameraInUse: return {L"Your camera is in use", L"Tesmira will resume when the camera is free"};
    case StatusCard::NeedsAttention:
    default: return {L"Tesmira needs attention", L"Open Tesmira Studio to check your camera"};
  }
}

StatusCardLayout statusCardLayout(uint32_t height) {
  // Truncating conversions; absurd heights saturate instead of overflowing the box sums.
  auto truncated = [](double value) {
    return static_cast<int>(std::min(value, static_cast<double>(std::numeric_limits<int>::max() / 4)));
  };
  const double scale = height / 1080.0;
  const int title = std::max(truncated(scale * 66 + 0.5), 12);
  const int subtitle = std::max(truncated(scale * 30 + 0.5), 9);
  return {{title, truncated(height * 0.44), 2 * title}, {subtitle, truncated(height * 0.56), 3 * subtitle}};
}

HFONT createStatusCardFont(int pixelHeight, int weight) {
  return CreateFontW(-pixelHeight, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_TT_PRECIS,
                     CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
}

void drawStatusCardLine(HDC dc, const wchar_t* text, HFONT font, COLORREF color, int width, int centerY,
                        int boxHeight) {
  HGDIOBJ previousFont = SelectObject(dc, font);
  SetTextColor(dc, color);
  RECT box{0, centerY - boxHeight / 2, width, centerY + boxHeight / 2};
  DrawTextW(dc, text, -1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  if (previousFont) SelectObject(dc, previousFont);
}

void renderStatusCard(std::vector<uint8_t>& bgra, uint32_t width, uint32_t height, StatusCard card) {
  const size_t pixels = imageBytes(width, height, 16) / 4;
  bgra.resize(pixels * 4);
  if (width == 0 || height == 0) return;

  // A bitmap header describes at most INT32_MAX pixels a side.
  const bool describable = width <= static_cast<uint32_t>(std::numeric_limits<LONG>::max()) &&
                           height <= static_cast<uint32_t>(std::numeric_limits<LONG>::max());
  HDC dc = describable ? CreateCompatibleDC(nullptr) : nullptr;
  HBITMAP section = nullptr;
  void* bits = nullptr;
  if (dc) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    section = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  }
  if (!dc || !section || !bits) {
    vcam::logSource(L"status card GDI render unavailable; serving plain background");
    for (size_t i = 0; i < pixels; ++i) {
      uint8_t* p = bgra.data() + i * 4;
      p[0] = GetBValue(kStatusCardBackground);
      p[1] = GetGValue(kStatusCardBackground);
      p[2] = GetRValue(kStatusCardBackground);
      p[3] = 0xFF;
    }
    if (section) DeleteObject(section);
    if (dc) DeleteDC(dc);
    return;
  }

  HGDIOBJ previousBitmap = SelectObject(dc, section);
  RECT all{0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
  if (HBRUSH brush = CreateSolidBrush(kStatusCardBackground)) {
    FillRect(dc, &all, brush);
    DeleteObject(brush);
  }
  SetBkMode(dc, TRANSPARENT);

  const StatusCardLayout layout = statusCardLayout(height);
  const StatusCardTexts texts = statusCardTexts(card);
  HFONT titleFont = createStatusCardFont(layout.title.fontHeight, FW_SEMIBOLD);
  HFONT subtitleFont = createStatusCardFont(layout.subtitle.fontHeight, FW_NORMAL);
  const int w = static_cast<int>(width);
  drawStatusCardLine(dc, texts.title, titleFont, kStatusCardTitleColor, w, layout.title.centerY,
                     layout.title.boxHeight);
  drawStatusCardLine(dc, texts.subtitle, subtitleFont, kStatusCardSubtitleColor, w, layout.subtitle.centerY,
                     layout.subtitle.boxHeight);
  if (titleFont) DeleteObject(titleFont);
  if (subtitleFont) DeleteObject(subtitleFont);
  GdiFlush();

  // Applications show a camera mirrored; drawing mirrored makes the card read right.
  const auto* section32 = static_cast<const uint8_t*>(bits);
  const size_t stride = static_cast<size_t>(width) * 4;
  for (uint32_t r = 0; r < height; ++r) {
    const uint8_t* src = section32 + r * stride;
    uint8_t* dst = bgra.data() + r * stride;
    for (uint32_t c = 0; c < width; ++c) {
      const uint8_t* s = src + static_cast<size_t>(width - 1 - c) * 4;
      dst[c * 4 + 0] = s[0];
      dst[c * 4 + 1] = s[1];
      dst[c * 4 + 2] = s[2];
      dst[c * 4 + 3] = 0xFF;
    }
  }

  if (previousBitmap) SelectObject(dc, previousBitmap);
  DeleteObject(section);
  DeleteDC(dc);
}

void statusCardToNv12(const uint8_t* bgra, uint32_t width, uint32_t height, uint8_t* nv12) {
  bgr32ToNv12(bgra, size_t(width) * 4, width, height, nv12);
}

}  // namespace tesmira
