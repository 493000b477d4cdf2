// The status cards without their drawing: the card choice from the stream's
// timers and the plain background of every card. Built only while the full
// status card library is not part of the build.
#include "vcam_source/status_card.h"

#include <algorithm>

namespace tesmira {
namespace {

constexpr uint64_t kPatienceMs = 30000;
constexpr uint8_t kBackgroundBgra[4] = {0x14, 0x0F, 0x12, 0xFF};

uint64_t ageMs(uint64_t now, uint64_t then) { return now >= then ? now - then : 0; }

}  // namespace

StatusCardSelector::~StatusCardSelector() = default;

StatusCard StatusCardSelector::choose(uint64_t nowTick) {
  uint64_t expected = 0;
  waitStartTick_.compare_exchange_strong(expected, nowTick);
  if (hasHadFrame_.load())
    return ageMs(nowTick, lastGoodTick_.load()) < kPatienceMs ? StatusCard::Reconnecting : StatusCard::NeedsAttention;
  return ageMs(nowTick, waitStartTick_.load()) < kPatienceMs ? StatusCard::Starting : StatusCard::NeedsAttention;
}

void StatusCardSelector::onStreamStart(uint64_t tick) {
  waitStartTick_.exchange(tick);
  hasHadFrame_.exchange(false);
}

void StatusCardSelector::onGoodFrame(uint64_t tick) {
  lastGoodTick_.store(tick);
  hasHadFrame_.exchange(true);
}

void renderStatusCard(std::vector<uint8_t>& bgra, uint32_t width, uint32_t height, StatusCard) {
  bgra.assign(size_t(width) * height * 4, 0);
  for (size_t i = 0; i + 4 <= bgra.size(); i += 4) std::copy(kBackgroundBgra, kBackgroundBgra + 4, bgra.begin() + i);
}

void statusCardToNv12(const uint8_t* bgra, uint32_t w, uint32_t h, uint8_t* out) {
  auto luma = [](const uint8_t* p) { return std::min(((25 * p[0] + 129 * p[1] + 66 * p[2] + 128) >> 8) + 16, 255); };
  auto chromaU = [](const uint8_t* p) { return std::clamp(((112 * p[0] - 74 * p[1] - 38 * p[2] + 128) >> 8) + 128, 0, 255); };
  auto chromaV = [](const uint8_t* p) { return std::clamp(((112 * p[2] - 94 * p[1] - 18 * p[0] + 128) >> 8) + 128, 0, 255); };
  for (uint32_t r = 0; r < h; ++r)
    for (uint32_t c = 0; c < w; ++c) out[size_t(r) * w + c] = uint8_t(luma(bgra + (size_t(r) * w + c) * 4));
  for (uint32_t r = 0; r + 1 < h + 1; r += 2) {
    for (uint32_t c = 0; c + 1 < w + 1; c += 2) {
      int u = 0, v = 0, n = 0;
      for (uint32_t dr = 0; dr < 2 && r + dr < h; ++dr)
        for (uint32_t dc = 0; dc < 2 && c + dc < w; ++dc, ++n) {
          const uint8_t* p = bgra + (size_t(r + dr) * w + c + dc) * 4;
          u += chromaU(p);
          v += chromaV(p);
        }
      size_t at = size_t(w) * h + size_t(r / 2) * w + c;
      if (at + 1 < size_t(w) * h * 3 / 2 + 1) {
        out[at] = uint8_t(u / n);
        if (c + 1 < w) out[at + 1] = uint8_t(v / n);
      }
    }
  }
}

const std::vector<uint8_t>& StatusCardCache::nv12(StatusCard card, uint32_t width, uint32_t height) {
  if (!valid_ || card_ != card || width_ != width || height_ != height) {
    renderStatusCard(bgra_, width, height, card);
    nv12_.resize(size_t(width) * height * 3 / 2);
    statusCardToNv12(bgra_.data(), width, height, nv12_.data());
    card_ = card;
    width_ = width;
    height_ = height;
    valid_ = true;
  }
  return nv12_;
}

}  // namespace tesmira
