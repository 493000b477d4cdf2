#pragma once
// PNG images read with libpng, the way OpenCV's image reader returns them, for the formats
// the product's data folder holds; anything else is left to OpenCV.
#include <string>

#include <opencv2/core.hpp>

namespace tesmira::platform::images {

// Reads `path` for cv::imread's IMREAD_COLOR or IMREAD_UNCHANGED into `image`. False when this
// reader does not take the file (not a PNG, another flag, or a variant it leaves to OpenCV:
// other bit depths or colour types, a transparency chunk, EXIF orientation, a broken file).
bool readPng(const std::string& path, int flags, cv::Mat& image);

}  // namespace tesmira::platform::images
