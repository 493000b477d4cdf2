#pragma once
// The pixel formats the system moves: packed NV12 (luma rows, then rows of
// interleaved U,V for each 2x2 block), 8-bit BGR and BGRA, and the BT.601
// studio-range arithmetic between them. Every conversion gives the same bytes
// whichever vector kernel the CPU runs.
#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tesmira {

namespace bt601 {

// RGB to studio-range YUV, weights out of 256.
inline constexpr int kLumaR = 66, kLumaG = 129, kLumaB = 25;
inline constexpr int kUB = 112, kUG = -74, kUR = -38;
inline constexpr int kVR = 112, kVG = -94, kVB = -18;
// YUV back to RGB: Y above 16 scaled by 298, chroma around 128 weighted, out of 256.
inline constexpr int kLumaScale = 298;
inline constexpr int kBlueU = 516, kGreenU = -100, kGreenV = -208, kRedV = 409;

// With 8-bit inputs Y stays within 16..235 and U, V within 16..240: no clamp binds.
constexpr int luma(int b, int g, int r) { return ((kLumaR * r + kLumaG * g + kLumaB * b + 128) >> 8) + 16; }
constexpr int chromaU(int b, int g, int r) { return ((kUB * b + kUG * g + kUR * r + 128) >> 8) + 128; }
constexpr int chromaV(int b, int g, int r) { return ((kVR * r + kVG * g + kVB * b + 128) >> 8) + 128; }

}  // namespace bt601

// Packed NV12 of width x height: `height` luma rows and height / 2 chroma rows
// (rounded up), each `width` bytes.
constexpr uint64_t nv12Bytes(uint64_t width, uint64_t height) { return width * height * 3 / 2; }
constexpr uint64_t nv12Rows(uint64_t height) { return height * 3 / 2; }

// Texture formats a camera texture may come in (their DXGI_FORMAT values).
inline constexpr uint32_t kTextureFormatR8G8B8A8 = 28;
inline constexpr uint32_t kTextureFormatB8G8R8A8 = 87;
inline constexpr uint32_t kTextureFormatB8G8R8X8 = 88;

// The top-left width x height of B,G,R pixels (`stride` bytes a row) to packed NV12 of
// nv12Bytes(width, height). Chroma is the truncated mean of each 2x2 block's pixels
// that lie inside; with an odd size, chroma bytes that fall past the buffer are not written.
void bgr24ToNv12(const uint8_t* bgr, size_t stride, uint32_t width, uint32_t height, uint8_t* nv12);
// The same from B,G,R,A (or X) pixels; the fourth byte is ignored.
void bgr32ToNv12(const uint8_t* bgra, size_t stride, uint32_t width, uint32_t height, uint8_t* nv12);
// Packed NV12 to rows of width x 4 bytes B,G,R,255. An odd width or height leaves the
// last column or row as it was: its chroma pair or row is not whole in the buffer.
void nv12ToRgb32(const uint8_t* nv12, uint32_t width, uint32_t height, uint8_t* bgra);

// The --stamp-seq code bands: rows [0, H) carry code1 and [H, 2H) code2, clipped to the
// frame, in 16 bands of width / 16 columns (the last takes the rest), bit 0 leftmost.
struct StampGeometry {
  int bandHeight;
  int bandWidth;
};
constexpr StampGeometry stampGeometry(int width, int height) { return {std::max(height / 24, 6), width / 16}; }

// Calls paint(row, firstColumn, endColumn, white) for every band; nothing below 16 columns.
template <typename PaintRow>
void forEachStampBand(int width, int height, uint32_t code1, uint32_t code2, PaintRow paint) {
  if (width < 16 || height <= 0) return;
  const StampGeometry g = stampGeometry(width, height);
  for (int row = 0; row < std::min(2 * g.bandHeight, height); ++row) {
    const uint32_t code = row < g.bandHeight ? code1 : code2;
    for (int band = 0; band < 16; ++band) {
      const int first = band * g.bandWidth;
      paint(row, first, band == 15 ? width : first + g.bandWidth, ((code >> band) & 1u) != 0);
    }
  }
}

void paintCodeBandsPlane(uint8_t* plane, size_t stride, int width, int height, uint32_t code1, uint32_t code2);
void stampNv12Frame(uint8_t* luma, int width, int height, uint32_t code1, uint32_t code2);

// Decodes the 16-bit codes of a stamped luma plane (a band counts as 1 above 127).
struct StampCodes {
  uint16_t code1 = 0;
  uint16_t code2 = 0;
};
StampCodes readCodeBands(const uint8_t* luma, size_t stride, int width, int height);

}  // namespace tesmira
