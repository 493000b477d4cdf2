#include "common/pixel_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "common/pixel_format_kernels.h"

namespace tesmira {
namespace {

using pixel_kernels::Level;

constexpr Level kLevels[] = {Level::Scalar, Level::Sse2, Level::Avx2};

struct Size {
  uint32_t width, height;
};

// The edges of what the frame channel carries: the smallest frame, both largest, and
// widths that leave every kind of tail after 16- and 32-pixel steps.
const Size kChannelEdges[] = {{2, 2},    {1920, 1080}, {1080, 1920}, {1920, 2}, {2, 1920}, {30, 4},
                              {34, 6},   {62, 4},      {66, 2},      {98, 8},   {1282, 4}, {1918, 6}};
// Sizes only the status cards meet: blocks cut by an odd edge.
const Size kOddSizes[] = {{1, 1}, {3, 2}, {3, 3}, {5, 1}, {7, 5}, {33, 3}, {65, 7}, {2, 3}};

// A B,G,R(,A) image of random pixels whose rows are `pad` bytes longer than the
// pixels, and whose last row ends the allocation (a read past it is caught).
struct Image {
  int bytesPerPixel;
  uint32_t width, height;
  size_t stride;
  std::vector<uint8_t> bytes;
  Image(int p, uint32_t w, uint32_t h, size_t pad, std::mt19937& rng)
      : bytesPerPixel(p), width(w), height(h), stride(size_t(w) * p + pad), bytes(stride * (h - 1) + size_t(w) * p) {
    for (auto& b : bytes) b = uint8_t(rng());
    // Saturated corners of the colour cube, where the sums are largest.
    const uint8_t corners[][3] = {{255, 255, 255}, {0, 0, 0}, {255, 0, 0}, {0, 255, 255}, {0, 0, 255}, {255, 255, 0}};
    for (uint32_t i = 0; i < 6 && i < w; ++i) std::copy(corners[i], corners[i] + 3, &bytes[i * p]);
  }
  const uint8_t* pixel(uint32_t x, uint32_t y) const { return &bytes[y * stride + x * bytesPerPixel]; }
};

// The conversion straight from the formulas, pixel by pixel.
std::vector<uint8_t> referenceNv12(const Image& image) {
  const uint32_t w = image.width, h = image.height;
  const size_t total = size_t(w) * h * 3 / 2;
  std::vector<uint8_t> out(total);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t* p = image.pixel(x, y);
      out[size_t(y) * w + x] = uint8_t(((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8) + 16);
    }
  }
  for (uint32_t y = 0; y < h; y += 2) {
    for (uint32_t x = 0; x < w; x += 2) {
      int u = 0, v = 0, n = 0;
      for (uint32_t yy = y; yy < std::min(y + 2, h); ++yy) {
        for (uint32_t xx = x; xx < std::min(x + 2, w); ++xx, ++n) {
          const uint8_t* p = image.pixel(xx, yy);
          u += std::clamp(((112 * p[0] - 74 * p[1] - 38 * p[2] + 128) >> 8) + 128, 0, 255);
          v += std::clamp(((112 * p[2] - 94 * p[1] - 18 * p[0] + 128) >> 8) + 128, 0, 255);
        }
      }
      const size_t at = size_t(w) * h + size_t(y / 2) * w + x;
      if (at < total) out[at] = uint8_t(u / n);
      if (at + 1 < total) out[at + 1] = uint8_t(v / n);
    }
  }
  return out;
}

std::vector<uint8_t> convert(Level level, const Image& image) {
  std::vector<uint8_t> out(size_t(image.width) * image.height * 3 / 2);  // exact: a byte past it is caught
  if (image.bytesPerPixel == 3) {
    pixel_kernels::bgr24ToNv12(level, image.bytes.data(), image.stride, image.width, image.height, out.data());
  } else {
    pixel_kernels::bgr32ToNv12(level, image.bytes.data(), image.stride, image.width, image.height, out.data());
  }
  return out;
}

void expectKernelsMatchFormulas(const std::vector<Size>& sizes, uint32_t seed) {
  std::mt19937 rng(seed);
  size_t pads[] = {0, 1, 7, 13};
  size_t turn = 0;
  for (Level level : kLevels) {
    if (!pixel_kernels::available(level)) continue;
    for (int p : {3, 4}) {
      for (Size s : sizes) {
        const Image image(p, s.width, s.height, pads[turn++ % 4], rng);
        ASSERT_EQ(convert(level, image), referenceNv12(image))
            << pixel_kernels::name(level) << " " << p << " bytes a pixel, " << s.width << "x" << s.height
            << ", stride " << image.stride;
      }
    }
  }
}

TEST(PixelFormat, Nv12SizeIsLumaPlusHalfForChroma) {
  EXPECT_EQ(nv12Bytes(1920, 1080), 3110400u);
  EXPECT_EQ(nv12Bytes(1280, 720), 1382400u);
  EXPECT_EQ(nv12Rows(720), 1080u);
  EXPECT_EQ(nv12Bytes(3, 3), 13u);  // an odd card: its last chroma bytes do not fit
}

TEST(PixelFormat, EveryKernelThisCpuRunsIsChecked) {
#if defined(__x86_64__)
  EXPECT_TRUE(pixel_kernels::available(Level::Sse2));
#endif
  EXPECT_TRUE(pixel_kernels::available(pixel_kernels::best()));
  EXPECT_TRUE(pixel_kernels::available(Level::Scalar));
}

TEST(PixelFormat, ToNv12MatchesTheFormulasAtTheChannelEdges) {
  expectKernelsMatchFormulas({std::begin(kChannelEdges), std::end(kChannelEdges)}, 1);
}

TEST(PixelFormat, ToNv12MatchesTheFormulasForEveryTail) {
  std::vector<Size> sizes;
  for (uint32_t w = 2; w <= 130; w += 2) sizes.push_back({w, w % 4 == 0 ? 2u : 4u});
  expectKernelsMatchFormulas(sizes, 2);
}

TEST(PixelFormat, ToNv12OfOddSizesStaysInsideItsBuffer) {
  expectKernelsMatchFormulas({std::begin(kOddSizes), std::end(kOddSizes)}, 3);
}

TEST(PixelFormat, PublicConversionsUseAKernelThatMatches) {
  std::mt19937 rng(4);
  const Image bgr(3, 1282, 6, 3, rng), bgra(4, 1282, 6, 5, rng);
  std::vector<uint8_t> out(nv12Bytes(1282, 6));
  bgr24ToNv12(bgr.bytes.data(), bgr.stride, bgr.width, bgr.height, out.data());
  EXPECT_EQ(out, referenceNv12(bgr));
  bgr32ToNv12(bgra.bytes.data(), bgra.stride, bgra.width, bgra.height, out.data());
  EXPECT_EQ(out, referenceNv12(bgra));
}

// ---- NV12 to RGB32 -------------------------------------------------------------------

std::vector<uint8_t> randomNv12(uint32_t w, uint32_t h, std::mt19937& rng) {
  std::vector<uint8_t> nv12(size_t(w) * h * 3 / 2);
  for (auto& b : nv12) b = uint8_t(rng());
  // The extremes of luma and chroma, where the clamps bind.
  const uint8_t extremes[] = {0, 255, 16, 235, 128};
  for (size_t i = 0; i < 5 && i < size_t(w) * h; ++i) nv12[i] = extremes[i];
  return nv12;
}

// Pixels of an odd last column or row keep what `before` held.
std::vector<uint8_t> referenceRgb32(const std::vector<uint8_t>& nv12, uint32_t w, uint32_t h, std::vector<uint8_t> out) {
  auto clampShift = [](int v) { return uint8_t(std::clamp(v >> 8, 0, 255)); };
  for (uint32_t y = 0; y < (h & ~1u); ++y) {
    for (uint32_t x = 0; x < (w & ~1u); ++x) {
      const size_t c = size_t(w) * h + size_t(y / 2) * w + (x & ~1u);
      const int luma = nv12[size_t(y) * w + x], u = nv12[c] - 128, v = nv12[c + 1] - 128;
      const int l = 298 * (luma - 16) + 128;
      uint8_t* p = &out[(size_t(y) * w + x) * 4];
      p[0] = clampShift(l + 516 * u);
      p[1] = clampShift(l - 100 * u - 208 * v);
      p[2] = clampShift(l + 409 * v);
      p[3] = 255;
    }
  }
  return out;
}

void expectRgb32MatchesFormulas(const std::vector<Size>& sizes, uint32_t seed) {
  std::mt19937 rng(seed);
  for (Level level : kLevels) {
    if (!pixel_kernels::available(level)) continue;
    for (Size s : sizes) {
      const std::vector<uint8_t> nv12 = randomNv12(s.width, s.height, rng);
      std::vector<uint8_t> out(size_t(s.width) * s.height * 4, 0x5A);
      const std::vector<uint8_t> expected = referenceRgb32(nv12, s.width, s.height, out);
      pixel_kernels::nv12ToRgb32(level, nv12.data(), s.width, s.height, out.data());
      ASSERT_EQ(out, expected) << pixel_kernels::name(level) << " " << s.width << "x" << s.height;
    }
  }
}

TEST(Nv12ToRgb32, MatchesTheFormulasAtTheChannelEdges) {
  expectRgb32MatchesFormulas({std::begin(kChannelEdges), std::end(kChannelEdges)}, 5);
}

TEST(Nv12ToRgb32, MatchesTheFormulasForEveryTailAndOddSizes) {
  std::vector<Size> sizes(std::begin(kOddSizes), std::end(kOddSizes));
  for (uint32_t w = 2; w <= 130; w += 2) sizes.push_back({w, w % 4 == 0 ? 2u : 3u});
  expectRgb32MatchesFormulas(sizes, 6);
}

TEST(Nv12ToRgb32, ConvertsWithStudioRangeCoefficients) {
  struct Row {
    uint8_t y, u, v;
    uint8_t b, g, r;
  } rows[] = {
      {128, 128, 128, 130, 130, 130},  // mid grey
      {16, 128, 128, 0, 0, 0},         // black
      {235, 128, 128, 255, 255, 255},  // white
      {255, 255, 255, 255, 125, 255},  // clamped high
      {0, 0, 0, 0, 135, 0},            // clamped low
      {81, 90, 240, 0, 0, 255},        // red
  };
  for (auto& row : rows) {
    // 2x2 image: every pixel shares the one chroma pair.
    uint8_t nv12[6] = {row.y, row.y, row.y, row.y, row.u, row.v};
    uint8_t bgra[16];
    nv12ToRgb32(nv12, 2, 2, bgra);
    for (int p = 0; p < 4; ++p) {
      EXPECT_EQ(bgra[p * 4 + 0], row.b) << int(row.y);
      EXPECT_EQ(bgra[p * 4 + 1], row.g) << int(row.y);
      EXPECT_EQ(bgra[p * 4 + 2], row.r) << int(row.y);
      EXPECT_EQ(bgra[p * 4 + 3], 255);
    }
  }
}

TEST(Nv12ToRgb32, ChromaPairsFollowColumnsAndRowPairs) {
  // 4x4: chroma rows 0 and 1, columns pairs 0-1 and 2-3 each carry their own colour.
  std::vector<uint8_t> nv12(24, 128);
  std::fill(nv12.begin(), nv12.begin() + 16, 126);
  uint8_t* uv = nv12.data() + 16;
  uv[2] = 200;  // U of columns 2-3, rows 0-1
  uv[5] = 60;   // V of columns 0-1... of the second pair -> row pair 2-3, columns 2-3
  std::vector<uint8_t> bgra(64);
  nv12ToRgb32(nv12.data(), 4, 4, bgra.data());
  auto blue = [&](int r, int c) { return bgra[(r * 4 + c) * 4]; };
  auto red = [&](int r, int c) { return bgra[(r * 4 + c) * 4 + 2]; };
  EXPECT_EQ(blue(0, 0), blue(1, 1));
  EXPECT_GT(blue(0, 2), blue(0, 0));
  EXPECT_EQ(blue(1, 3), blue(0, 2));
  EXPECT_EQ(blue(2, 2), blue(0, 0));
  EXPECT_LT(red(2, 0), red(0, 0));
  EXPECT_EQ(red(3, 1), red(2, 0));
}

}  // namespace
}  // namespace tesmira
