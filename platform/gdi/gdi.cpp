// Device contexts, DIB sections, brushes and fonts: the object side of GDI.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "core/faults.h"
#include "gdi/objects.h"

namespace tesmira::platform::gdi {
namespace {

std::mutex gMutex;

std::map<uintptr_t, std::shared_ptr<GdiObject>>& table() {
  static auto* t = new std::map<uintptr_t, std::shared_ptr<GdiObject>>;
  return *t;
}

uintptr_t gNextHandle = 0x10000;

// Caller holds gMutex.
uintptr_t insertLocked(std::shared_ptr<GdiObject> object) {
  uintptr_t handle = gNextHandle;
  gNextHandle += 4;
  object->handle = handle;
  table()[handle] = std::move(object);
  return handle;
}

std::shared_ptr<GdiObject> lookupLocked(const void* handle) {
  auto it = table().find(reinterpret_cast<uintptr_t>(handle));
  return it == table().end() ? nullptr : it->second;
}

template <class T>
std::shared_ptr<T> lookupAs(const void* handle) {
  std::lock_guard lock(gMutex);
  return std::dynamic_pointer_cast<T>(lookupLocked(handle));
}

// A new device context selects a 1x1 bitmap and the system font.
struct StockObjects {
  uintptr_t bitmapHandle;
  uintptr_t fontHandle;
  uintptr_t brushHandle;
  std::shared_ptr<Bitmap> bitmap;
  std::shared_ptr<Font> font;
  std::shared_ptr<Brush> brush;
};

const StockObjects& stock() {
  static const StockObjects* objects = [] {
    auto* s = new StockObjects;
    s->bitmap = std::make_shared<Bitmap>();
    s->bitmap->bits.reset(new uint8_t[4]());
    s->font = std::make_shared<Font>();
    s->font->face = L"System";
    s->brush = std::make_shared<Brush>();
    s->brush->color = RGB(255, 255, 255);
    for (GdiObject* o : {static_cast<GdiObject*>(s->bitmap.get()), static_cast<GdiObject*>(s->font.get()),
                         static_cast<GdiObject*>(s->brush.get())})
      o->stock = true;
    std::lock_guard lock(gMutex);
    s->bitmapHandle = insertLocked(s->bitmap);
    s->fontHandle = insertLocked(s->font);
    s->brushHandle = insertLocked(s->brush);
    return s;
  }();
  return *objects;
}

bool injected(const char* site) {
  if (auto error = faults::take(site)) {
    SetLastError(*error);
    return true;
  }
  return false;
}

// Puts `incoming` into `slot`, keeping the selection counts; returns the old handle.
template <class T>
HGDIOBJ swapSelected(std::shared_ptr<T>& slot, std::shared_ptr<T> incoming) {
  HGDIOBJ previous = reinterpret_cast<HGDIOBJ>(slot ? slot->handle : 0);
  if (slot) --slot->selectedCount;
  slot = std::move(incoming);
  ++slot->selectedCount;
  return previous;
}

}  // namespace

std::shared_ptr<DeviceContext> lookupDc(HDC hdc) { return lookupAs<DeviceContext>(hdc); }
std::shared_ptr<Brush> lookupBrush(HBRUSH brush) { return lookupAs<Brush>(brush); }
std::shared_ptr<Font> lookupFont(HFONT font) { return lookupAs<Font>(font); }

void fillPixels(const Bitmap& bitmap, RECT rect, COLORREF color) {
  const int left = std::max<LONG>(rect.left, 0), right = std::min<LONG>(rect.right, bitmap.width);
  const int top = std::max<LONG>(rect.top, 0), bottom = std::min<LONG>(rect.bottom, bitmap.height);
  if (left >= right || top >= bottom) return;
  const size_t bytes = bitmap.bitsPerPixel / 8;
  const size_t spanBytes = static_cast<size_t>(right - left) * bytes;
  // One span is built, every other row is a copy of it.
  uint8_t* first = bitmap.row(top) + static_cast<size_t>(left) * bytes;
  for (uint8_t* p = first; p < first + spanBytes; p += bytes) {
    p[0] = GetBValue(color);
    p[1] = GetGValue(color);
    p[2] = GetRValue(color);
    if (bytes == 4) p[3] = 0;
  }
  for (int y = top + 1; y < bottom; ++y)
    std::memcpy(bitmap.row(y) + static_cast<size_t>(left) * bytes, first, spanBytes);
}

}  // namespace tesmira::platform::gdi

