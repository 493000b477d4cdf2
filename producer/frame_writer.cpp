#include "producer/frame_writer.h"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "producer/kernel_objects.h"

namespace tesmira {
namespace {

// With 8-bit inputs U and V stay within 16..240, so the clamp to 0..255 never
// binds and the sums below cannot overflow 16 bits.
inline uint8_t lumaOf(int b, int g, int r) { return uint8_t(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16); }
inline int chromaU(int b, int g, int r) { return ((112 * b - 74 * g - 38 * r + 128) >> 8) + 128; }
inline int chromaV(int b, int g, int r) { return ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128; }

// Columns [first, width) of one pair of rows, one 2x2 block at a time.
void convertRowPairScalar(const uint8_t* src0, const uint8_t* src1, uint8_t* luma0, uint8_t* luma1, uint8_t* uv,
                          int first, int width) {
  for (int x = first; x < width; x += 2) {
    const uint8_t* p[4] = {src0 + 3 * x, src0 + 3 * x + 3, src1 + 3 * x, src1 + 3 * x + 3};
    luma0[x] = lumaOf(p[0][0], p[0][1], p[0][2]);
    luma0[x + 1] = lumaOf(p[1][0], p[1][1], p[1][2]);
    luma1[x] = lumaOf(p[2][0], p[2][1], p[2][2]);
    luma1[x + 1] = lumaOf(p[3][0], p[3][1], p[3][2]);
    int u = 0, v = 0;
    for (const uint8_t* px : p) {
      u += chromaU(px[0], px[1], px[2]);
      v += chromaV(px[0], px[1], px[2]);
    }
    uv[x] = uint8_t(u >> 2);
    uv[x + 1] = uint8_t(v >> 2);
  }
}

#if CV_SIMD128
// 16 columns of a pair of rows per step: the same integer arithmetic in 16-bit lanes.
int convertRowPairSimd(const uint8_t* src0, const uint8_t* src1, uint8_t* luma0, uint8_t* luma1, uint8_t* uv, int width) {
  const cv::v_uint16x8 kYr = cv::v_setall_u16(66), kYg = cv::v_setall_u16(129), kYb = cv::v_setall_u16(25);
  const cv::v_uint16x8 kYround = cv::v_setall_u16(128), kYoffset = cv::v_setall_u16(16);
  const cv::v_int16x8 k112 = cv::v_setall_s16(112), k74 = cv::v_setall_s16(74), k38 = cv::v_setall_s16(38);
  const cv::v_int16x8 k94 = cv::v_setall_s16(94), k18 = cv::v_setall_s16(18);
  const cv::v_int16x8 kRound = cv::v_setall_s16(128), kOffset = cv::v_setall_s16(128), kOnes = cv::v_setall_s16(1);
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    cv::v_int16x8 uSum[2] = {cv::v_setzero_s16(), cv::v_setzero_s16()};
    cv::v_int16x8 vSum[2] = {cv::v_setzero_s16(), cv::v_setzero_s16()};
    for (int row = 0; row < 2; ++row) {
      cv::v_uint8x16 b8, g8, r8;
      cv::v_load_deinterleave((row ? src1 : src0) + 3 * x, b8, g8, r8);
      cv::v_uint16x8 b[2], g[2], r[2];
      cv::v_expand(b8, b[0], b[1]);
      cv::v_expand(g8, g[0], g[1]);
      cv::v_expand(r8, r[0], r[1]);
      cv::v_uint16x8 y[2];
      for (int half = 0; half < 2; ++half) {
        y[half] = ((cv::v_mul_wrap(r[half], kYr) + cv::v_mul_wrap(g[half], kYg) + cv::v_mul_wrap(b[half], kYb) + kYround) >> 8) + kYoffset;
        const cv::v_int16x8 bs = cv::v_reinterpret_as_s16(b[half]), gs = cv::v_reinterpret_as_s16(g[half]),
                            rs = cv::v_reinterpret_as_s16(r[half]);
        uSum[half] += (cv::v_mul_wrap(bs, k112) - cv::v_mul_wrap(gs, k74) - cv::v_mul_wrap(rs, k38) + kRound) >> 8;
        vSum[half] += (cv::v_mul_wrap(rs, k112) - cv::v_mul_wrap(gs, k94) - cv::v_mul_wrap(bs, k18) + kRound) >> 8;
      }
      cv::v_store((row ? luma1 : luma0) + x, cv::v_pack(y[0], y[1]));
    }
    // Neighbouring columns summed in 32 bits, then the truncating mean of the four. The
    // per-pixel +128 is added once after the mean: four of them are exactly 512.
    const cv::v_int16x8 u = cv::v_pack(cv::v_dotprod(uSum[0], kOnes) >> 2, cv::v_dotprod(uSum[1], kOnes) >> 2) + kOffset;
    const cv::v_int16x8 v = cv::v_pack(cv::v_dotprod(vSum[0], kOnes) >> 2, cv::v_dotprod(vSum[1], kOnes) >> 2) + kOffset;
    cv::v_uint8x16 uv8 = cv::v_reinterpret_as_u8(cv::v_reinterpret_as_u16(u) | (cv::v_reinterpret_as_u16(v) << 8));
    cv::v_store(uv + x, uv8);
  }
  return x;
}
#endif

bool convertibleRegion(const cv::Mat& frame, int width, int height) {
  return !frame.empty() && frame.type() == CV_8UC3 && width >= 2 && height >= 2 && width % 2 == 0 &&
         height % 2 == 0 && width <= frame.cols && height <= frame.rows;
}

std::atomic_ref<uint32_t> atomicField(uint32_t& field) { return std::atomic_ref<uint32_t>(field); }

}  // namespace

