#include "vcam_source/status_card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <tuple>
#include <cstring>
#include <optional>
#include <stdexcept>

#include <stdlib.h>
#include <string>

#include "common/file_log.h"
#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

using tesmira::ProducerStatusBlock;
using tesmira::StatusCard;
namespace testclock = tesmira::platform::testclock;
namespace faults = tesmira::platform::faults;

constexpr uint8_t kBackground[4] = {0x14, 0x0F, 0x12, 0xFF};

class StatusCardTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    testclock::freeze();
    now_ = GetTickCount64();
  }
  uint64_t now_ = 0;
};

// ---- the choice -------------------------------------------------------------

enum class Block { Missing, Valid, BadMagic, BadVersion };

struct ChoiceCase {
  const char* what;
  Block block;
  int64_t heartbeatAge;  // ms before now; negative: in the future; INT64_MIN: heartbeat 0
  uint32_t state;
  std::optional<int64_t> lastGoodAge;  // set: a frame was served that long ago
  int64_t waitStartAge;                // stream start that long ago; negative: after now was read
  StatusCard expected;
};

constexpr int64_t kZeroHeartbeat = INT64_MIN;
constexpr uint32_t kIdle = 0, kStarting = 1, kLive = 2, kNoCamera = 4, kDenied = 5, kBusy = 6, kCaptureFailure = 7,
                   kModelFailure = 8;

const ChoiceCase kChoiceCases[] = {
    {"no status, just started", Block::Missing, 0, 0, std::nullopt, 0, StatusCard::Starting},
    {"no status, 29999 ms waiting", Block::Missing, 0, 0, std::nullopt, 29999, StatusCard::Starting},
    {"no status, 30000 ms waiting", Block::Missing, 0, 0, std::nullopt, 30000, StatusCard::NeedsAttention},
    {"no status, frame 29999 ms ago", Block::Missing, 0, 0, 29999, 60000, StatusCard::Reconnecting},
    {"no status, frame 30000 ms ago", Block::Missing, 0, 0, 30000, 0, StatusCard::NeedsAttention},
    {"bad magic", Block::BadMagic, 0, kNoCamera, std::nullopt, 0, StatusCard::Starting},
    {"bad version", Block::BadVersion, 0, kNoCamera, std::nullopt, 0, StatusCard::Starting},
    {"heartbeat 0", Block::Valid, kZeroHeartbeat, kNoCamera, std::nullopt, 0, StatusCard::Starting},
    {"heartbeat 3000 ms old", Block::Valid, 3000, kNoCamera, std::nullopt, 0, StatusCard::NoCamera},
    {"heartbeat 3001 ms old", Block::Valid, 3001, kNoCamera, std::nullopt, 0, StatusCard::Starting},
    {"heartbeat 1 ms in the future", Block::Valid, -1, kNoCamera, std::nullopt, 0, StatusCard::Starting},
    {"no camera", Block::Valid, 0, kNoCamera, 10, 0, StatusCard::NoCamera},
    {"permission denied", Block::Valid, 0, kDenied, std::nullopt, 0, StatusCard::NeedsCameraAccess},
    {"permission denied after a frame", Block::Valid, 0, kDenied, 10, 0, StatusCard::NeedsCameraAccess},
    {"camera busy", Block::Valid, 0, kBusy, std::nullopt, 0, StatusCard::CameraInUse},
    {"camera busy after a frame", Block::Valid, 0, kBusy, 40000, 0, StatusCard::CameraInUse},
    {"model failure", Block::Valid, 0, kModelFailure, std::nullopt, 0, StatusCard::NeedsAttention},
    {"model failure after a frame", Block::Valid, 0, kModelFailure, 10, 0, StatusCard::NeedsAttention},
    {"idle", Block::Valid, 0, kIdle, std::nullopt, 0, StatusCard::Starting},
    {"idle after a frame", Block::Valid, 0, kIdle, 10, 0, StatusCard::Reconnecting},
    {"starting", Block::Valid, 0, kStarting, std::nullopt, 100, StatusCard::Starting},
    {"starting for 30000 ms", Block::Valid, 0, kStarting, std::nullopt, 30000, StatusCard::NeedsAttention},
    {"live", Block::Valid, 0, kLive, 600, 0, StatusCard::Reconnecting},
    {"live, no frame yet", Block::Valid, 0, kLive, std::nullopt, 0, StatusCard::Starting},
    {"state 3 is unknown", Block::Valid, 0, 3, std::nullopt, 0, StatusCard::Starting},
    {"state 9 is unknown", Block::Valid, 0, 9, 10, 0, StatusCard::Reconnecting},
    {"state 0xFFFFFFFF is unknown", Block::Valid, 0, 0xFFFFFFFF, std::nullopt, 30000, StatusCard::NeedsAttention},
    {"capture failure, frame 29999 ms ago", Block::Valid, 0, kCaptureFailure, 29999, 0, StatusCard::Reconnecting},
    {"capture failure, frame 30000 ms ago", Block::Valid, 0, kCaptureFailure, 30000, 0, StatusCard::NeedsAttention},
    {"capture failure before any frame", Block::Valid, 0, kCaptureFailure, std::nullopt, 0, StatusCard::Starting},
    // Ticks stamped by another thread after this request read its time are not ages.
    {"wait start after now", Block::Missing, 0, 0, std::nullopt, -5, StatusCard::Starting},
    {"last good frame after now", Block::Missing, 0, 0, -5, 0, StatusCard::Reconnecting},
};

