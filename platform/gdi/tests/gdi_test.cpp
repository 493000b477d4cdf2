#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

using tesmira::testing::MachineTest;

// A memory DC with a 32-bit DIB section selected, filled with one colour.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  uint8_t* bits = nullptr;
  int width = 0;
  int height = 0;

  Canvas(int w, int h, COLORREF background = RGB(0, 0, 0), bool topDown = true) : width(w), height(h) {
    dc = CreateCompatibleDC(nullptr);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = topDown ? -h : h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* p = nullptr;
    bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &p, nullptr, 0);
    bits = static_cast<uint8_t*>(p);
    previous = SelectObject(dc, bitmap);
    HBRUSH brush = CreateSolidBrush(background);
    RECT all{0, 0, w, h};
    FillRect(dc, &all, brush);
    DeleteObject(brush);
    SetBkMode(dc, TRANSPARENT);
  }
  ~Canvas() {
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  const uint8_t* at(int x, int y) const { return bits + (static_cast<size_t>(y) * width + x) * 4; }
  bool inked(int x, int y, COLORREF background) const {
    const uint8_t* p = at(x, y);
    return p[0] != GetBValue(background) || p[1] != GetGValue(background) || p[2] != GetRValue(background);
  }
  // Bounding box of every pixel that differs from the background (right/bottom exclusive).
  RECT inkBox(COLORREF background) const {
    RECT box{width, height, 0, 0};
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        if (inked(x, y, background)) {
          box.left = std::min<LONG>(box.left, x);
          box.top = std::min<LONG>(box.top, y);
          box.right = std::max<LONG>(box.right, x + 1);
          box.bottom = std::max<LONG>(box.bottom, y + 1);
        }
    return box;
  }
  int inkCount(COLORREF background) const {
    int n = 0;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) n += inked(x, y, background);
    return n;
  }
  int draw(const wchar_t* text, RECT rect, UINT format, int pixelHeight = 30, int weight = FW_NORMAL,
           COLORREF color = RGB(255, 255, 255)) {
    HFONT font = CreateFontW(-pixelHeight, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_TT_PRECIS,
                             CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
    HGDIOBJ old = SelectObject(dc, font);
    SetTextColor(dc, color);
    const int result = DrawTextW(dc, text, -1, &rect, format);
    SelectObject(dc, old);
    DeleteObject(font);
    return result;
  }
};

constexpr UINT kCentred = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;

class GdiTest : public MachineTest {};

TEST_F(GdiTest, DibSectionRowOrderFollowsTheSignOfTheHeight) {
  struct Case {
    bool topDown;
    int memoryRowOfTopLine;
  };
  for (Case c : {Case{true, 0}, Case{false, 3}}) {
    Canvas canvas(5, 4, RGB(0, 0, 0), c.topDown);
    ASSERT_NE(canvas.bits, nullptr);
    HBRUSH brush = CreateSolidBrush(RGB(0x10, 0x20, 0x30));
    RECT topLine{0, 0, 5, 1};
    EXPECT_NE(FillRect(canvas.dc, &topLine, brush), 0);
    DeleteObject(brush);
    for (int row = 0; row < 4; ++row) {
      const uint8_t* p = canvas.bits + row * 5 * 4;
      const bool filled = row == c.memoryRowOfTopLine;
      EXPECT_EQ(p[0], filled ? 0x30 : 0) << "top-down " << c.topDown << " row " << row;  // blue first
      EXPECT_EQ(p[1], filled ? 0x20 : 0);
      EXPECT_EQ(p[2], filled ? 0x10 : 0);
    }
  }
}

TEST_F(GdiTest, TextInABottomUpSectionIsUprightOnScreen) {
  Canvas topDown(120, 40, RGB(0, 0, 0), true), bottomUp(120, 40, RGB(0, 0, 0), false);
  topDown.draw(L"Tg", RECT{0, 0, 120, 40}, kCentred, 24);
  bottomUp.draw(L"Tg", RECT{0, 0, 120, 40}, kCentred, 24);
  ASSERT_GT(topDown.inkCount(0), 0);
  for (int row = 0; row < 40; ++row)
    EXPECT_EQ(std::memcmp(topDown.bits + row * 120 * 4, bottomUp.bits + (39 - row) * 120 * 4, 120 * 4), 0) << row;
}

TEST_F(GdiTest, FillRectStaysInsideTheBitmap) {
  Canvas canvas(6, 6);
  HBRUSH brush = CreateSolidBrush(RGB(255, 0, 0));
  RECT partly{-10, 4, 3, 100};
  EXPECT_NE(FillRect(canvas.dc, &partly, brush), 0);
  DeleteObject(brush);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 6; ++x) EXPECT_EQ(canvas.at(x, y)[2], (x < 3 && y >= 4) ? 255 : 0) << x << "," << y;
}

