#include "common/pixel_format.h"

#include <cstring>

#include "common/pixel_format_kernels.h"

// The kernels use GCC and Clang target attributes; other compilers get the formulas.
#if defined(__x86_64__) && defined(__GNUC__)
#define TESMIRA_X86_KERNELS 1
#include <immintrin.h>
#else
#define TESMIRA_X86_KERNELS 0
#endif

namespace tesmira {
namespace {

using pixel_kernels::Level;

// ---- the formulas, pixel by pixel: odd sizes, tails and CPUs without vectors -------

// Columns [first, width) of one row pair (row1 null: a last odd row). Chroma goes to
// uv[x] and uv[x + 1] while they are below uvLimit.
template <int P>
void toNv12Scalar(const uint8_t* src0, const uint8_t* src1, uint8_t* luma0, uint8_t* luma1, uint8_t* uv,
                  uint32_t first, uint32_t width, size_t uvLimit) {
  for (uint32_t x = first; x < width; x += 2) {
    const uint32_t end = std::min(x + 2, width);
    int sumU = 0, sumV = 0, count = 0;
    for (int row = 0; row < 2; ++row) {
      const uint8_t* src = row ? src1 : src0;
      uint8_t* luma = row ? luma1 : luma0;
      if (!src) break;
      for (uint32_t c = x; c < end; ++c, ++count) {
        const uint8_t* p = src + size_t(c) * P;
        luma[c] = uint8_t(bt601::luma(p[0], p[1], p[2]));
        sumU += bt601::chromaU(p[0], p[1], p[2]);
        sumV += bt601::chromaV(p[0], p[1], p[2]);
      }
    }
    if (x < uvLimit) uv[x] = uint8_t(sumU / count);
    if (x + 1 < uvLimit) uv[x + 1] = uint8_t(sumV / count);
  }
}

inline uint32_t clampByte(int v) { return uint32_t(std::clamp(v, 0, 255)); }

// Column pairs from `first` of one luma row with its chroma row.
void nv12RowScalar(const uint8_t* luma, const uint8_t* uv, uint8_t* bgra, uint32_t first, uint32_t width) {
  for (uint32_t c = first; c + 1 < width; c += 2) {
    const int p = int(uv[c]) - 128, q = int(uv[c + 1]) - 128;
    const int blue = bt601::kBlueU * p, green = bt601::kGreenU * p + bt601::kGreenV * q, red = bt601::kRedV * q;
    for (uint32_t k = c; k < c + 2; ++k) {
      const int l = bt601::kLumaScale * (int(luma[k]) - 16) + 128;
      const uint32_t pixel =
          clampByte((l + blue) >> 8) | clampByte((l + green) >> 8) << 8 | clampByte((l + red) >> 8) << 16 | 0xFF000000u;
      std::memcpy(bgra + size_t(k) * 4, &pixel, 4);
    }
  }
}

// A kernel converts whole 2x2 blocks of one row pair from column 0 and returns the
// columns it did (at most width, which is even).
using ToNv12Kernel = uint32_t (*)(const uint8_t* src0, const uint8_t* src1, uint8_t* luma0, uint8_t* luma1,
                                  uint8_t* uv, uint32_t width);
// The same for luma rows 2r and 2r + 1 and their chroma row r.
using Nv12RowsKernel = uint32_t (*)(const uint8_t* luma0, const uint8_t* luma1, const uint8_t* uv, uint8_t* bgra0,
                                    uint8_t* bgra1, uint32_t width);

#if TESMIRA_X86_KERNELS

// The loops over the two rows or halves of a step are unrolled, so that their
// two-element arrays stay in registers.
//
// The compiler turns a multiply by a known constant into shifts and adds, several
// instructions for one; hiding the constant keeps the single multiply.
inline __m128i opaque(__m128i x) {
  __asm__("" : "+x"(x));
  return x;
}
__attribute__((target("avx2"))) inline __m256i opaque(__m256i x) {
  __asm__("" : "+x"(x));
  return x;
}

// ---- BGR to NV12 -----------------------------------------------------------------
//
// Each pixel goes into a 32-bit quad B,G,R,G, so one multiply-add of unsigned bytes by
// signed byte weights gives two 16-bit partial sums a pixel; green is weighted in two
// halves so no partial sum saturates. The per-pixel shifts come before the chroma of
// a block is summed, exactly as the formulas do.

struct QuadWeights {
  int b, g1, r, g2;
};
constexpr QuadWeights splitGreen(int b, int g, int r, int g2) { return {b, g - g2, r, g2}; }
constexpr QuadWeights kLumaQuad = splitGreen(bt601::kLumaB, bt601::kLumaG, bt601::kLumaR, 59);
constexpr QuadWeights kUQuad = splitGreen(bt601::kUB, bt601::kUG, bt601::kUR, bt601::kUG / 2);
constexpr QuadWeights kVQuad = splitGreen(bt601::kVB, bt601::kVG, bt601::kVR, bt601::kVG / 2);

constexpr bool fitsByte(int w) { return w >= -128 && w <= 127; }
// Both byte pairs stay within a signed 16-bit sum for any 8-bit pixel.
constexpr bool pairFits(int w0, int w1) {
  return 255 * (std::max(w0, 0) + std::max(w1, 0)) <= 32767 && 255 * (std::min(w0, 0) + std::min(w1, 0)) >= -32768;
}
constexpr bool quadFits(QuadWeights q) {
  return fitsByte(q.b) && fitsByte(q.g1) && fitsByte(q.r) && fitsByte(q.g2) && pairFits(q.b, q.g1) && pairFits(q.r, q.g2);
}
static_assert(quadFits(kLumaQuad) && quadFits(kUQuad) && quadFits(kVQuad));
// The luma sum plus its rounding and offset stays below 2^16 (read unsigned).
static_assert(255 * (bt601::kLumaR + bt601::kLumaG + bt601::kLumaB) + 128 + (16 << 8) < 65536);

constexpr int32_t quadWord(QuadWeights q) {
  return int32_t(uint32_t(uint8_t(q.b)) | uint32_t(uint8_t(q.g1)) << 8 | uint32_t(uint8_t(q.r)) << 16 |
                 uint32_t(uint8_t(q.g2)) << 24);
}

constexpr int16_t kLumaBias = 128 + (16 << 8);  // rounding, then +16 once shifted
constexpr int16_t kChromaRound = 128;
constexpr int16_t kBlockBias = 4 * 128;  // the four pixels' +128, added before the mean

// Four pixels of 3 bytes at p into quads (12 bytes read).
inline __m128i quads4Bgr24Sse2(const uint8_t* p) {
  int32_t last;
  std::memcpy(&last, p + 8, 4);
  const __m128i x = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_cvtsi32_si128(last));
  return _mm_unpacklo_epi64(_mm_unpacklo_epi32(x, _mm_srli_si128(x, 3)),
                            _mm_unpacklo_epi32(_mm_srli_si128(x, 6), _mm_srli_si128(x, 9)));
}

template <int P>
inline __m128i quads4Sse2(const uint8_t* p) {
  if constexpr (P == 3) return quads4Bgr24Sse2(p);
  else return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// One channel of eight pixels (two quads) as 16-bit lanes.
inline __m128i bytePlaneSse2(__m128i q0, __m128i q1, int shift) {
  const __m128i mask = _mm_set1_epi32(0xFF);
  return _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(q0, shift), mask), _mm_and_si128(_mm_srli_epi32(q1, shift), mask));
}