ProducerStatusBlock blockFor(const ChoiceCase& c, uint64_t now) {
  ProducerStatusBlock block{};
  block.magic = c.block == Block::BadMagic ? 0x53505354 : tesmira::kProducerStatusMagic;
  block.version = c.block == Block::BadVersion ? 2 : tesmira::kProducerStatusVersion;
  block.state = c.state;
  block.heartbeat = c.heartbeatAge == kZeroHeartbeat ? 0 : now - c.heartbeatAge;
  return block;
}

TEST_F(StatusCardTest, ChoiceFromTheStatusBlockAndTheTimers) {
  for (const ChoiceCase& c : kChoiceCases) {
    tesmira::StatusCardSelector selector;
    selector.onStreamStart(now_ - c.waitStartAge);
    if (c.lastGoodAge) selector.onGoodFrame(now_ - *c.lastGoodAge);
    const ProducerStatusBlock block = blockFor(c, now_);
    const StatusCard card = selector.chooseFrom(c.block == Block::Missing ? nullptr : &block, now_);
    EXPECT_EQ(card, c.expected) << c.what;
  }
}

// Without a producer, the wait that starts now shows Starting for 30000 ms, then NeedsAttention.
void expectStartingForThirtySecondsFromNow(tesmira::StatusCardSelector& selector) {
  EXPECT_EQ(selector.choose(GetTickCount64()), StatusCard::Starting);
  testclock::advanceMs(29999);
  EXPECT_EQ(selector.choose(GetTickCount64()), StatusCard::Starting);
  testclock::advanceMs(1);
  EXPECT_EQ(selector.choose(GetTickCount64()), StatusCard::NeedsAttention);
}

TEST_F(StatusCardTest, WithoutAProducerStartingLastsThirtySecondsFromTheStreamStart) {
  tesmira::StatusCardSelector selector;
  selector.onStreamStart(GetTickCount64());
  expectStartingForThirtySecondsFromNow(selector);
}

TEST_F(StatusCardTest, FirstCardRequestStartsTheWaitWhenNoStreamStartDid) {
  tesmira::StatusCardSelector selector;
  testclock::advanceMs(100000);  // the clock is far from 0: only the request can start the wait
  expectStartingForThirtySecondsFromNow(selector);
}