TEST_F(GdiTest, CentredLineSitsInTheMiddleOfItsBox) {
  Canvas canvas(400, 200);
  RECT box{0, 60, 400, 140};
  canvas.draw(L"Starting your camera", box, kCentred);
  const RECT ink = canvas.inkBox(RGB(0, 0, 0));
  ASSERT_LT(ink.left, ink.right);
  // Horizontally the ink is centred to within a pixel or two of side bearing.
  EXPECT_NEAR((ink.left + ink.right) / 2.0, 200.0, 3.0);
  // Vertically the line's cell is centred; the ink lies within the box, around its middle.
  EXPECT_GE(ink.top, 60);
  EXPECT_LE(ink.bottom, 140);
  EXPECT_NEAR((ink.top + ink.bottom) / 2.0, 100.0, 8.0);
}

TEST_F(GdiTest, LeftAlignedLineStartsAtTheLeftEdge) {
  Canvas canvas(400, 60);
  canvas.draw(L"Tesmira", RECT{0, 0, 400, 60}, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
  const RECT ink = canvas.inkBox(RGB(0, 0, 0));
  EXPECT_LE(ink.left, 3);
  EXPECT_LT(ink.right, 200);
}

TEST_F(GdiTest, InkIsClippedToTheRectangleUnlessNoClip) {
  struct Case {
    UINT extra;
    bool inkOutside;
  };
  for (Case c : {Case{0, false}, Case{DT_NOCLIP, true}}) {
    Canvas canvas(300, 80);
    const RECT box{100, 20, 200, 60};
    canvas.draw(L"A line far wider than its box", box, kCentred | c.extra);
    bool outside = false;
    for (int y = 0; y < 80; ++y)
      for (int x = 0; x < 300; ++x)
        if ((x < box.left || x >= box.right || y < box.top || y >= box.bottom) && canvas.inked(x, y, 0))
          outside = true;
    EXPECT_EQ(outside, c.inkOutside) << "extra format " << c.extra;
    EXPECT_GT(canvas.inkCount(0), 0);
  }
}

TEST_F(GdiTest, FullCoverageTakesTheTextColourAndEdgesAreBlended) {
  Canvas canvas(300, 100, RGB(0x12, 0x0F, 0x14));
  canvas.draw(L"Tesmira", RECT{0, 0, 300, 100}, kCentred, 60, FW_SEMIBOLD, RGB(0xC7, 0xC7, 0xCC));
  int full = 0, partial = 0;
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 300; ++x) {
      const uint8_t* p = canvas.at(x, y);
      if (p[0] == 0xCC && p[1] == 0xC7 && p[2] == 0xC7) ++full;
      else if (p[0] != 0x14 || p[1] != 0x0F || p[2] != 0x12) {
        ++partial;
        EXPECT_GT(p[0], 0x14);  // blends between background and text colour
        EXPECT_LT(p[0], 0xCC);
      }
    }
  EXPECT_GT(full, 100);
  EXPECT_GT(partial, 20);  // anti-aliased
}

TEST_F(GdiTest, WeightFrom600DrawsBold) {
  auto ink = [](int weight) {
    Canvas canvas(800, 80);
    canvas.draw(L"Reconnecting your camera", RECT{0, 0, 800, 80}, kCentred, 30, weight);
    return canvas.inkCount(0);
  };
  const int regular = ink(FW_NORMAL);
  EXPECT_EQ(ink(599), regular);
  EXPECT_GT(ink(600), regular * 5 / 4);
  EXPECT_EQ(ink(FW_BOLD), ink(600));
}

TEST_F(GdiTest, NegativeHeightIsTheCharacterHeight) {
  // The returned height is the font's cell: DejaVu's Windows ascent plus descent (2384/2048 em).
  struct Case {
    int pixelHeight;
    int cellHeight;
  };
  for (Case c : {Case{66, 77}, Case{30, 35}, Case{9, 10}}) {
    Canvas canvas(300, 120);
    EXPECT_EQ(canvas.draw(L"Tesmira", RECT{0, 0, 300, 120}, DT_SINGLELINE | DT_NOPREFIX, c.pixelHeight), c.cellHeight)
        << c.pixelHeight;
  }
}

TEST_F(GdiTest, VerticallyCentredResultIsTheOffsetToTheTextBottom) {
  Canvas canvas(300, 200);
  // Cell 35 in a box of 90 from 50: top at 50 + (90 - 35) / 2 = 77, bottom 112.
  EXPECT_EQ(canvas.draw(L"x", RECT{0, 50, 300, 140}, kCentred, 30), 112 - 50);
}

TEST_F(GdiTest, SingleRightPointingAngleQuotationMarkHasItsGlyph) {
  auto ink = [](const wchar_t* text) {
    Canvas canvas(100, 60);
    canvas.draw(text, RECT{0, 0, 100, 60}, kCentred, 40);
    return std::make_pair(canvas.inkCount(0), canvas.inkBox(0));
  };
  const auto [quoteInk, quoteBox] = ink(L"\u203A");
  const auto [missingInk, missingBox] = ink(L"\uE000");  // no glyph: the font's empty box
  EXPECT_GT(quoteInk, 20);
  EXPECT_NE(quoteInk, missingInk);
  // A chevron is narrower than it is tall, and sits around the x-height, not on the full box.
  EXPECT_LT(quoteBox.right - quoteBox.left, missingBox.right - missingBox.left);
}

