#pragma once
// The CPU face stage's pixel work: model fields, the skin and teeth composites, the soft
// mouth mask and the patch delta. Every formula runs in single precision.
#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <vector>

namespace tesmira {

// The inner lip ring of the face mesh, in polygon order.
inline constexpr std::array<int, 20> kMouthIndices = {78,  191, 80, 81, 82, 13, 312, 311, 310, 415,
                                                      308, 324, 318, 402, 317, 14, 87,  178, 88, 95};

// v in 0..1 as a byte: v x 255 rounded once to nearest (ties to even) and clamped; NaN gives 0.
uint8_t unitToByte(float v);
// A byte-unit value rounded once to nearest (ties to even) and clamped; NaN gives 0.
uint8_t levelToByte(float v);

// The skin field value that leaves a pixel as it is: 1.5 f - 0.25 = 0 and da = 0.
inline const cv::Vec4f kNeutralSkinField(1.0f / 6.0f, 1.0f / 6.0f, 1.0f / 6.0f, 1.0f / 7.0f);

// Four planes of w x h floats, element c*w*h + x*h + y, as a 4-channel float image of
// `size` in 0..1 (a NaN value of channel c as nanAs[c]; the teeth field is neutral at 0).
// Throws "ONNX field output is smaller than expected.".
cv::Mat decodeModelField(const std::vector<float>& raw, int w, int h, cv::Size size, const cv::Vec4f& nanAs = {});
// The same into `out`, through `plane` (w x h) when it must be resized; both keep their
// buffers from call to call.
void decodeModelField(const std::vector<float>& raw, int w, int h, cv::Size size, const cv::Vec4f& nanAs,
                      cv::Mat& out, cv::Mat& plane);

// crop: 8-bit BGR; field: 4-channel float (red, green, blue, amount); mask: 1-channel
// float, all of the crop's size. A non-finite gain or strength counts as 0.
cv::Mat composeSkin(const cv::Mat& crop, const cv::Mat& field, const cv::Mat& mask, float gain);
cv::Mat composeTeeth(const cv::Mat& patch, const cv::Mat& field, const cv::Mat& mask, float strength);
// The same into `out`, which keeps its buffer when it has the right size; never the input.
void composeSkin(const cv::Mat& crop, const cv::Mat& field, const cv::Mat& mask, float gain, cv::Mat& out);
void composeTeeth(const cv::Mat& patch, const cv::Mat& field, const cv::Mat& mask, float strength, cv::Mat& out);

// The polygon of `indices` filled and blurred, in 0..1; all zero when an index is out of
// range or one of its points is not finite.
cv::Mat softMouthMask(cv::Size size, const std::vector<cv::Point2f>& points, const int* indices, size_t count,
                      double sigma);
// The same into `out` (float) through the 8-bit fill and its blur, all reused from call to call.
struct MouthMaskScratch {
  cv::Mat filled, blurred;
};
void softMouthMask(cv::Size size, const std::vector<cv::Point2f>& points, const int* indices, size_t count,
                   double sigma, cv::Mat& out, MouthMaskScratch& scratch);

// Adds an n x n float BGR delta (byte units) into `image` around `centre`, clipped to it.
void addPatchDelta(cv::Mat& image, cv::Point2f centre, const cv::Mat& delta);

}  // namespace tesmira
