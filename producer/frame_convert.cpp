#include "producer/frame_convert.h"

#include <cstring>

#include "common/pixel_format.h"

namespace tesmira {
namespace {

bool convertibleRegion(const cv::Mat& frame, int width, int height) {
  return !frame.empty() && frame.type() == CV_8UC3 && width >= 2 && height >= 2 && width % 2 == 0 &&
         height % 2 == 0 && width <= frame.cols && height <= frame.rows;
}

}  // namespace

bool bgrToNv12Into(const cv::Mat& frame, int width, int height, uint8_t* out) {
  if (!out || !convertibleRegion(frame, width, height)) return false;
  bgr24ToNv12(frame.ptr<uint8_t>(0), frame.step, uint32_t(width), uint32_t(height), out);
  return true;
}

bool bgrToNv12(const cv::Mat& frame, int width, int height, std::vector<uint8_t>& out) {
  if (!convertibleRegion(frame, width, height)) {
    out.clear();
    return false;
  }
  out.resize(nv12Bytes(uint64_t(width), uint64_t(height)));
  return bgrToNv12Into(frame, width, height, out.data());
}

void paintCodeBandsBgr(cv::Mat& frame, uint32_t code1, uint32_t code2) {
  if (frame.empty() || frame.type() != CV_8UC3) return;
  forEachStampBand(frame.cols, frame.rows, code1, code2, [&](int row, int first, int end, bool white) {
    std::memset(frame.ptr<uint8_t>(row) + 3 * first, white ? 255 : 0, size_t(end - first) * 3);
  });
}

void stampBgrFrame(cv::Mat& frame, uint32_t code1, uint32_t code2) { paintCodeBandsBgr(frame, code1, code2); }

}  // namespace tesmira