bool frameSizeFits(int64_t width, int64_t height) {
  return width >= 2 && height >= 2 && width % 2 == 0 && height % 2 == 0 && width <= kMaxFrameDimension &&
         height <= kMaxFrameDimension && width * height <= int64_t(kMaxFramePixels) &&
         width * height * 3 / 2 <= int64_t(kFrameSlotBytes);
}

bool bgrToNv12Into(const cv::Mat& frame, int width, int height, uint8_t* out) {
  if (!out || !convertibleRegion(frame, width, height)) return false;
  uint8_t* chroma = out + size_t(width) * size_t(height);
  for (int y = 0; y < height; y += 2) {
    const uint8_t* src0 = frame.ptr<uint8_t>(y);
    const uint8_t* src1 = frame.ptr<uint8_t>(y + 1);
    uint8_t* luma0 = out + size_t(y) * size_t(width);
    uint8_t* luma1 = luma0 + width;
    uint8_t* uv = chroma + size_t(y / 2) * size_t(width);
    int done = 0;
#if CV_SIMD128
    done = convertRowPairSimd(src0, src1, luma0, luma1, uv, width);
#endif
    convertRowPairScalar(src0, src1, luma0, luma1, uv, done, width);
  }
  return true;
}

bool bgrToNv12(const cv::Mat& frame, int width, int height, std::vector<uint8_t>& out) {
  if (!convertibleRegion(frame, width, height)) {
    out.clear();
    return false;
  }
  out.resize(size_t(width) * size_t(height) * 3 / 2);
  return bgrToNv12Into(frame, width, height, out.data());
}

void SharedFrameWriter::open() {
  close();
  channel_ = openOrCreateChannel(kFrameChannelName, kFrameChannelBytes, &lastError_);
  if (!channel_.view) return;
  view_ = channel_.view;
  ownsObjects_ = true;
  resetHeader();
  readyEvent_ = openOrCreateFrameReadyEvent();
}

void SharedFrameWriter::openOn(void* view, HANDLE readyEvent) {
  close();
  view_ = view;
  readyEvent_ = readyEvent;
  ownsObjects_ = false;
  if (view_) resetHeader();
}

void SharedFrameWriter::resetHeader() {
  seedFrameHeader(*header());
  nextSlot_ = 0;
}

void SharedFrameWriter::close() {
  if (ownsObjects_) {
    closeHandle(readyEvent_);
    channel_.close();
  }
  view_ = nullptr;
  readyEvent_ = nullptr;
  ownsObjects_ = false;
  nextSlot_ = 0;
}