inline __m128i weighted3Sse2(__m128i b, __m128i g, __m128i r, int wb, int wg, int wr, int16_t bias) {
  return _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(b, opaque(_mm_set1_epi16(int16_t(wb)))),
                                     _mm_mullo_epi16(g, opaque(_mm_set1_epi16(int16_t(wg))))),
                       _mm_add_epi16(_mm_mullo_epi16(r, opaque(_mm_set1_epi16(int16_t(wr)))), _mm_set1_epi16(bias)));
}

// 16 columns of a row pair per step, in planar 16-bit lanes.
template <int P>
uint32_t toNv12Sse2(const uint8_t* src0, const uint8_t* src1, uint8_t* luma0, uint8_t* luma1, uint8_t* uv,
                    uint32_t width) {
  using namespace bt601;
  const __m128i ones = _mm_set1_epi16(1), blockBias = _mm_set1_epi32(kBlockBias);
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    __m128i uSum[2], vSum[2];
    #pragma GCC unroll 2
    for (int row = 0; row < 2; ++row) {
      const uint8_t* src = (row ? src1 : src0) + size_t(x) * P;
      __m128i y[2];
      #pragma GCC unroll 2
      for (int half = 0; half < 2; ++half) {
        const __m128i q0 = quads4Sse2<P>(src + 8 * half * P), q1 = quads4Sse2<P>(src + (8 * half + 4) * P);
        const __m128i b = bytePlaneSse2(q0, q1, 0), g = bytePlaneSse2(q0, q1, 8), r = bytePlaneSse2(q0, q1, 16);
        y[half] = _mm_srli_epi16(weighted3Sse2(b, g, r, kLumaB, kLumaG, kLumaR, kLumaBias), 8);
        const __m128i u = _mm_srai_epi16(weighted3Sse2(b, g, r, kUB, kUG, kUR, kChromaRound), 8);
        const __m128i v = _mm_srai_epi16(weighted3Sse2(b, g, r, kVB, kVG, kVR, kChromaRound), 8);
        uSum[half] = row ? _mm_add_epi16(uSum[half], u) : u;
        vSum[half] = row ? _mm_add_epi16(vSum[half], v) : v;
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>((row ? luma1 : luma0) + x), _mm_packus_epi16(y[0], y[1]));
    }
    __m128i words[2];
    #pragma GCC unroll 2
    for (int half = 0; half < 2; ++half) {
      // Neighbouring columns summed to 32 bits: the block's sum, then its truncated mean.
      const __m128i u = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(uSum[half], ones), blockBias), 2);
      const __m128i v = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(vSum[half], ones), blockBias), 2);
      words[half] = _mm_or_si128(u, _mm_slli_epi32(v, 16));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + x), _mm_packus_epi16(words[0], words[1]));
  }
  return x;
}

