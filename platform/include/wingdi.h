#pragma once
// The GDI subset the product draws with: memory device contexts, DIB sections,
// solid brushes, fonts by face name and text. FillRect and DrawTextW are USER32
// calls on Windows; they draw into a GDI device context, so they live here too.
#include "minwindef.h"

typedef DWORD COLORREF;
typedef DWORD* LPCOLORREF;

#define RGB(r, g, b) ((COLORREF)(((BYTE)(r) | ((WORD)((BYTE)(g)) << 8)) | (((DWORD)(BYTE)(b)) << 16)))
#define GetRValue(rgb) ((BYTE)(rgb))
#define GetGValue(rgb) ((BYTE)(((WORD)(rgb)) >> 8))
#define GetBValue(rgb) ((BYTE)((rgb) >> 16))
#define CLR_INVALID 0xFFFFFFFF

typedef struct HDC__* HDC;
typedef void* HGDIOBJ;  // any GDI object converts to it
typedef struct HBITMAP__* HBITMAP;
typedef struct HBRUSH__* HBRUSH;
typedef struct HFONT__* HFONT;

#ifndef TESMIRA_RECT_DEFINED
#define TESMIRA_RECT_DEFINED
typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *PRECT, *LPRECT;
typedef const RECT* LPCRECT;
#endif

typedef struct tagBITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} BITMAPINFOHEADER, *LPBITMAPINFOHEADER, *PBITMAPINFOHEADER;
static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(offsetof(BITMAPINFOHEADER, biWidth) == 4);
static_assert(offsetof(BITMAPINFOHEADER, biHeight) == 8);
static_assert(offsetof(BITMAPINFOHEADER, biPlanes) == 12);
static_assert(offsetof(BITMAPINFOHEADER, biBitCount) == 14);
static_assert(offsetof(BITMAPINFOHEADER, biCompression) == 16);
static_assert(offsetof(BITMAPINFOHEADER, biSizeImage) == 20);
static_assert(offsetof(BITMAPINFOHEADER, biXPelsPerMeter) == 24);
static_assert(offsetof(BITMAPINFOHEADER, biYPelsPerMeter) == 28);
static_assert(offsetof(BITMAPINFOHEADER, biClrUsed) == 32);
static_assert(offsetof(BITMAPINFOHEADER, biClrImportant) == 36);

typedef struct tagRGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
} RGBQUAD;
static_assert(sizeof(RGBQUAD) == 4);

typedef struct tagBITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
} BITMAPINFO, *LPBITMAPINFO, *PBITMAPINFO;
static_assert(sizeof(BITMAPINFO) == 44);

#define BI_RGB 0L
#define DIB_RGB_COLORS 0

// Background modes
#define TRANSPARENT 1
#define OPAQUE 2

// Font weights
#define FW_DONTCARE 0
#define FW_THIN 100
#define FW_LIGHT 300
#define FW_NORMAL 400
#define FW_MEDIUM 500
#define FW_SEMIBOLD 600
#define FW_BOLD 700
#define FW_HEAVY 900

#define DEFAULT_CHARSET 1
#define OUT_DEFAULT_PRECIS 0
#define OUT_TT_PRECIS 4
#define CLIP_DEFAULT_PRECIS 0
#define DEFAULT_QUALITY 0
#define NONANTIALIASED_QUALITY 3
#define ANTIALIASED_QUALITY 4
#define CLEARTYPE_QUALITY 5
#define DEFAULT_PITCH 0
#define FF_DONTCARE (0 << 4)

#define HGDI_ERROR ((HGDIOBJ)(LONG_PTR)-1)

// DrawTextW formats
#define DT_TOP 0x00000000
#define DT_LEFT 0x00000000
#define DT_CENTER 0x00000001
#define DT_RIGHT 0x00000002
#define DT_VCENTER 0x00000004
#define DT_BOTTOM 0x00000008
#define DT_SINGLELINE 0x00000020
#define DT_NOCLIP 0x00000100
#define DT_NOPREFIX 0x00000800

WINBASEAPI HDC WINAPI CreateCompatibleDC(HDC hdc);
WINBASEAPI BOOL WINAPI DeleteDC(HDC hdc);
WINBASEAPI HBITMAP WINAPI CreateDIBSection(HDC hdc, const BITMAPINFO* info, UINT usage, VOID** bits,
                                           HANDLE section, DWORD offset);
WINBASEAPI HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ object);
WINBASEAPI BOOL WINAPI DeleteObject(HGDIOBJ object);
WINBASEAPI HBRUSH WINAPI CreateSolidBrush(COLORREF color);
WINBASEAPI int WINAPI SetBkMode(HDC hdc, int mode);
WINBASEAPI COLORREF WINAPI SetBkColor(HDC hdc, COLORREF color);
WINBASEAPI COLORREF WINAPI SetTextColor(HDC hdc, COLORREF color);
WINBASEAPI HFONT WINAPI CreateFontW(int height, int width, int escapement, int orientation, int weight,
                                    DWORD italic, DWORD underline, DWORD strikeOut, DWORD charSet,
                                    DWORD outPrecision, DWORD clipPrecision, DWORD quality,
                                    DWORD pitchAndFamily, LPCWSTR faceName);
WINBASEAPI BOOL WINAPI GdiFlush();
WINBASEAPI int WINAPI FillRect(HDC hdc, const RECT* rect, HBRUSH brush);
WINBASEAPI int WINAPI DrawTextW(HDC hdc, LPCWSTR text, int count, LPRECT rect, UINT format);