TEST_F(StatusCardTest, StreamStartForgetsTheEarlierFrame) {
  tesmira::StatusCardSelector selector;
  selector.onStreamStart(now_);
  selector.onGoodFrame(now_);
  EXPECT_EQ(selector.chooseFrom(nullptr, now_ + 10), StatusCard::Reconnecting);
  selector.onStreamStart(now_ + 20);
  EXPECT_EQ(selector.chooseFrom(nullptr, now_ + 30), StatusCard::Starting);
  // The last good tick survives the restart; it counts again after the next frame only.
  selector.onGoodFrame(now_ + 40);
  EXPECT_EQ(selector.chooseFrom(nullptr, now_ + 40 + 29999), StatusCard::Reconnecting);
}

// Writes a fresh block with `state` (and the producer's `hr`) into a new named status mapping.
struct StatusChannel {
  HANDLE mapping = nullptr;
  ProducerStatusBlock* block = nullptr;
  StatusChannel(const wchar_t* name, uint32_t state, uint32_t hr = 0) {
    mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ProducerStatusBlock), name);
    if (!mapping) return;
    block = static_cast<ProducerStatusBlock*>(
        MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ProducerStatusBlock)));
    if (block)
      *block = ProducerStatusBlock{tesmira::kProducerStatusMagic, tesmira::kProducerStatusVersion, state, hr, 0, 1234,
                                   GetTickCount64(), 1, 0};
  }
  ~StatusChannel() {
    if (block) UnmapViewOfFile(block);
    if (mapping) CloseHandle(mapping);
  }
};

// The status channel as the service creates it and the producer writes it.
TEST_F(StatusCardTest, ChooseReadsTheStatusChannelByItsName) {
  StatusChannel channel(L"Local\\TesmiraProducerStatus.v1", kBusy, 0x80070020);
  ASSERT_NE(channel.mapping, nullptr);
  ASSERT_NE(channel.block, nullptr);

  tesmira::StatusCardSelector selector;
  selector.onStreamStart(GetTickCount64());
  EXPECT_EQ(selector.choose(GetTickCount64()), StatusCard::CameraInUse);
  // The view stays mapped: later writes are seen, and a stale heartbeat hands over to the timers.
  channel.block->state = kNoCamera;
  EXPECT_EQ(selector.choose(GetTickCount64()), StatusCard::NoCamera);
  testclock::advanceMs(3001);
  EXPECT_EQ(selector.choose(GetTickCount64()), StatusCard::Starting);
}

TEST_F(StatusCardTest, GlobalStatusChannelComesBeforeTheLocalOne) {
  SetEnvironmentVariableW(L"TESMIRA_SERVICE", L"1");  // creating Global\ names needs the service's privilege
  StatusChannel global(L"Global\\TesmiraProducerStatus.v1", kBusy);
  StatusChannel local(L"Local\\TesmiraProducerStatus.v1", kNoCamera);
  SetEnvironmentVariableW(L"TESMIRA_SERVICE", nullptr);
  ASSERT_NE(global.block, nullptr);
  ASSERT_NE(local.block, nullptr);
  tesmira::StatusCardSelector selector;
  EXPECT_EQ(selector.choose(GetTickCount64()), StatusCard::CameraInUse);
}

TEST_F(StatusCardTest, ChannelCreatedAfterTheFirstRequestIsPickedUp) {
  tesmira::StatusCardSelector selector;
  selector.onStreamStart(GetTickCount64());
  EXPECT_EQ(selector.choose(GetTickCount64()), StatusCard::Starting);
  StatusChannel channel(L"Local\\TesmiraProducerStatus.v1", kDenied, 0x80070005);
  ASSERT_NE(channel.mapping, nullptr);
  ASSERT_NE(channel.block, nullptr);
  EXPECT_EQ(selector.choose(GetTickCount64()), StatusCard::NeedsCameraAccess);
}

// ---- the texts and the layout ------------------------------------------------