TEST_F(GdiTest, AmpersandIsAPrefixUnlessNoPrefix) {
  auto ink = [](const wchar_t* text, UINT format) {
    Canvas canvas(200, 60);
    canvas.draw(text, RECT{0, 0, 200, 60}, format, 30);
    return canvas.inkCount(0);
  };
  const UINT plain = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
  EXPECT_EQ(ink(L"&A", plain), ink(L"A", plain));
  EXPECT_EQ(ink(L"&&", plain), ink(L"&", plain | DT_NOPREFIX));
  EXPECT_GT(ink(L"&A", plain | DT_NOPREFIX), ink(L"A", plain));
}

TEST_F(GdiTest, OpaqueModeFillsTheTextCellWithTheBackgroundColour) {
  Canvas canvas(200, 60);
  SetBkMode(canvas.dc, OPAQUE);
  SetBkColor(canvas.dc, RGB(0, 0, 255));
  canvas.draw(L"ab", RECT{0, 0, 200, 60}, kCentred, 30, FW_NORMAL, RGB(255, 255, 255));
  int blue = 0;
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 200; ++x) blue += canvas.at(x, y)[0] == 255 && canvas.at(x, y)[2] == 0;
  EXPECT_GT(blue, 200);
  EXPECT_EQ(canvas.at(0, 0)[0], 0);  // outside the cell nothing changes
}

TEST_F(GdiTest, SelectObjectReturnsWhatWasSelected) {
  Canvas canvas(4, 4);
  HFONT a = CreateFontW(-10, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Segoe UI");
  HFONT b = CreateFontW(-20, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Segoe UI");
  HGDIOBJ stockFont = SelectObject(canvas.dc, a);
  ASSERT_NE(stockFont, nullptr);
  EXPECT_EQ(SelectObject(canvas.dc, b), static_cast<HGDIOBJ>(a));
  EXPECT_EQ(SelectObject(canvas.dc, stockFont), static_cast<HGDIOBJ>(b));
  EXPECT_TRUE(DeleteObject(a));
  EXPECT_TRUE(DeleteObject(b));
  EXPECT_FALSE(DeleteObject(a));  // already gone
}

TEST_F(GdiTest, ABitmapBelongsToOneDeviceContextAndIsNotDeletedWhileSelected) {
  Canvas canvas(4, 4);
  HDC other = CreateCompatibleDC(nullptr);
  EXPECT_EQ(SelectObject(other, canvas.bitmap), nullptr);
  EXPECT_FALSE(DeleteObject(canvas.bitmap));
  DeleteDC(other);
  EXPECT_FALSE(DeleteDC(other));
}

TEST_F(GdiTest, UnsupportedSectionsAreRefusedWithoutBits) {
  auto header = [] {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = 8;
    info.bmiHeader.biHeight = -8;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
  };
  struct Case {
    const char* what;
    void (*spoil)(BITMAPINFO&);
  };
  const Case cases[] = {
      {"8 bits", [](BITMAPINFO& i) { i.bmiHeader.biBitCount = 8; }},
      {"zero width", [](BITMAPINFO& i) { i.bmiHeader.biWidth = 0; }},
      {"negative width", [](BITMAPINFO& i) { i.bmiHeader.biWidth = -8; }},
      {"zero height", [](BITMAPINFO& i) { i.bmiHeader.biHeight = 0; }},
      {"compressed", [](BITMAPINFO& i) { i.bmiHeader.biCompression = 3; }},
      {"short header", [](BITMAPINFO& i) { i.bmiHeader.biSize = 12; }},
      {"huge", [](BITMAPINFO& i) { i.bmiHeader.biWidth = 0x7FFFFFFF; i.bmiHeader.biHeight = -0x7FFFFFFF; }},
  };
  HDC dc = CreateCompatibleDC(nullptr);
  for (const Case& c : cases) {
    BITMAPINFO info = header();
    c.spoil(info);
    void* bits = reinterpret_cast<void*>(1);
    EXPECT_EQ(CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr) << c.what;
    EXPECT_EQ(bits, nullptr) << c.what;
  }
  DeleteDC(dc);
}

TEST_F(GdiTest, InjectedFailuresReturnTheirErrors) {
  namespace faults = tesmira::platform::faults;
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), 4, -4, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  faults::inject("CreateCompatibleDC", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(CreateCompatibleDC(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  HDC dc = CreateCompatibleDC(nullptr);  // one use only
  ASSERT_NE(dc, nullptr);

  faults::inject("CreateDIBSection", ERROR_INVALID_PARAMETER, 1);
  void* bits = nullptr;
  EXPECT_EQ(CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
  EXPECT_EQ(bits, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  faults::inject("CreateFontW", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(CreateFontW(-10, 0, 0, 0, 400, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Segoe UI"), nullptr);

  faults::inject("DrawTextW", ERROR_INVALID_HANDLE, 1);
  RECT r{0, 0, 4, 4};
  EXPECT_EQ(DrawTextW(dc, L"x", -1, &r, DT_SINGLELINE), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  DeleteDC(dc);
}

}  // namespace
