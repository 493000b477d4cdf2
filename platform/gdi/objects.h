#pragma once
// GDI objects behind HDC, HBITMAP, HBRUSH and HFONT. GDI handles are not kernel
// handles (CloseHandle never sees them), so they have a table of their own.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace tesmira::platform::gdi {

struct GdiObject {
  virtual ~GdiObject() = default;
  int selectedCount = 0;  // device contexts that have it selected
  bool stock = false;     // default objects: never deleted
  uintptr_t handle = 0;
};

struct Bitmap : GdiObject {
  int width = 1;
  int height = 1;
  int bitsPerPixel = 32;
  bool topDown = true;
  size_t stride = 4;
  std::unique_ptr<uint8_t[]> bits;

  uint8_t* row(int y) const {
    return bits.get() + stride * static_cast<size_t>(topDown ? y : height - 1 - y);
  }
};

struct Brush : GdiObject {
  COLORREF color = 0;
};

struct Font : GdiObject {
  int height = 0;  // as given: negative = character height, positive = cell height
  int weight = FW_NORMAL;
  std::wstring face;
};

struct DeviceContext : GdiObject {
  std::shared_ptr<Bitmap> bitmap;
  std::shared_ptr<Font> font;
  std::shared_ptr<Brush> brush;
  COLORREF textColor = RGB(0, 0, 0);
  COLORREF bkColor = RGB(255, 255, 255);
  int bkMode = OPAQUE;
};

std::shared_ptr<DeviceContext> lookupDc(HDC hdc);
std::shared_ptr<Brush> lookupBrush(HBRUSH brush);
// For the USER stand-in, which draws controls with the font a window was given.
std::shared_ptr<Font> lookupFont(HFONT font);

// Fills the part of (left, top, right, bottom) that lies inside the bitmap.
void fillPixels(const Bitmap& bitmap, RECT rect, COLORREF color);

// Draws one line of text; returns the DrawTextW result (0 on failure, error set).
int drawTextLine(DeviceContext& dc, std::wstring text, RECT* rect, UINT format);

}  // namespace tesmira::platform::gdi