TEST_F(StatusCardTest, EveryCardHasItsTexts) {
  struct Case {
    uint32_t value;
    const wchar_t* title;
    const wchar_t* subtitle;
  };
  const Case cases[] = {
      {0, L"Starting your camera", L"Tesmira is getting ready"},
      {1, L"Reconnecting your camera", L"Tesmira is retrying automatically"},
      {2, L"Tesmira needs attention", L"Open Tesmira Studio to check your camera"},
      {3, L"No camera found", L"Connect a camera and Tesmira will resume automatically"},
      {4, L"Tesmira needs camera access", L"Allow camera access in Windows Settings \u203A Privacy & security"},
      {5, L"Your camera is in use", L"Tesmira will resume when the camera is free"},
      {6, L"Tesmira needs attention", L"Open Tesmira Studio to check your camera"},
      {7, L"Tesmira needs attention", L"Open Tesmira Studio to check your camera"},
      {0xFFFFFFFF, L"Tesmira needs attention", L"Open Tesmira Studio to check your camera"},
  };
  for (const Case& c : cases) {
    const auto texts = tesmira::statusCardTexts(static_cast<StatusCard>(c.value));
    EXPECT_STREQ(texts.title, c.title) << c.value;
    EXPECT_STREQ(texts.subtitle, c.subtitle) << c.value;
  }
}

// Pixels of one character drawn alone, the way the card draws its lines.
std::vector<uint8_t> drawnAlone(wchar_t ch, int weight) {
  const int size = 48;
  HDC dc = CreateCompatibleDC(nullptr);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), size, -size, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP section = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, section);
  SetBkMode(dc, TRANSPARENT);
  HFONT font = tesmira::createStatusCardFont(30, weight);
  const wchar_t text[2] = {ch, 0};
  tesmira::drawStatusCardLine(dc, text, font, RGB(255, 255, 255), size, size / 2, size);
  DeleteObject(font);
  const auto* p = static_cast<const uint8_t*>(bits);
  std::vector<uint8_t> pixels(p, p + size * size * 4);
  SelectObject(dc, old);
  DeleteObject(section);
  DeleteDC(dc);
  return pixels;
}

TEST_F(StatusCardTest, EveryCharacterOfEveryCardHasAGlyph) {
  std::wstring characters;
  for (uint32_t value = 0; value <= 5; ++value) {
    const auto texts = tesmira::statusCardTexts(static_cast<StatusCard>(value));
    characters += texts.title;
    characters += texts.subtitle;
  }
  for (int weight : {FW_SEMIBOLD, FW_NORMAL}) {
    const std::vector<uint8_t> missing = drawnAlone(L'\uE000', weight);  // the font's box for no glyph
    const std::vector<uint8_t> blank(missing.size(), 0);
    for (wchar_t ch : characters) {
      if (ch == L' ') continue;
      const std::vector<uint8_t> drawn = drawnAlone(ch, weight);
      EXPECT_NE(drawn, missing) << "U+" << std::hex << static_cast<uint32_t>(ch) << " weight " << std::dec << weight;
      EXPECT_NE(drawn, blank) << "U+" << std::hex << static_cast<uint32_t>(ch) << " weight " << std::dec << weight;
    }
  }
}

struct LayoutCase {
  uint32_t height;
  tesmira::StatusCardLayout layout;
};
const LayoutCase kLayouts[] = {
    {1080, {{66, 475, 132}, {30, 604, 90}}},
    {720, {{44, 316, 88}, {20, 403, 60}}},
    {100, {{12, 44, 24}, {9, 56, 27}}},
};

TEST_F(StatusCardTest, LayoutOfTheLargestHeightStaysInRange) {
  const auto layout = tesmira::statusCardLayout(0xFFFFFFFF);
  EXPECT_GT(layout.subtitle.centerY, 0);
  EXPECT_GT(layout.subtitle.boxHeight, layout.subtitle.fontHeight);
  EXPECT_GT(layout.title.boxHeight, layout.title.fontHeight);
}