template <typename Fill>
void SharedFrameWriter::publishSlot(uint32_t width, uint32_t height, Fill fill) {
  RetouchFrameHeader* h = header();
  const uint32_t s = nextSlot_;
  RetouchFrameSlot& slot = h->slots[s];
  slot.width = width;
  slot.height = height;
  slot.stride = width;
  slot.format = kFrameFormatNv12;
  slot.dataSize = width * height * 3 / 2;
  LARGE_INTEGER qpc{};
  QueryPerformanceCounter(&qpc);
  slot.qpcTime = uint64_t(qpc.QuadPart);
  fill(static_cast<uint8_t*>(view_) + frameSlotDataOffset(s));
  // The sequentially consistent exchange is the full fence: the descriptor and the data
  // are visible before a reader can find the slot in latestSlot.
  atomicField(h->latestSlot).exchange(s, std::memory_order_seq_cst);
  atomicField(h->frameCounter).fetch_add(1);
  nextSlot_ = 1 - s;
  signalEvent(readyEvent_);
}

bool SharedFrameWriter::publishNv12(const uint8_t* data, int width, int height) {
  if (!view_ || !data || !frameSizeFits(width, height)) return false;
  const size_t bytes = size_t(width) * size_t(height) * 3 / 2;
  publishSlot(uint32_t(width), uint32_t(height), [&](uint8_t* slotData) { std::memcpy(slotData, data, bytes); });
  return true;
}

bool SharedFrameWriter::publishBgr(const cv::Mat& frame) {
  if (!view_ || frame.empty() || frame.type() != CV_8UC3) return false;
  const int width = frame.cols & ~1;
  const int height = frame.rows & ~1;
  if (!frameSizeFits(width, height)) return false;
  // Converted straight into the slot: the slot is not the published one, so no reader looks at it.
  publishSlot(uint32_t(width), uint32_t(height), [&](uint8_t* slotData) { bgrToNv12Into(frame, width, height, slotData); });
  return true;
}

namespace {

template <typename PaintRow>
void paintCodeBands(int width, int height, uint32_t code1, uint32_t code2, PaintRow paintRow) {
  if (width < 16 || height <= 0) return;
  const int bandHeight = std::max(height / 24, 6);
  const int bandWidth = width / 16;
  for (int row = 0; row < std::min(2 * bandHeight, height); ++row) {
    const uint32_t code = row < bandHeight ? code1 : code2;
    for (int band = 0; band < 16; ++band) {
      const int first = band * bandWidth;
      const int last = band == 15 ? width : first + bandWidth;
      paintRow(row, first, last, ((code >> band) & 1u) != 0);
    }
  }
}

}  // namespace

void paintCodeBandsPlane(uint8_t* plane, size_t stride, int width, int height, uint32_t code1, uint32_t code2) {
  if (!plane) return;
  paintCodeBands(width, height, code1, code2, [&](int row, int first, int last, bool white) {
    std::memset(plane + size_t(row) * stride + first, white ? 255 : 0, size_t(last - first));
  });
}

void paintCodeBandsBgr(cv::Mat& frame, uint32_t code1, uint32_t code2) {
  if (frame.empty() || frame.type() != CV_8UC3) return;
  paintCodeBands(frame.cols, frame.rows, code1, code2, [&](int row, int first, int last, bool white) {
    std::memset(frame.ptr<uint8_t>(row) + 3 * first, white ? 255 : 0, size_t(last - first) * 3);
  });
}

void stampNv12Frame(uint8_t* luma, int width, int height, uint32_t code1, uint32_t code2) {
  paintCodeBandsPlane(luma, size_t(std::max(width, 0)), width, height, code1, code2);
}

void stampBgrFrame(cv::Mat& frame, uint32_t code1, uint32_t code2) { paintCodeBandsBgr(frame, code1, code2); }

StampCodes readCodeBands(const uint8_t* luma, size_t stride, int width, int height) {
  StampCodes codes;
  if (!luma || width < 16 || height <= 0) return codes;
  const int bandHeight = std::max(height / 24, 6);
  const int bandWidth = width / 16;
  auto readRow = [&](int row) {
    uint16_t code = 0;
    for (int band = 0; band < 16; ++band) {
      if (luma[size_t(row) * stride + size_t(band * bandWidth + bandWidth / 2)] > 127) code |= uint16_t(1u << band);
    }
    return code;
  };
  codes.code1 = readRow(std::min(bandHeight / 2, height - 1));
  codes.code2 = readRow(std::min(bandHeight + bandHeight / 2, height - 1));
  return codes;
}

}  // namespace tesmira