// Eight pixels at p into quads, pixels 0-3 in the low lane and 4-7 in the high one
// (exactly 8 x P bytes read).
template <int P>
__attribute__((target("avx2"))) inline __m256i quads8Avx2(const uint8_t* p) {
  if constexpr (P == 3) {
    // The high lane is loaded from byte 8, so its pixels begin 4 bytes in.
    const __m256i gather = _mm256_setr_epi8(0, 1, 2, 1, 3, 4, 5, 4, 6, 7, 8, 7, 9, 10, 11, 10,  //
                                            4, 5, 6, 5, 7, 8, 9, 8, 10, 11, 12, 11, 13, 14, 15, 14);
    const __m256i bytes = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)), 1);
    return _mm256_shuffle_epi8(bytes, gather);
  } else {
    const __m256i gather = _mm256_setr_epi8(0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13,  //
                                            0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13);
    return _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), gather);
  }
}

// 32 columns of a row pair per step. The horizontal adds leave pixels in the lane order
// 0-3, 8-11 | 4-7, 12-15; one dword permutation per store puts them back.
template <int P>
__attribute__((target("avx2"))) uint32_t toNv12Avx2(const uint8_t* src0, const uint8_t* src1, uint8_t* luma0,
                                                     uint8_t* luma1, uint8_t* uv, uint32_t width) {
  const __m256i wY = _mm256_set1_epi32(quadWord(kLumaQuad)), wU = _mm256_set1_epi32(quadWord(kUQuad)),
                wV = _mm256_set1_epi32(quadWord(kVQuad));
  const __m256i lumaBias = _mm256_set1_epi16(kLumaBias), chromaRound = _mm256_set1_epi16(kChromaRound),
                blockBias = _mm256_set1_epi16(kBlockBias);
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  const __m256i pairUV = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,  //
                                          0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  uint32_t x = 0;
  for (; x + 32 <= width; x += 32) {
    __m256i uSum[2], vSum[2];
    #pragma GCC unroll 2
    for (int row = 0; row < 2; ++row) {
      const uint8_t* src = (row ? src1 : src0) + size_t(x) * P;
      __m256i y[2];
      #pragma GCC unroll 2
      for (int half = 0; half < 2; ++half) {
        const __m256i q0 = quads8Avx2<P>(src + 16 * half * P), q1 = quads8Avx2<P>(src + (16 * half + 8) * P);
        const __m256i sumY = _mm256_hadd_epi16(_mm256_maddubs_epi16(q0, wY), _mm256_maddubs_epi16(q1, wY));
        y[half] = _mm256_srli_epi16(_mm256_add_epi16(sumY, lumaBias), 8);
        const __m256i sumU = _mm256_hadd_epi16(_mm256_maddubs_epi16(q0, wU), _mm256_maddubs_epi16(q1, wU));
        const __m256i sumV = _mm256_hadd_epi16(_mm256_maddubs_epi16(q0, wV), _mm256_maddubs_epi16(q1, wV));
        const __m256i u = _mm256_srai_epi16(_mm256_add_epi16(sumU, chromaRound), 8);
        const __m256i v = _mm256_srai_epi16(_mm256_add_epi16(sumV, chromaRound), 8);
        uSum[half] = row ? _mm256_add_epi16(uSum[half], u) : u;
        vSum[half] = row ? _mm256_add_epi16(vSum[half], v) : v;
      }
      _mm256_storeu_si256(reinterpret_cast<__m256i*>((row ? luma1 : luma0) + x),
                          _mm256_permutevar8x32_epi32(_mm256_packus_epi16(y[0], y[1]), order));
    }
    __m256i means[2];
    #pragma GCC unroll 2
    for (int half = 0; half < 2; ++half) {
      const __m256i blocks = _mm256_hadd_epi16(uSum[half], vSum[half]);  // U of 4 blocks, V of the same 4, a lane
      means[half] = _mm256_srai_epi16(_mm256_add_epi16(blocks, blockBias), 2);
    }
    const __m256i packed = _mm256_shuffle_epi8(_mm256_packus_epi16(means[0], means[1]), pairUV);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv + x), _mm256_permutevar8x32_epi32(packed, order));
  }
  return x;
}