TEST_F(StatusCardTest, LayoutScalesWithTheHeightDownToMinimumSizes) {
  for (const LayoutCase& c : kLayouts) {
    const auto layout = tesmira::statusCardLayout(c.height);
    for (auto [got, want] : {std::pair{layout.title, c.layout.title}, std::pair{layout.subtitle, c.layout.subtitle}}) {
      EXPECT_EQ(got.fontHeight, want.fontHeight) << c.height;
      EXPECT_EQ(got.centerY, want.centerY) << c.height;
      EXPECT_EQ(got.boxHeight, want.boxHeight) << c.height;
    }
  }
}

// ---- the pixels ---------------------------------------------------------------

bool isBackground(const uint8_t* p) { return std::memcmp(p, kBackground, 4) == 0; }

struct Box {
  int top;
  int bottom;
};
Box boxOf(const tesmira::StatusCardLine& line) {
  return {line.centerY - line.boxHeight / 2, line.centerY + line.boxHeight / 2};
}

// The brightest pixel (by green, then blue) in rows [top, bottom).
std::array<uint8_t, 4> brightest(const std::vector<uint8_t>& bgra, uint32_t w, Box box) {
  std::array<uint8_t, 4> best{};
  for (int r = box.top; r < box.bottom; ++r)
    for (uint32_t c = 0; c < w; ++c) {
      const uint8_t* p = &bgra[(static_cast<size_t>(r) * w + c) * 4];
      if (std::tie(p[1], p[0]) > std::tie(best[1], best[0])) std::copy(p, p + 4, best.begin());
    }
  return best;
}

TEST_F(StatusCardTest, BackgroundIsExactOutsideTheTextBoxesAndInkOnlyInside) {
  for (const LayoutCase& c : kLayouts) {
    const uint32_t h = c.height, w = h * 16 / 9;
    for (uint32_t value = 0; value <= 5; ++value) {
      std::vector<uint8_t> bgra;
      tesmira::renderStatusCard(bgra, w, h, static_cast<StatusCard>(value));
      ASSERT_EQ(bgra.size(), size_t{w} * h * 4);
      const Box title = boxOf(c.layout.title), subtitle = boxOf(c.layout.subtitle);
      int titleInk = 0, subtitleInk = 0, strayInk = 0, badAlpha = 0;
      for (uint32_t r = 0; r < h; ++r)
        for (uint32_t col = 0; col < w; ++col) {
          const uint8_t* p = &bgra[(size_t{r} * w + col) * 4];
          badAlpha += p[3] != 0xFF;
          if (isBackground(p)) continue;
          const int row = static_cast<int>(r);
          if (row >= title.top && row < title.bottom) ++titleInk;
          else if (row >= subtitle.top && row < subtitle.bottom) ++subtitleInk;
          else ++strayInk;
        }
      EXPECT_EQ(strayInk, 0) << h << " card " << value;
      EXPECT_EQ(badAlpha, 0) << h << " card " << value;
      EXPECT_GT(titleInk, 0) << h << " card " << value;
      EXPECT_GT(subtitleInk, 0) << h << " card " << value;
    }
  }
}

TEST_F(StatusCardTest, TitleIsWhiteAndBrighterThanTheGreySubtitle) {
  for (const LayoutCase& c : {kLayouts[0], kLayouts[1]}) {
    const uint32_t h = c.height, w = h * 16 / 9;
    std::vector<uint8_t> bgra;
    tesmira::renderStatusCard(bgra, w, h, StatusCard::Starting);
    const auto title = brightest(bgra, w, boxOf(c.layout.title));
    const auto subtitle = brightest(bgra, w, boxOf(c.layout.subtitle));
    EXPECT_EQ(title, (std::array<uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF})) << h;
    EXPECT_EQ(subtitle, (std::array<uint8_t, 4>{0xCC, 0xC7, 0xC7, 0xFF})) << h;
  }
}

