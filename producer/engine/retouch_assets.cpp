#include "producer/engine/retouch_assets.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace tesmira {
namespace {

// Full scale of an integer depth; floats are taken as they are.
double depthScale(int depth) {
  switch (depth) {
    case CV_8U: return 1.0 / 255.0;
    case CV_16U: return 1.0 / 65535.0;
    case CV_32F:
    case CV_64F: return 1.0;
    default: return 1.0 / 255.0;
  }
}

}  // namespace

cv::Mat loadImageChannel(const std::filesystem::path& path, int channel) {
  // path::string() is the narrow text in the active code page the image reader takes.
  cv::Mat image = cv::imread(path.string(), cv::IMREAD_UNCHANGED);
  if (image.empty()) throw std::runtime_error("Could not load image: " + path.string());
  cv::Mat plane;
  if (image.channels() == 1) {
    plane = image;
  } else {
    std::vector<cv::Mat> planes;
    cv::split(image, planes);
    size_t wanted = channel == 0 ? 2 : channel == 1 ? 1 : 0;
    if (wanted >= planes.size())
      throw std::runtime_error("Image does not contain requested channel: " + path.string());
    plane = planes[wanted];
  }
  cv::Mat mask;
  plane.convertTo(mask, CV_32F, depthScale(plane.depth()));
  return mask;
}

cv::Mat loadLookupTexture(const std::filesystem::path& path) {
  cv::Mat bgr = cv::imread(path.string(), cv::IMREAD_COLOR);
  if (bgr.empty()) throw std::runtime_error("Could not load lookup texture: " + path.string());
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  cv::Mat texture;
  rgb.convertTo(texture, CV_32F, 1.0 / 255.0);
  return texture;
}

}  // namespace tesmira
