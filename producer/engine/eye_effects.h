#pragma once
// Eye whitening and sharpening inside the retouched face crop.
#include <opencv2/core.hpp>

#include <array>
#include <vector>

#include "producer/retouch_settings.h"

namespace tesmira {

// The eye stage's buffers, kept from frame to frame: each holds a crop-sized image of its
// kind, and a frame's eye rectangle is cut from it without an allocation.
struct EyeScratch {
  cv::Mat region, warped, triangle, white, hsv, pixels, sharp, shifted;
};

// The soft mask of both eyes over `rect` (crop pixels), painted from the skin mask
// template; empty (and rect empty) when no eye triangle can be placed.
cv::Mat buildEyeRegions(const cv::Mat& skinMask, const std::vector<cv::Point2f>& cropPoints, cv::Rect& rect);
// The same in the scratch's memory: valid until its next use.
cv::Mat buildEyeRegions(const cv::Mat& skinMask, const std::vector<cv::Point2f>& cropPoints, cv::Rect& rect,
                        EyeScratch& scratch);

// Bilinear RGB sample of the lookup texture, coordinates clamped to the texture.
cv::Vec3f sampleLookup(const cv::Mat& texture, float x, float y);

// out(x, y) = in(x + dx, y + dy), bilinear, replicated border.
cv::Mat shiftImage(const cv::Mat& image, float dx, float dy);
// The same into `out` (never the image itself), which keeps its buffer at the right size.
void shiftImage(const cv::Mat& image, float dx, float dy, cv::Mat& out);

// The crop-space steps of the four diagonal sharpening taps for a frame of width x height.
std::array<cv::Point2f, 4> eyeSharpenTaps(int width, int height, const std::array<double, 6>& cropFromFrame);

// Whitens and sharpens the eyes of `retouched` as the settings ask; the input is unchanged.
cv::Mat retouchEyeRegion(const cv::Mat& retouched, const std::vector<cv::Point2f>& cropPoints, int frameWidth,
                         int frameHeight, const std::array<double, 6>& cropFromFrame, const RetouchSettings& settings,
                         const cv::Mat& skinMask, const cv::Mat& lookup);
// The same in place; false when no eye could be placed and the image is as it was.
bool retouchEyeRegionInPlace(cv::Mat& image, const std::vector<cv::Point2f>& cropPoints, int frameWidth,
                             int frameHeight, const std::array<double, 6>& cropFromFrame,
                             const RetouchSettings& settings, const cv::Mat& skinMask, const cv::Mat& lookup,
                             EyeScratch& scratch);

}  // namespace tesmira