// The card is the GDI drawing turned left to right: drawn here unmirrored, compared by ink.
TEST_F(StatusCardTest, CardIsTheMirrorImageOfTheDrawing) {
  const uint32_t w = 640, h = 360;
  std::vector<uint8_t> card;
  tesmira::renderStatusCard(card, w, h, StatusCard::NoCamera);

  HDC dc = CreateCompatibleDC(nullptr);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), static_cast<LONG>(w), -static_cast<LONG>(h), 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP section = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(section, nullptr);
  HGDIOBJ old = SelectObject(dc, section);
  HBRUSH brush = CreateSolidBrush(tesmira::kStatusCardBackground);
  RECT all{0, 0, static_cast<LONG>(w), static_cast<LONG>(h)};
  FillRect(dc, &all, brush);
  DeleteObject(brush);
  SetBkMode(dc, TRANSPARENT);
  const auto layout = tesmira::statusCardLayout(h);
  HFONT font = tesmira::createStatusCardFont(layout.title.fontHeight, FW_SEMIBOLD);
  tesmira::drawStatusCardLine(dc, L"No camera found", font, tesmira::kStatusCardTitleColor, w, layout.title.centerY,
                              layout.title.boxHeight);
  DeleteObject(font);
  font = tesmira::createStatusCardFont(layout.subtitle.fontHeight, FW_NORMAL);
  tesmira::drawStatusCardLine(dc, L"Connect a camera and Tesmira will resume automatically", font,
                              tesmira::kStatusCardSubtitleColor, w, layout.subtitle.centerY, layout.subtitle.boxHeight);
  DeleteObject(font);

  const auto* drawn = static_cast<const uint8_t*>(bits);
  int mismatches = 0, inkedColumns = 0;
  int firstInkColumnDrawn = static_cast<int>(w), lastInkColumnCard = -1;
  const int row0 = layout.title.centerY - layout.title.boxHeight / 2;
  for (uint32_t r = 0; r < h; ++r)
    for (uint32_t c = 0; c < w; ++c) {
      const uint8_t* d = drawn + (size_t{r} * w + (w - 1 - c)) * 4;
      const uint8_t* k = &card[(size_t{r} * w + c) * 4];
      mismatches += d[0] != k[0] || d[1] != k[1] || d[2] != k[2];
      if (static_cast<int>(r) >= row0 && static_cast<int>(r) < row0 + layout.title.boxHeight && !isBackground(k)) {
        lastInkColumnCard = std::max(lastInkColumnCard, static_cast<int>(c));
        ++inkedColumns;
      }
      const uint8_t* u = drawn + (size_t{r} * w + c) * 4;
      if (static_cast<int>(r) >= row0 && static_cast<int>(r) < row0 + layout.title.boxHeight &&
          (u[0] != kBackground[0] || u[1] != kBackground[1] || u[2] != kBackground[2]))
        firstInkColumnDrawn = std::min(firstInkColumnDrawn, static_cast<int>(c));
    }
  EXPECT_EQ(mismatches, 0);
  ASSERT_GT(inkedColumns, 0);
  // The first letter, leftmost when drawn, ends up at the right-hand end of the card's line.
  EXPECT_EQ(lastInkColumnCard, static_cast<int>(w) - 1 - firstInkColumnDrawn);
  EXPECT_GT(lastInkColumnCard, static_cast<int>(w) / 2);

  SelectObject(dc, old);
  DeleteObject(section);
  DeleteDC(dc);
}

TEST_F(StatusCardTest, CardValueSevenDrawsNeedsAttention) {
  std::vector<uint8_t> seven, attention;
  tesmira::renderStatusCard(seven, 320, 180, static_cast<StatusCard>(7));
  tesmira::renderStatusCard(attention, 320, 180, StatusCard::NeedsAttention);
  EXPECT_EQ(seven, attention);
  std::vector<uint8_t> starting;
  tesmira::renderStatusCard(starting, 320, 180, StatusCard::Starting);
  EXPECT_NE(seven, starting);
}

