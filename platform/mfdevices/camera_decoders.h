#pragma once
// The camera decoders (video files on FFmpeg, MJPEG on libjpeg) live in a module of their
// own, so that only a process that opens such a camera loads them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "camera_device.h"

namespace tesmira::platform::cameras {

struct CameraDecoders {
  std::unique_ptr<ICameraDevice> (*makeFileCamera)(const CameraInfo& info, const std::string& path);
  // A colour JPEG of exactly width x height into `image`, whose buffer is reused from frame to
  // frame; false for anything else, refused from its header before any pixel is allocated.
  bool (*decodeJpeg)(const uint8_t* data, size_t size, int width, int height, cv::Mat& image);
};

inline constexpr const char* kCameraDecodersModule = "libtesmira_camera_decoders.so";
inline constexpr const char* kCameraDecodersEntry = "tesmira_camera_decoders";

// Inside the module: a file camera (its modes probed from the file).
std::unique_ptr<ICameraDevice> makeFileCameraDevice(const CameraInfo& info, const std::string& path);

// Loaded on first use from the folder of the layer's own library; nullptr when it cannot be.
const CameraDecoders* cameraDecoders();

}  // namespace tesmira::platform::cameras