// ---- NV12 to RGB32 ---------------------------------------------------------------
//
// 298 and each chroma weight are split into a multiple of 256 and a small rest, so
// (l + chroma) >> 8 becomes whole + ((rest) >> 8) with the rest inside 16 bits:
//   ((298 (Y - 16) + 128 + cu (U - 128) + cv (V - 128)) >> 8)
//     = (Y - 16 + wu (U - 128) + wv (V - 128)) + ((42 (Y - 16) + 128 + fu (U - 128) + fv (V - 128)) >> 8)
// with cu = 256 wu + fu, cv = 256 wv + fv. Both parts are exact in 16-bit lanes.

constexpr int kLumaRest = bt601::kLumaScale - 256;
constexpr int wholeOf(int weight) { return (weight + 128) >> 8; }

struct ChannelSplit {
  int restU, restV;    // on U and V
  int wholeU, wholeV;  // multiples of 256
  int restBias;        // everything constant in the rest, with 42 Y left apart
  int wholeBias;       // everything constant in the whole part, with Y left apart
};
constexpr ChannelSplit splitChannel(int weightU, int weightV) {
  const int wu = wholeOf(weightU), wv = wholeOf(weightV);
  const int fu = weightU - 256 * wu, fv = weightV - 256 * wv;
  return {fu, fv, wu, wv, 128 - 16 * kLumaRest - 128 * (fu + fv), -16 - 128 * (wu + wv)};
}
constexpr ChannelSplit kBlueSplit = splitChannel(bt601::kBlueU, 0);
constexpr ChannelSplit kGreenSplit = splitChannel(bt601::kGreenU, bt601::kGreenV);
constexpr ChannelSplit kRedSplit = splitChannel(0, bt601::kRedV);