TEST_F(StatusCardTest, EmptySizesDrawNothing) {
  for (auto [w, h] : {std::pair{0u, 720u}, std::pair{1280u, 0u}, std::pair{0u, 0u}}) {
    std::vector<uint8_t> bgra(16, 7);
    tesmira::renderStatusCard(bgra, w, h, StatusCard::Starting);
    EXPECT_TRUE(bgra.empty());
  }
}

// ---- NV12 ---------------------------------------------------------------------

struct Pixel {
  uint8_t b, g, r;
};

TEST_F(StatusCardTest, Nv12OfSolidColours) {
  struct Case {
    const char* what;
    Pixel pixel;
    uint8_t y, u, v;
  };
  const Case cases[] = {
      {"background", {0x14, 0x0F, 0x12}, 30, 130, 129},
      {"white", {255, 255, 255}, 235, 128, 128},
      {"black", {0, 0, 0}, 16, 128, 128},
      {"blue", {255, 0, 0}, 41, 240, 110},
      {"red", {0, 0, 255}, 82, 90, 240},
      {"subtitle grey", {0xCC, 0xC7, 0xC7}, 188, 130, 128},
  };
  for (const Case& c : cases) {
    const uint32_t w = 4, h = 2;
    std::vector<uint8_t> bgra;
    for (uint32_t i = 0; i < w * h; ++i) bgra.insert(bgra.end(), {c.pixel.b, c.pixel.g, c.pixel.r, 0xFF});
    std::vector<uint8_t> nv12(w * h * 3 / 2);
    tesmira::statusCardToNv12(bgra.data(), w, h, nv12.data());
    const std::vector<uint8_t> expected = {c.y, c.y, c.y, c.y, c.y, c.y, c.y, c.y, c.u, c.v, c.u, c.v};
    EXPECT_EQ(nv12, expected) << c.what;
  }
}

TEST_F(StatusCardTest, Nv12ChromaIsTheMeanOfTheBlock) {
  // Two blue and two red pixels: U (240 + 240 + 90 + 90) / 4 = 165, V (110 + 110 + 240 + 240) / 4 = 175.
  const std::vector<uint8_t> bgra = {255, 0, 0, 255, 0, 0, 255, 255, 0, 0, 255, 255, 255, 0, 0, 255};
  std::vector<uint8_t> nv12(6);
  tesmira::statusCardToNv12(bgra.data(), 2, 2, nv12.data());
  EXPECT_EQ(nv12, (std::vector<uint8_t>{41, 82, 82, 41, 165, 175}));
}

TEST_F(StatusCardTest, Nv12OfOddSizesStaysInsideItsBuffer) {
  // 3x2: the last block is one column wide; its V would fall one byte past the 9 bytes.
  const Pixel blue{255, 0, 0}, red{0, 0, 255};
  const Pixel pixels[] = {red, red, blue, red, red, blue};
  std::vector<uint8_t> bgra;
  for (Pixel p : pixels) bgra.insert(bgra.end(), {p.b, p.g, p.r, 0xFF});
  std::vector<uint8_t> nv12(9);
  tesmira::statusCardToNv12(bgra.data(), 3, 2, nv12.data());
  EXPECT_EQ(nv12, (std::vector<uint8_t>{82, 82, 41, 82, 82, 41, 90, 240, 240}));

  for (auto [w, h] : {std::pair{3u, 3u}, std::pair{5u, 1u}, std::pair{1u, 1u}, std::pair{7u, 5u}}) {
    std::vector<uint8_t> image(size_t{w} * h * 4, 0x80);
    std::vector<uint8_t> out(size_t{w} * h * 3 / 2);  // exact size: ASan sees any byte past it
    tesmira::statusCardToNv12(image.data(), w, h, out.data());
    EXPECT_EQ(out[0], 126) << w << "x" << h;
  }
}

// ---- cache and fall-back ---------------------------------------------------------

std::string serviceLog() { return tesmira::testing::readFile(tesmira::serviceLogPath()); }

