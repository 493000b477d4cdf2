#include <opencv2/imgcodecs.hpp>

#include "mfdevices/camera_decoders.h"
#include "mfdevices/camera_internal.h"

namespace tesmira::platform::cameras {
namespace {

cv::Mat decodeJpeg(const uint8_t* data, size_t size) {
  if (!data || size == 0 || size > size_t(INT32_MAX)) return {};
  return cv::imdecode(cv::Mat(1, int(size), CV_8UC1, const_cast<uint8_t*>(data)), cv::IMREAD_COLOR);
}

std::unique_ptr<ICameraDevice> makeDecodedFileCamera(const CameraInfo& info, const std::string& path) {
  return makeFileCameraDevice(info, path);
}

constexpr CameraDecoders kDecoders{makeDecodedFileCamera, decodeJpeg};

}  // namespace
}  // namespace tesmira::platform::cameras

extern "C" __attribute__((visibility("default"))) const tesmira::platform::cameras::CameraDecoders*
tesmira_camera_decoders() {
  return &tesmira::platform::cameras::kDecoders;
}