// The rest, 42 Y + fu U + fv V + bias, over every 8-bit Y, U and V stays a signed 16-bit value.
constexpr bool restFits(ChannelSplit s) {
  const int low = 255 * (std::min(s.restU, 0) + std::min(s.restV, 0)) + s.restBias;
  const int high = 255 * (kLumaRest + std::max(s.restU, 0) + std::max(s.restV, 0)) + s.restBias;
  return low >= -32768 && high <= 32767;
}
static_assert(kLumaRest >= 0 && restFits(kBlueSplit) && restFits(kGreenSplit) && restFits(kRedSplit));

// w x in 16-bit lanes, without a multiply where none is needed.
template <int W>
inline __m128i weightedSse2(__m128i x) {
  if constexpr (W == 0) return _mm_setzero_si128();
  else if constexpr (W == 1) return x;
  else if constexpr (W == -1) return _mm_sub_epi16(_mm_setzero_si128(), x);
  else if constexpr (W == 2) return _mm_add_epi16(x, x);
  else return _mm_mullo_epi16(x, opaque(_mm_set1_epi16(int16_t(W))));
}
template <int W>
__attribute__((target("avx2"))) inline __m256i weightedAvx2(__m256i x) {
  if constexpr (W == 0) return _mm256_setzero_si256();
  else if constexpr (W == 1) return x;
  else if constexpr (W == -1) return _mm256_sub_epi16(_mm256_setzero_si256(), x);
  else if constexpr (W == 2) return _mm256_add_epi16(x, x);
  else return _mm256_mullo_epi16(x, opaque(_mm256_set1_epi16(int16_t(W))));
}

// The chroma parts of one channel for 8 (SSE2) or 16 (AVX2) pixels, U and V duplicated a pixel.
struct ChromaSse2 {
  __m128i rest, whole;
};
template <const ChannelSplit& S>
inline ChromaSse2 chromaSse2(__m128i u, __m128i v) {
  return {_mm_add_epi16(_mm_add_epi16(weightedSse2<S.restU>(u), weightedSse2<S.restV>(v)), _mm_set1_epi16(int16_t(S.restBias))),
          _mm_add_epi16(_mm_add_epi16(weightedSse2<S.wholeU>(u), weightedSse2<S.wholeV>(v)), _mm_set1_epi16(int16_t(S.wholeBias)))};
}
inline __m128i channelSse2(__m128i y, __m128i yRest, ChromaSse2 c) {
  return _mm_add_epi16(_mm_srai_epi16(_mm_add_epi16(yRest, c.rest), 8), _mm_add_epi16(y, c.whole));
}

struct ChromaAvx2 {
  __m256i rest, whole;
};
template <const ChannelSplit& S>
__attribute__((target("avx2"))) inline ChromaAvx2 chromaAvx2(__m256i u, __m256i v) {
  return {_mm256_add_epi16(_mm256_add_epi16(weightedAvx2<S.restU>(u), weightedAvx2<S.restV>(v)),
                           _mm256_set1_epi16(int16_t(S.restBias))),
          _mm256_add_epi16(_mm256_add_epi16(weightedAvx2<S.wholeU>(u), weightedAvx2<S.wholeV>(v)),
                           _mm256_set1_epi16(int16_t(S.wholeBias)))};
}
__attribute__((target("avx2"))) inline __m256i channelAvx2(__m256i y, __m256i yRest, ChromaAvx2 c) {
  return _mm256_add_epi16(_mm256_srai_epi16(_mm256_add_epi16(yRest, c.rest), 8), _mm256_add_epi16(y, c.whole));
}

