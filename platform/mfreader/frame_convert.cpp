#include "mfreader/frame_convert.h"


#include <opencv2/imgproc.hpp>

#include <cstring>

namespace tesmira::platform::mfreader {
namespace {

bool frameIsWhole(const cameras::CameraFrame& frame) {
  if (frame.data == nullptr || frame.width == 0 || frame.height == 0) return false;
  if (frame.width > 16384 || frame.height > 16384) return false;
  if (frame.stride < cameras::minimumStride(frame.format, frame.width)) return false;
  return uint64_t{frame.size} >= cameras::frameBytes(frame.format, frame.stride, frame.height);
}

// The device frame as an OpenCV image over its own bytes (no copy).
cv::Mat view(const cameras::CameraFrame& frame) {
  const int width = int(frame.width);
  const int height = int(frame.height);
  auto* data = const_cast<uint8_t*>(frame.data);
  switch (frame.format) {
    case cameras::PixelFormat::NV12: return cv::Mat(height * 3 / 2, width, CV_8UC1, data, frame.stride);
    case cameras::PixelFormat::YUYV: return cv::Mat(height, width, CV_8UC2, data, frame.stride);
    case cameras::PixelFormat::BGR24: return cv::Mat(height, width, CV_8UC3, data, frame.stride);
  }
  return {};
}

void yuyvToNv12(const cameras::CameraFrame& frame, uint8_t* out) {
  const uint32_t width = frame.width;
  const uint32_t height = frame.height;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = frame.data + uint64_t{y} * frame.stride;
    uint8_t* luma = out + uint64_t{y} * width;
    for (uint32_t x = 0; x < width; ++x) luma[x] = row[2 * x];
  }
  uint8_t* chroma = out + uint64_t{width} * height;
  for (uint32_t y = 0; y < height / 2; ++y) {
    const uint8_t* top = frame.data + uint64_t{2 * y} * frame.stride;
    const uint8_t* bottom = top + frame.stride;
    uint8_t* uv = chroma + uint64_t{y} * width;
    // Each YUYV pair carries one U and one V; NV12 shares them over two rows.
    for (uint32_t x = 0; x < width; x += 2) {
      uv[x] = uint8_t((top[2 * x + 1] + bottom[2 * x + 1] + 1) / 2);
      uv[x + 1] = uint8_t((top[2 * x + 3] + bottom[2 * x + 3] + 1) / 2);
    }
  }
}

void bgrToNv12(const cameras::CameraFrame& frame, uint8_t* out) {
  const int width = int(frame.width);
  const int height = int(frame.height);
  thread_local cv::Mat i420;  // reused frame after frame
  cv::cvtColor(view(frame), i420, cv::COLOR_BGR2YUV_I420);
  const size_t lumaBytes = size_t(width) * height;
  std::memcpy(out, i420.data, lumaBytes);
  const uint8_t* u = i420.data + lumaBytes;
  const uint8_t* v = u + lumaBytes / 4;
  uint8_t* uv = out + lumaBytes;
  for (size_t i = 0; i < lumaBytes / 4; ++i) {
    uv[2 * i] = u[i];
    uv[2 * i + 1] = v[i];
  }
}

}  // namespace

uint64_t outputBytes(OutputFormat format, uint32_t width, uint32_t height) {
  if (format == OutputFormat::RGB32) return uint64_t{width} * height * 4;
  if (width % 2 != 0 || height % 2 != 0) return 0;
  return uint64_t{width} * height * 3 / 2;
}

bool convertFrame(const cameras::CameraFrame& frame, OutputFormat format, uint8_t* destination, size_t capacity) {
  if (destination == nullptr || !frameIsWhole(frame)) return false;
  const uint64_t bytes = outputBytes(format, frame.width, frame.height);
  if (bytes == 0 || bytes > capacity) return false;
  if (format == OutputFormat::RGB32) {
    cv::Mat out(int(frame.height), int(frame.width), CV_8UC4, destination);
    switch (frame.format) {
      case cameras::PixelFormat::NV12: cv::cvtColor(view(frame), out, cv::COLOR_YUV2BGRA_NV12); break;
      case cameras::PixelFormat::YUYV: cv::cvtColor(view(frame), out, cv::COLOR_YUV2BGRA_YUY2); break;
      case cameras::PixelFormat::BGR24: cv::cvtColor(view(frame), out, cv::COLOR_BGR2BGRA); break;
    }
    return true;
  }
  switch (frame.format) {
    case cameras::PixelFormat::NV12:
      for (uint32_t row = 0; row < frame.height + frame.height / 2; ++row) {
        std::memcpy(destination + uint64_t{row} * frame.width, frame.data + uint64_t{row} * frame.stride,
                    frame.width);
      }
      break;
    case cameras::PixelFormat::YUYV: yuyvToNv12(frame, destination); break;
    case cameras::PixelFormat::BGR24: bgrToNv12(frame, destination); break;
  }
  return true;
}

}  // namespace tesmira::platform::mfreader