size_t countOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

const std::string kFallbackLine = "source: status card GDI render unavailable; serving plain background";

TEST_F(StatusCardTest, FallbackIsThePlainBackgroundAndLogsEachRender) {
  for (const char* site : {"CreateCompatibleDC", "CreateDIBSection"}) {
    faults::clearAll();
    std::filesystem::remove(tesmira::serviceLogPath());
    faults::inject(site, ERROR_NOT_ENOUGH_MEMORY);
    std::vector<uint8_t> bgra;
    tesmira::renderStatusCard(bgra, 64, 36, StatusCard::NoCamera);
    ASSERT_EQ(bgra.size(), 64u * 36 * 4);
    for (size_t i = 0; i < bgra.size(); i += 4) ASSERT_TRUE(isBackground(&bgra[i])) << site << " byte " << i;
    tesmira::renderStatusCard(bgra, 64, 36, StatusCard::NoCamera);
    EXPECT_EQ(countOf(serviceLog(), kFallbackLine), 2u) << site;
  }
}

TEST_F(StatusCardTest, CacheDrawsOncePerCardAndSize) {
  tesmira::StatusCardCache cache;
  const std::vector<uint8_t> starting = cache.nv12(StatusCard::Starting, 64, 36);
  ASSERT_EQ(starting.size(), 64u * 36 * 3 / 2);
  std::vector<uint8_t> expected(starting.size());
  std::vector<uint8_t> bgra;
  tesmira::renderStatusCard(bgra, 64, 36, StatusCard::Starting);
  tesmira::statusCardToNv12(bgra.data(), 64, 36, expected.data());
  EXPECT_EQ(starting, expected);

  // With GDI gone, an unchanged request is still served from the cache, without drawing.
  faults::inject("CreateCompatibleDC", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(cache.nv12(StatusCard::Starting, 64, 36), starting);
  EXPECT_EQ(countOf(serviceLog(), kFallbackLine), 0u);

  // Another card, width or height is drawn again (and falls back to the plain background).
  std::vector<uint8_t> plain(64 * 36, 30);
  plain.resize(64 * 36 * 3 / 2, 0);
  for (size_t i = 64 * 36; i < plain.size(); i += 2) {
    plain[i] = 130;
    plain[i + 1] = 129;
  }
  EXPECT_EQ(cache.nv12(StatusCard::NoCamera, 64, 36), plain);
  EXPECT_EQ(cache.nv12(StatusCard::NoCamera, 64, 36), plain);
  EXPECT_EQ(countOf(serviceLog(), kFallbackLine), 1u);
  EXPECT_EQ(cache.nv12(StatusCard::NoCamera, 66, 36).size(), 66u * 36 * 3 / 2);
  EXPECT_EQ(cache.nv12(StatusCard::NoCamera, 66, 38).size(), 66u * 38 * 3 / 2);
  EXPECT_EQ(countOf(serviceLog(), kFallbackLine), 3u);

  // Back to the first card: one card is cached at a time, so it is drawn again.
  faults::clearAll();
  EXPECT_EQ(cache.nv12(StatusCard::Starting, 64, 36), starting);
}

}  // namespace

namespace {

TEST_F(StatusCardTest, SizesWhoseBytesOverflowAreRefusedBeforeAnyWrite) {
  std::vector<uint8_t> bgra(4, 9);
  EXPECT_THROW(tesmira::renderStatusCard(bgra, 0xFFFFFFFF, 0xFFFFFFFF, StatusCard::Starting), std::length_error);
  EXPECT_EQ(bgra, std::vector<uint8_t>(4, 9));
  tesmira::StatusCardCache cache;
  EXPECT_THROW(cache.nv12(StatusCard::Starting, 0xFFFFFFFF, 0xFFFFFFFF), std::length_error);
  // The cache still works afterwards.
  EXPECT_EQ(cache.nv12(StatusCard::Starting, 8, 8).size(), 96u);
}

}  // namespace