// 16 pixels of both rows per step.
uint32_t nv12RowsSse2(const uint8_t* luma0, const uint8_t* luma1, const uint8_t* uvRow, uint8_t* bgra0, uint8_t* bgra1,
                      uint32_t width) {
  const __m128i zero = _mm_setzero_si128(), alpha = _mm_set1_epi8(char(0xFF));
  const __m128i lumaRest = opaque(_mm_set1_epi16(int16_t(kLumaRest)));
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i uv8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uvRow + x));
    ChromaSse2 blue[2], green[2], red[2];
    #pragma GCC unroll 2
    for (int half = 0; half < 2; ++half) {
      const __m128i uv = half ? _mm_unpackhi_epi8(uv8, zero) : _mm_unpacklo_epi8(uv8, zero);
      const __m128i u = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv, _MM_SHUFFLE(2, 2, 0, 0)), _MM_SHUFFLE(2, 2, 0, 0));
      const __m128i v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv, _MM_SHUFFLE(3, 3, 1, 1)), _MM_SHUFFLE(3, 3, 1, 1));
      blue[half] = chromaSse2<kBlueSplit>(u, v);
      green[half] = chromaSse2<kGreenSplit>(u, v);
      red[half] = chromaSse2<kRedSplit>(u, v);
    }
    #pragma GCC unroll 2
    for (int row = 0; row < 2; ++row) {
      const __m128i y8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>((row ? luma1 : luma0) + x));
      __m128i b[2], g[2], r[2];
      #pragma GCC unroll 2
      for (int half = 0; half < 2; ++half) {
        const __m128i y = half ? _mm_unpackhi_epi8(y8, zero) : _mm_unpacklo_epi8(y8, zero);
        const __m128i yRest = _mm_mullo_epi16(y, lumaRest);
        b[half] = channelSse2(y, yRest, blue[half]);
        g[half] = channelSse2(y, yRest, green[half]);
        r[half] = channelSse2(y, yRest, red[half]);
      }
      const __m128i b8 = _mm_packus_epi16(b[0], b[1]), g8 = _mm_packus_epi16(g[0], g[1]),
                    r8 = _mm_packus_epi16(r[0], r[1]);
      const __m128i bg0 = _mm_unpacklo_epi8(b8, g8), bg1 = _mm_unpackhi_epi8(b8, g8);
      const __m128i ra0 = _mm_unpacklo_epi8(r8, alpha), ra1 = _mm_unpackhi_epi8(r8, alpha);
      auto* out = reinterpret_cast<__m128i*>((row ? bgra1 : bgra0) + size_t(x) * 4);
      _mm_storeu_si128(out + 0, _mm_unpacklo_epi16(bg0, ra0));
      _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(bg0, ra0));
      _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(bg1, ra1));
      _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(bg1, ra1));
    }
  }
  return x;
}

