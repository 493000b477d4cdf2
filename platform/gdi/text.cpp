// Text for DrawTextW: FreeType with the DejaVu fonts. Every face name is drawn
// with DejaVu Sans ("Segoe UI" included), bold from weight 600; glyphs are
// anti-aliased and blended into the selected bitmap in the text colour.
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <string>

#include "gdi/objects.h"

namespace tesmira::platform::gdi {
namespace {

constexpr const char* kFontFolder = "/usr/share/fonts/truetype/dejavu/";
constexpr int kDefaultCellHeight = 16;  // a height of 0 asks for the default size
constexpr int kMaxEmPixels = 2048;      // keeps glyph bitmaps bounded for absurd heights

std::mutex gFreeTypeMutex;  // FreeType faces are not shared between threads

struct FontFiles {
  FT_Library library = nullptr;
  std::map<std::string, FT_Face> faces;
};

FontFiles& fontFiles() {
  static auto* files = new FontFiles;
  return *files;
}

// Caller holds gFreeTypeMutex.
FT_Face openFace(const std::string& file) {
  FontFiles& files = fontFiles();
  if (!files.library && FT_Init_FreeType(&files.library) != 0) {
    files.library = nullptr;
    return nullptr;
  }
  auto it = files.faces.find(file);
  if (it != files.faces.end()) return it->second;
  FT_Face face = nullptr;
  if (FT_New_Face(files.library, file.c_str(), 0, &face) != 0) return nullptr;
  files.faces[file] = face;
  return face;
}

std::string fontFileFor(const Font& font) {
  return std::string(kFontFolder) + (font.weight >= FW_SEMIBOLD ? "DejaVuSans-Bold.ttf" : "DejaVuSans.ttf");
}

struct LineMetrics {
  int ascent;
  int descent;
};

// GDI's cell is the font's Windows ascent plus descent; a negative height names
// the em (character) height instead.
int emPixels(const Font& font, FT_Face face, const TT_OS2* os2) {
  if (font.height < 0) return std::min(-font.height, kMaxEmPixels);
  const int cellUnits = os2 ? os2->usWinAscent + os2->usWinDescent : face->ascender - face->descender;
  const int cell = font.height == 0 ? kDefaultCellHeight : font.height;
  const double em = static_cast<double>(cell) * face->units_per_EM / std::max(cellUnits, 1);
  return std::clamp(static_cast<int>(std::lround(em)), 1, kMaxEmPixels);
}

LineMetrics metricsFor(FT_Face face, const TT_OS2* os2, int em) {
  const double scale = static_cast<double>(em) / face->units_per_EM;
  const int ascentUnits = os2 ? os2->usWinAscent : face->ascender;
  const int descentUnits = os2 ? os2->usWinDescent : -face->descender;
  return {static_cast<int>(std::lround(ascentUnits * scale)), static_cast<int>(std::lround(descentUnits * scale))};
}

// Without DT_NOPREFIX an ampersand marks the next character ("&&" is one ampersand).
std::wstring withoutPrefixes(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'&' && i + 1 < text.size()) ++i;
    else if (text[i] == L'&') continue;
    out += text[i];
  }
  return out;
}

uint8_t blend(uint8_t dst, uint8_t src, unsigned coverage) {
  return static_cast<uint8_t>((dst * (255 - coverage) + src * coverage + 127) / 255);
}

int advancePixels(FT_Face face) { return static_cast<int>((face->glyph->advance.x + 32) >> 6); }

}  // namespace

int drawTextLine(DeviceContext& dc, std::wstring text, RECT* rect, UINT format) {
  if (!(format & DT_NOPREFIX)) text = withoutPrefixes(text);
  const Font& font = *dc.font;
  const Bitmap& bitmap = *dc.bitmap;

  std::lock_guard lock(gFreeTypeMutex);
  FT_Face face = openFace(fontFileFor(font));
  if (!face) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
  const int em = emPixels(font, face, os2);
  if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(em)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const LineMetrics metrics = metricsFor(face, os2, em);
  const int lineHeight = metrics.ascent + metrics.descent;

  int64_t width = 0;
  for (wchar_t ch : text) {
    if (FT_Load_Char(face, static_cast<FT_ULong>(ch), FT_LOAD_DEFAULT) == 0) width += advancePixels(face);
  }

  int64_t x = rect->left;
  if (format & DT_CENTER) x = rect->left + (static_cast<int64_t>(rect->right) - rect->left - width) / 2;
  else if (format & DT_RIGHT) x = rect->right - width;
  int64_t y = rect->top;
  if ((format & DT_SINGLELINE) && (format & DT_VCENTER))
    y = rect->top + (static_cast<int64_t>(rect->bottom) - rect->top - lineHeight) / 2;
  else if ((format & DT_SINGLELINE) && (format & DT_BOTTOM))
    y = static_cast<int64_t>(rect->bottom) - lineHeight;

  int64_t clipLeft = 0, clipTop = 0, clipRight = bitmap.width, clipBottom = bitmap.height;
  if (!(format & DT_NOCLIP)) {
    clipLeft = std::max<int64_t>(clipLeft, rect->left);
    clipTop = std::max<int64_t>(clipTop, rect->top);
    clipRight = std::min<int64_t>(clipRight, rect->right);
    clipBottom = std::min<int64_t>(clipBottom, rect->bottom);
  }
  const int bytes = bitmap.bitsPerPixel / 8;

  if (dc.bkMode == OPAQUE) {
    for (int64_t row = std::max(y, clipTop); row < std::min(y + lineHeight, clipBottom); ++row)
      for (int64_t col = std::max(x, clipLeft); col < std::min(x + width, clipRight); ++col) {
        uint8_t* p = bitmap.row(static_cast<int>(row)) + col * bytes;
        p[0] = GetBValue(dc.bkColor);
        p[1] = GetGValue(dc.bkColor);
        p[2] = GetRValue(dc.bkColor);
      }
  }

  const uint8_t blue = GetBValue(dc.textColor), green = GetGValue(dc.textColor), red = GetRValue(dc.textColor);
  const int64_t baseline = y + metrics.ascent;
  int64_t pen = x;
  for (wchar_t ch : text) {
    if (FT_Load_Char(face, static_cast<FT_ULong>(ch), FT_LOAD_DEFAULT | FT_LOAD_RENDER) != 0) continue;
    const FT_GlyphSlot glyph = face->glyph;
    const FT_Bitmap& ink = glyph->bitmap;
    const int64_t originX = pen + glyph->bitmap_left, originY = baseline - glyph->bitmap_top;
    for (unsigned gy = 0; gy < ink.rows; ++gy) {
      const int64_t row = originY + gy;
      if (row < clipTop || row >= clipBottom) continue;
      const uint8_t* coverage = ink.buffer + static_cast<int64_t>(gy) * ink.pitch;
      uint8_t* line = bitmap.row(static_cast<int>(row));
      for (unsigned gx = 0; gx < ink.width; ++gx) {
        const int64_t col = originX + gx;
        const unsigned a = coverage[gx];
        if (a == 0 || col < clipLeft || col >= clipRight) continue;
        uint8_t* p = line + col * bytes;
        p[0] = blend(p[0], blue, a);
        p[1] = blend(p[1], green, a);
        p[2] = blend(p[2], red, a);
      }
    }
    pen += advancePixels(face);
  }

  if ((format & DT_SINGLELINE) && (format & (DT_VCENTER | DT_BOTTOM)))
    return static_cast<int>(y + lineHeight - rect->top);
  return lineHeight;
}

}  // namespace tesmira::platform::gdi
