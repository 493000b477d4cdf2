#pragma once
// The face crop's size and its footprint in the camera frame: one definition for the
// CPU and GPU roads, so that both touch the same frame pixels for any alignment.
#include <array>
#include <cstdint>

namespace tesmira {

struct PixelSize {
  int width = 0;
  int height = 0;
};

inline constexpr PixelSize kCropSize{320, 512};
inline constexpr int kCropWidth = kCropSize.width;
inline constexpr int kCropHeight = kCropSize.height;

// The inverse of a 2x3 affine; a determinant below 1e-9 in size counts as 1e-9 (its sign kept).
std::array<double, 6> invertAffine(const std::array<double, 6>& m);

// Frame pixels [minX, maxX) x [minY, maxY).
struct CropFootprint {
  int32_t minX = 0, minY = 0, maxX = 0, maxY = 0;
  bool empty() const { return maxX <= minX || maxY <= minY; }
  int width() const { return maxX - minX; }
  int height() const { return maxY - minY; }
};

// The crop's corners mapped into the frame through the inverse of cropFromFrame, widened
// by 2 pixels and clamped to the frame in double precision before any integer is made;
// empty when a corner is not finite or nothing of the crop lies in the frame.
CropFootprint cropFootprint(const std::array<double, 6>& cropFromFrame, int frameWidth, int frameHeight);

}  // namespace tesmira