// 32 pixels of both rows per step. Unpacking and packing stay inside 128-bit lanes; the
// loads deal groups of 4 pixels to the lanes in turn (0-3, 8-11, ... | 4-7, 12-15, ...),
// so that the last unpacking puts 8 pixels in order into each register.
__attribute__((target("avx2"))) uint32_t nv12RowsAvx2(const uint8_t* luma0, const uint8_t* luma1,
                                                       const uint8_t* uvRow, uint8_t* bgra0, uint8_t* bgra1,
                                                       uint32_t width) {
  const __m256i zero = _mm256_setzero_si256(), alpha = _mm256_set1_epi8(char(0xFF));
  const __m256i lumaRest = opaque(_mm256_set1_epi16(int16_t(kLumaRest)));
  const __m256i deal = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  // Each chroma byte widened and doubled: U (or V) of pixels 0-7 and 8-15 of a lane's 16.
  const __m256i uLow = _mm256_setr_epi8(0, -1, 0, -1, 2, -1, 2, -1, 4, -1, 4, -1, 6, -1, 6, -1,  //
                                        0, -1, 0, -1, 2, -1, 2, -1, 4, -1, 4, -1, 6, -1, 6, -1);
  // The others shift the even (index) bytes only: -1 stays -1 and still zeroes.
  const __m256i uHigh = _mm256_add_epi8(uLow, _mm256_set1_epi16(8));
  const __m256i vLow = _mm256_add_epi8(uLow, _mm256_set1_epi16(1));
  const __m256i vHigh = _mm256_add_epi8(uLow, _mm256_set1_epi16(9));
  uint32_t x = 0;
  for (; x + 32 <= width; x += 32) {
    const __m256i uv8 = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(uvRow + x)), deal);
    ChromaAvx2 blue[2], green[2], red[2];
    #pragma GCC unroll 2
    for (int half = 0; half < 2; ++half) {
      const __m256i u = _mm256_shuffle_epi8(uv8, half ? uHigh : uLow);
      const __m256i v = _mm256_shuffle_epi8(uv8, half ? vHigh : vLow);
      blue[half] = chromaAvx2<kBlueSplit>(u, v);
      green[half] = chromaAvx2<kGreenSplit>(u, v);
      red[half] = chromaAvx2<kRedSplit>(u, v);
    }
    #pragma GCC unroll 2
    for (int row = 0; row < 2; ++row) {
      const __m256i y8 = _mm256_permutevar8x32_epi32(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>((row ? luma1 : luma0) + x)), deal);
      __m256i b[2], g[2], r[2];
      #pragma GCC unroll 2
      for (int half = 0; half < 2; ++half) {
        const __m256i y = half ? _mm256_unpackhi_epi8(y8, zero) : _mm256_unpacklo_epi8(y8, zero);
        const __m256i yRest = _mm256_mullo_epi16(y, lumaRest);
        b[half] = channelAvx2(y, yRest, blue[half]);
        g[half] = channelAvx2(y, yRest, green[half]);
        r[half] = channelAvx2(y, yRest, red[half]);
      }
      const __m256i b8 = _mm256_packus_epi16(b[0], b[1]), g8 = _mm256_packus_epi16(g[0], g[1]),
                    r8 = _mm256_packus_epi16(r[0], r[1]);
      const __m256i bg0 = _mm256_unpacklo_epi8(b8, g8), bg1 = _mm256_unpackhi_epi8(b8, g8);
      const __m256i ra0 = _mm256_unpacklo_epi8(r8, alpha), ra1 = _mm256_unpackhi_epi8(r8, alpha);
      auto* out = reinterpret_cast<__m256i*>((row ? bgra1 : bgra0) + size_t(x) * 4);
      _mm256_storeu_si256(out + 0, _mm256_unpacklo_epi16(bg0, ra0));
      _mm256_storeu_si256(out + 1, _mm256_unpackhi_epi16(bg0, ra0));
      _mm256_storeu_si256(out + 2, _mm256_unpacklo_epi16(bg1, ra1));
      _mm256_storeu_si256(out + 3, _mm256_unpackhi_epi16(bg1, ra1));
    }
  }
  return x;
}

bool cpuHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

#endif  // TESMIRA_X86_KERNELS

template <int P>
ToNv12Kernel toNv12Kernel(Level level) {
#if TESMIRA_X86_KERNELS
  if (level == Level::Avx2) return &toNv12Avx2<P>;
  if (level == Level::Sse2) return &toNv12Sse2<P>;
#endif
  return nullptr;
}

Nv12RowsKernel nv12RowsKernel(Level level) {
#if TESMIRA_X86_KERNELS
  if (level == Level::Avx2) return &nv12RowsAvx2;
  if (level == Level::Sse2) return &nv12RowsSse2;
#endif
  return nullptr;
}

template <int P>
void toNv12(Level level, const uint8_t* src, size_t stride, uint32_t width, uint32_t height, uint8_t* nv12) {
  if (!src || !nv12 || width == 0 || height == 0 || !pixel_kernels::available(level)) return;
  const ToNv12Kernel kernel = toNv12Kernel<P>(level);
  const size_t total = nv12Bytes(width, height);
  for (uint32_t row = 0; row < height; row += 2) {
    const bool pair = row + 1 < height;
    const uint8_t* src0 = src + size_t(row) * stride;
    const uint8_t* src1 = pair ? src0 + stride : nullptr;
    uint8_t* luma0 = nv12 + size_t(row) * width;
    uint8_t* luma1 = pair ? luma0 + width : nullptr;
    const size_t uvOffset = size_t(width) * height + size_t(row / 2) * width;
    uint8_t* uv = nv12 + uvOffset;
    const size_t uvLimit = std::min<size_t>(width, total - uvOffset);
    uint32_t done = 0;
    if (kernel && pair) done = kernel(src0, src1, luma0, luma1, uv, uint32_t(std::min<size_t>(width, uvLimit)) & ~1u);
    toNv12Scalar<P>(src0, src1, luma0, luma1, uv, done, width, uvLimit);
  }
}

}  // namespace