using namespace tesmira::platform::gdi;

HDC WINAPI CreateCompatibleDC(HDC hdc) {
  if (injected("CreateCompatibleDC")) return nullptr;
  if (hdc && !lookupDc(hdc)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const StockObjects& s = stock();
  auto dc = std::make_shared<DeviceContext>();
  dc->bitmap = s.bitmap;
  dc->font = s.font;
  dc->brush = s.brush;
  std::lock_guard lock(gMutex);
  ++s.bitmap->selectedCount;
  ++s.font->selectedCount;
  ++s.brush->selectedCount;
  return reinterpret_cast<HDC>(insertLocked(dc));
}

BOOL WINAPI DeleteDC(HDC hdc) {
  std::lock_guard lock(gMutex);
  auto dc = std::dynamic_pointer_cast<DeviceContext>(lookupLocked(hdc));
  if (!dc) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  --dc->bitmap->selectedCount;
  --dc->font->selectedCount;
  --dc->brush->selectedCount;
  table().erase(reinterpret_cast<uintptr_t>(hdc));
  return TRUE;
}

HBITMAP WINAPI CreateDIBSection(HDC hdc, const BITMAPINFO* info, UINT usage, VOID** bits, HANDLE section,
                                DWORD offset) {
  if (bits) *bits = nullptr;
  if (injected("CreateDIBSection")) return nullptr;
  // Only memory-backed 24/32-bit uncompressed sections are drawn here.
  if (!info || info->bmiHeader.biSize < sizeof(BITMAPINFOHEADER) || usage != DIB_RGB_COLORS || section ||
      info->bmiHeader.biPlanes != 1 || info->bmiHeader.biCompression != BI_RGB ||
      (info->bmiHeader.biBitCount != 32 && info->bmiHeader.biBitCount != 24) || info->bmiHeader.biWidth <= 0 ||
      info->bmiHeader.biHeight == 0 || info->bmiHeader.biHeight == std::numeric_limits<LONG>::min()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto bitmap = std::make_shared<Bitmap>();
  bitmap->width = info->bmiHeader.biWidth;
  bitmap->height = std::abs(info->bmiHeader.biHeight);
  bitmap->topDown = info->bmiHeader.biHeight < 0;
  bitmap->bitsPerPixel = info->bmiHeader.biBitCount;
  // Rows are padded to whole DWORDs.
  bitmap->stride = ((static_cast<size_t>(bitmap->width) * bitmap->bitsPerPixel + 31) / 32) * 4;
  const uint64_t total = static_cast<uint64_t>(bitmap->stride) * static_cast<uint64_t>(bitmap->height);
  if (total > (uint64_t{1} << 32)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  bitmap->bits.reset(new (std::nothrow) uint8_t[total]());
  if (!bitmap->bits) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (bits) *bits = bitmap->bits.get();
  std::lock_guard lock(gMutex);
  return reinterpret_cast<HBITMAP>(insertLocked(bitmap));
}

HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ object) {
  if (injected("SelectObject")) return nullptr;
  std::lock_guard lock(gMutex);
  auto dc = std::dynamic_pointer_cast<DeviceContext>(lookupLocked(hdc));
  auto target = lookupLocked(object);
  if (!dc || !target) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (auto bitmap = std::dynamic_pointer_cast<Bitmap>(target)) {
    // A bitmap other than the stock one belongs to one device context at a time.
    if (bitmap != dc->bitmap && !bitmap->stock && bitmap->selectedCount > 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    return swapSelected(dc->bitmap, bitmap);
  }
  if (auto font = std::dynamic_pointer_cast<Font>(target)) return swapSelected(dc->font, font);
  if (auto brush = std::dynamic_pointer_cast<Brush>(target)) return swapSelected(dc->brush, brush);
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
  std::lock_guard lock(gMutex);
  auto target = lookupLocked(object);
  if (!target || std::dynamic_pointer_cast<DeviceContext>(target)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (target->stock) return TRUE;
  // Deleting an object that a device context still uses is refused.
  if (target->selectedCount > 0) return FALSE;
  table().erase(reinterpret_cast<uintptr_t>(object));
  return TRUE;
}

HBRUSH WINAPI CreateSolidBrush(COLORREF color) {
  if (injected("CreateSolidBrush")) return nullptr;
  auto brush = std::make_shared<Brush>();
  brush->color = color & 0x00FFFFFF;
  std::lock_guard lock(gMutex);
  return reinterpret_cast<HBRUSH>(insertLocked(brush));
}

int WINAPI SetBkMode(HDC hdc, int mode) {
  auto dc = lookupDc(hdc);
  if (!dc || (mode != TRANSPARENT && mode != OPAQUE)) {
    SetLastError(dc ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return 0;
  }
  std::lock_guard lock(gMutex);
  return std::exchange(dc->bkMode, mode);
}

COLORREF WINAPI SetBkColor(HDC hdc, COLORREF color) {
  auto dc = lookupDc(hdc);
  if (!dc) return CLR_INVALID;
  std::lock_guard lock(gMutex);
  return std::exchange(dc->bkColor, color & 0x00FFFFFF);
}

COLORREF WINAPI SetTextColor(HDC hdc, COLORREF color) {
  auto dc = lookupDc(hdc);
  if (!dc) return CLR_INVALID;
  std::lock_guard lock(gMutex);
  return std::exchange(dc->textColor, color & 0x00FFFFFF);
}

HFONT WINAPI CreateFontW(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                         DWORD underline, DWORD strikeOut, DWORD charSet, DWORD outPrecision, DWORD clipPrecision,
                         DWORD quality, DWORD pitchAndFamily, LPCWSTR faceName) {
  if (injected("CreateFontW")) return nullptr;
  if (height == std::numeric_limits<int>::min() || weight < 0 || weight > 1000) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto font = std::make_shared<Font>();
  font->height = height;
  font->weight = weight == FW_DONTCARE ? FW_NORMAL : weight;
  font->face = faceName ? std::wstring(faceName, wcsnlen(faceName, 32)) : L"";
  std::lock_guard lock(gMutex);
  return reinterpret_cast<HFONT>(insertLocked(font));
}

// Drawing here is synchronous: nothing is batched.
BOOL WINAPI GdiFlush() { return TRUE; }

int WINAPI FillRect(HDC hdc, const RECT* rect, HBRUSH brushHandle) {
  if (injected("FillRect")) return 0;
  auto dc = lookupDc(hdc);
  auto brush = lookupBrush(brushHandle);
  if (!dc || !brush || !rect) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::shared_ptr<Bitmap> bitmap;
  {
    std::lock_guard lock(gMutex);
    bitmap = dc->bitmap;
  }
  fillPixels(*bitmap, *rect, brush->color);
  return 1;
}

int WINAPI DrawTextW(HDC hdc, LPCWSTR text, int count, LPRECT rect, UINT format) {
  if (injected("DrawTextW")) return 0;
  auto dc = lookupDc(hdc);
  if (!dc || !text || !rect || count < -1) {
    SetLastError(dc ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return 0;
  }
  std::wstring line = count == -1 ? std::wstring(text) : std::wstring(text, static_cast<size_t>(count));
  DeviceContext snapshot;
  {
    std::lock_guard lock(gMutex);
    snapshot.bitmap = dc->bitmap;
    snapshot.font = dc->font;
    snapshot.textColor = dc->textColor;
    snapshot.bkColor = dc->bkColor;
    snapshot.bkMode = dc->bkMode;
  }
  return drawTextLine(snapshot, std::move(line), rect, format);
}