namespace pixel_kernels {

Level best() {
#if TESMIRA_X86_KERNELS
  static const Level level = cpuHasAvx2() ? Level::Avx2 : Level::Sse2;
  return level;
#else
  return Level::Scalar;
#endif
}

bool available(Level level) { return int(level) <= int(best()); }

const char* name(Level level) {
  switch (level) {
    case Level::Scalar: return "scalar";
    case Level::Sse2: return "sse2";
    case Level::Avx2: return "avx2";
  }
  return "?";
}

void bgr24ToNv12(Level level, const uint8_t* bgr, size_t stride, uint32_t width, uint32_t height, uint8_t* nv12) {
  toNv12<3>(level, bgr, stride, width, height, nv12);
}

void bgr32ToNv12(Level level, const uint8_t* bgra, size_t stride, uint32_t width, uint32_t height, uint8_t* nv12) {
  toNv12<4>(level, bgra, stride, width, height, nv12);
}

void nv12ToRgb32(Level level, const uint8_t* nv12, uint32_t width, uint32_t height, uint8_t* bgra) {
  if (!nv12 || !bgra || !available(level)) return;
  const Nv12RowsKernel kernel = nv12RowsKernel(level);
  const uint8_t* chroma = nv12 + size_t(width) * height;
  // Only whole row pairs: the chroma row of a last odd row lies partly past the buffer.
  for (uint32_t row = 0; row + 1 < height; row += 2) {
    const uint8_t* luma0 = nv12 + size_t(row) * width;
    const uint8_t* luma1 = luma0 + width;
    const uint8_t* uv = chroma + size_t(row / 2) * width;
    uint8_t* out0 = bgra + size_t(row) * width * 4;
    uint8_t* out1 = out0 + size_t(width) * 4;
    const uint32_t done = kernel ? kernel(luma0, luma1, uv, out0, out1, width & ~1u) : 0;
    nv12RowScalar(luma0, uv, out0, done, width);
    nv12RowScalar(luma1, uv, out1, done, width);
  }
}

}  // namespace pixel_kernels

void bgr24ToNv12(const uint8_t* bgr, size_t stride, uint32_t width, uint32_t height, uint8_t* nv12) {
  pixel_kernels::bgr24ToNv12(pixel_kernels::best(), bgr, stride, width, height, nv12);
}

void bgr32ToNv12(const uint8_t* bgra, size_t stride, uint32_t width, uint32_t height, uint8_t* nv12) {
  pixel_kernels::bgr32ToNv12(pixel_kernels::best(), bgra, stride, width, height, nv12);
}

void nv12ToRgb32(const uint8_t* nv12, uint32_t width, uint32_t height, uint8_t* bgra) {
  pixel_kernels::nv12ToRgb32(pixel_kernels::best(), nv12, width, height, bgra);
}

void paintCodeBandsPlane(uint8_t* plane, size_t stride, int width, int height, uint32_t code1, uint32_t code2) {
  if (!plane) return;
  forEachStampBand(width, height, code1, code2, [&](int row, int first, int end, bool white) {
    std::memset(plane + size_t(row) * stride + first, white ? 255 : 0, size_t(end - first));
  });
}

void stampNv12Frame(uint8_t* luma, int width, int height, uint32_t code1, uint32_t code2) {
  paintCodeBandsPlane(luma, size_t(std::max(width, 0)), width, height, code1, code2);
}

StampCodes readCodeBands(const uint8_t* luma, size_t stride, int width, int height) {
  StampCodes codes;
  if (!luma || width < 16 || height <= 0) return codes;
  const StampGeometry g = stampGeometry(width, height);
  auto readRow = [&](int row) {
    uint16_t code = 0;
    for (int band = 0; band < 16; ++band) {
      if (luma[size_t(row) * stride + size_t(band * g.bandWidth + g.bandWidth / 2)] > 127) code |= uint16_t(1u << band);
    }
    return code;
  };
  codes.code1 = readRow(std::min(g.bandHeight / 2, height - 1));
  codes.code2 = readRow(std::min(g.bandHeight + g.bandHeight / 2, height - 1));
  return codes;
}

}  // namespace tesmira
