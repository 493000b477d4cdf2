// What the authored skin graph does to a real face, through the compositor's own formulas:
// neutral at strength 0, and at the defaults spots and fine detail fade while the colour
// and everything outside the facemask stay.
#include <gtest/gtest.h>

#include <cmath>

#include "producer/engine/retouch_models.h"
#include "tools/models/data_builder.h"
#include "tools/models/tests/model_test_support.h"

namespace tesmira::models {
namespace {

using namespace modeltest;

struct AlignedFace {
  cv::Mat crop;                      // 320x512 BGR
  std::vector<cv::Point2f> points;   // 478 landmarks in crop pixels
};

// The astronaut's face aligned as the calibration does: eye centres on (110, 216), (210, 216).
const AlignedFace& astronautFace() {
  static const AlignedFace face = [] {
    const cv::Rect square(145, 35, 160, 160);
    cv::Mat small;
    cv::resize(astronautImage()(square), small, {256, 256}, 0, 0, cv::INTER_AREA);
    auto out = runOnnx(serializeModel(meshAdapterGraph(mesh())), {{"input_12", rgbTensor(small, 0, 1)}}, {"Identity"});
    std::vector<cv::Point2f> frame;
    for (size_t i = 0; i < 478; ++i)
      frame.emplace_back(out[0].data[i * 3] * 160 / 256 + 145, out[0].data[i * 3 + 1] * 160 / 256 + 35);
    auto centre = [&](const std::vector<int>& contour) {
      cv::Point2f c(0, 0);
      for (int i : contour) c += frame[size_t(i)] * (1.0f / 16);
      return c;
    };
    cv::Point2f l = centre(kLeftEyeContour), r = centre(kRightEyeContour);
    cv::Point2f d = r - l;
    double n = double(d.x) * d.x + double(d.y) * d.y;
    double a = 100 * d.x / n, b = -100 * d.y / n;
    cv::Matx23d m(a, -b, 110 - (a * l.x - b * l.y), b, a, 216 - (b * l.x + a * l.y));
    AlignedFace f;
    cv::warpAffine(astronautImage(), f.crop, m, {320, 512}, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::transform(frame, f.points, m);
    return f;
  }();
  return face;
}

cv::Mat facemask() {
  static const cv::Mat mask = [] {
    std::vector<cv::Mat> planes;
    cv::split(buildFacemask(readCanonicalFace(readBytes(cacheDir() / "models" / "geometry_pipeline_metadata_landmarks.binarypb"))), planes);
    cv::Mat f;
    planes[2].convertTo(f, CV_32F, 1 / 255.0);
    return f;
  }();
  return mask;
}

std::vector<float> skinField(const cv::Mat& crop, float clearSkin, float eyeBags, float wrinkles) {
  static const std::string model = serializeModel(skinGraph(buildSkinZones(
      readCanonicalFace(readBytes(cacheDir() / "models" / "geometry_pipeline_metadata_landmarks.binarypb")))));
  std::vector<float> packed;
  packModelCrop(crop, 320, 512, packed);
  NTensor data{{1, 3, 320, 512}, packed}, cond{{1, 4, 1, 1}, {clearSkin, eyeBags, wrinkles, wrinkles}};
  return runOnnx(model, {{"data", data}, {"cond", cond}}, {"output_0"})[0].data;
}

// The compositor's skin formula, kept in floats (byte units) before any rounding.
cv::Mat compose(const cv::Mat& crop, const std::vector<float>& raw, const cv::Mat& mask, float gain = 1) {
  cv::Mat field(64, 40, CV_32FC4);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 40; ++x)
      for (int c = 0; c < 4; ++c)
        field.at<cv::Vec4f>(y, x)[c] = std::clamp(raw[size_t(c) * 2560 + size_t(x) * 64 + size_t(y)] / 255.0f, 0.0f, 1.0f);
  cv::Mat big;
  cv::resize(field, big, {320, 512}, 0, 0, cv::INTER_LINEAR);
  cv::Mat out(crop.size(), CV_32FC3);
  for (int y = 0; y < crop.rows; ++y)
    for (int x = 0; x < crop.cols; ++x) {
      cv::Vec4f f = big.at<cv::Vec4f>(y, x);
      float a = gain * mask.at<float>(y, x), da = 1.75f * f[3] - 0.25f;
      cv::Vec3b p = crop.at<cv::Vec3b>(y, x);
      cv::Vec3f v;
      for (int c = 0; c < 3; ++c) {
        float px = p[c] / 255.0f;
        v[c] = 255.0f * (px + a * ((1.5f * f[2 - c] - 0.25f) - da * px));  // field holds R, G, B
      }
      out.at<cv::Vec3f>(y, x) = v;
    }
  return out;
}

cv::Mat asFloat(const cv::Mat& bgr) {
  cv::Mat f;
  bgr.convertTo(f, CV_32FC3);
  return f;
}

double meanOver(const cv::Mat& diff, const cv::Mat& where) { return cv::mean(diff, where)[0]; }

// Where the facemask is whole, away from its feathered edge.
cv::Mat core() {
  cv::Mat m = facemask() >= 0.999f;
  cv::erode(m, m, cv::getStructuringElement(cv::MORPH_ELLIPSE, {9, 9}));
  return m;
}

TEST(RetouchMeaningTest, ZeroStrengthsGiveTheNeutralField) {
  auto raw = skinField(astronautFace().crop, 0, 0, 0);
  ASSERT_EQ(raw.size(), 10240u);
  double worst = 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    double want = i < 3 * 2560 ? 1.0 / 6.0 : 1.0 / 7.0;  // 42.5 and 36.428571 of 255
    worst = std::max(worst, std::fabs(raw[i] / 255.0 - want));
  }
  EXPECT_LE(worst, 1e-6);
}

TEST(RetouchMeaningTest, DefaultsFadeSpotsAndDetailButKeepColourAndTheOutside) {
  const AlignedFace& face = astronautFace();
  cv::Mat mask = facemask(), inner = core();
  ASSERT_GT(cv::countNonZero(inner), 10000);
  cv::Mat clean = compose(face.crop, skinField(face.crop, 0.75f, 0.25f, 0.65f), mask);

  // Dark spots (radius 3 px, 30 levels deep) on the cheeks and forehead.
  cv::Mat spotted = face.crop.clone(), spots = cv::Mat::zeros(face.crop.size(), CV_8U);
  for (int i : {205, 425, 50, 280, 151, 108, 337}) {
    cv::Point c(int(face.points[size_t(i)].x), int(face.points[size_t(i)].y));
    if (!inner.at<uint8_t>(c)) continue;
    cv::circle(spots, c, 3, cv::Scalar(255), -1);
  }
  ASSERT_GT(cv::countNonZero(spots), 100);
  cv::subtract(spotted, cv::Scalar(30, 30, 30), spotted, spots);
  cv::Mat after = compose(spotted, skinField(spotted, 0.75f, 0.25f, 0.65f), mask);
  cv::Mat before;
  cv::cvtColor(asFloat(face.crop) - asFloat(spotted), before, cv::COLOR_BGR2GRAY);
  cv::Mat left;
  cv::cvtColor(clean - after, left, cv::COLOR_BGR2GRAY);
  double lost = 1 - meanOver(left, spots) / meanOver(before, spots);
  std::cout << "spot depth lost: " << lost * 100 << "%\n";
  EXPECT_GE(lost, 0.35);

  // Fine detail (luma minus its Gaussian, sigma 2) in the facemask's core.
  auto detail = [&](const cv::Mat& image) {
    cv::Mat grey, blurred;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    cv::GaussianBlur(grey, blurred, {0, 0}, 2.0);
    cv::Mat d = grey - blurred;
    return meanOver(d.mul(d), inner);
  };
  double drop = 1 - detail(clean) / detail(asFloat(face.crop));
  std::cout << "detail energy drop: " << drop * 100 << "%\n";
  EXPECT_GE(drop, 0.20);

  // For a person to look at: before and after, in the test's working folder.
  cv::Mat shown;
  clean.convertTo(shown, CV_8UC3);
  cv::imwrite("retouch_before.png", face.crop);
  cv::imwrite("retouch_after.png", shown);

  cv::Scalar was = cv::mean(asFloat(face.crop), inner), now = cv::mean(clean, inner);
  for (int c = 0; c < 3; ++c) EXPECT_LE(std::fabs(now[c] - was[c]), 1.0) << "channel " << c;

  // Outside the facemask nothing moves, even before rounding.
  cv::Mat outside = mask == 0.0f;
  ASSERT_GT(cv::countNonZero(outside), 1000);
  cv::Mat moved;
  cv::absdiff(clean, asFloat(face.crop), moved);
  std::vector<cv::Mat> planes;
  cv::split(moved, planes);
  for (const auto& p : planes) {
    double m;
    cv::minMaxLoc(p, nullptr, &m, nullptr, nullptr, outside);
    EXPECT_EQ(m, 0.0);
  }
}

TEST(RetouchMeaningTest, EyeBagsLiftAnUnderEyeShadow) {
  const AlignedFace& face = astronautFace();
  cv::Mat mask = facemask();
  cv::Mat shadow = cv::Mat::zeros(face.crop.size(), CV_8U);
  for (const auto* eye : {&kLeftEyeContour, &kRightEyeContour}) {
    cv::Point2f c(0, 0);
    for (int i : *eye) c += face.points[size_t(i)] * (1.0f / 16);
    float w = float(cv::norm(face.points[size_t((*eye)[8])] - face.points[size_t((*eye)[0])]));
    cv::ellipse(shadow, cv::Point(int(c.x), int(c.y + 0.5f * w)), cv::Size(int(0.4f * w), int(0.15f * w)), 0, 0, 360,
                cv::Scalar(255), -1);
  }
  shadow &= (mask > 0.9f);
  ASSERT_GT(cv::countNonZero(shadow), 50);
  cv::Mat dark = face.crop.clone();
  cv::subtract(dark, cv::Scalar(19, 19, 19), dark, shadow);
  cv::Mat clean = compose(face.crop, skinField(face.crop, 0, 1, 0), mask);
  cv::Mat after = compose(dark, skinField(dark, 0, 1, 0), mask);
  cv::Mat left;
  cv::cvtColor(clean - after, left, cv::COLOR_BGR2GRAY);
  double removed = 1 - meanOver(left, shadow) / 19.0;
  std::cout << "under-eye shadow removed: " << removed * 100 << "%\n";
  EXPECT_GE(removed, 0.25);
}

// The compositor's teeth formula on a 128x128 patch, in floats (byte units).
cv::Mat composeTeeth(const cv::Mat& patch, const std::vector<float>& raw, const cv::Mat& mask, float strength) {
  cv::Mat out(patch.size(), CV_32FC3);
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x) {
      float f[4];
      for (int c = 0; c < 4; ++c)
        f[c] = std::clamp(raw[size_t(c) * 16384 + size_t(x) * 128 + size_t(y)] / 255.0f, 0.0f, 1.0f);
      float a = strength * mask.at<float>(y, x);
      float k = 0.9f * (0.59000003f * f[0] - 0.05f);
      float colour[3] = {std::clamp(0.9f * (0.59000003f * f[2] - 0.04f) + 0.352941f * k, 0.0f, 1.0f),
                         std::clamp(0.9f * (0.59000003f * f[1] - 0.05f), 0.0f, 1.0f), std::clamp(0.921569f * k, 0.0f, 1.0f)};
      float alpha = a * std::clamp(0.9f * (0.69000006f * f[3] - 0.15f), 0.0f, 1.0f);
      cv::Vec3b p = patch.at<cv::Vec3b>(y, x);
      for (int c = 0; c < 3; ++c) out.at<cv::Vec3f>(y, x)[c] = 255.0f * (p[c] / 255.0f * (1 - alpha) + a * colour[c]);
    }
  return out;
}

TEST(RetouchMeaningTest, TeethWhitenBrightMouthPixelsOnly) {
  const AlignedFace& face = astronautFace();
  const std::vector<int> inner = {78, 191, 80, 81, 82, 13, 312, 311, 310, 415, 308, 324, 318, 402, 317, 14, 87, 178, 88, 95};
  const std::vector<int> outer = {61, 146, 91, 181, 84, 17, 314, 405, 321, 375, 291, 409, 270, 269, 267, 0, 37, 39, 40, 185};
  cv::Point2f c = (face.points[13] + face.points[14]) * 0.5f;
  // The 256x256 patch around the mouth, at half size, as the teeth stage cuts it.
  cv::Mat big, patch;
  cv::getRectSubPix(face.crop, {256, 256}, c, big);
  cv::resize(big, patch, {128, 128}, 0, 0, cv::INTER_LINEAR);
  auto ring = [&](const std::vector<int>& idx) {
    std::vector<cv::Point> poly;
    for (int i : idx) {
      cv::Point2f q = (face.points[size_t(i)] - (c - cv::Point2f(128, 128))) * 0.5f;
      poly.emplace_back(int(std::lround(q.x)), int(std::lround(q.y)));
    }
    return poly;
  };
  cv::Mat mouth = cv::Mat::zeros(128, 128, CV_8U), lips = cv::Mat::zeros(128, 128, CV_8U);
  cv::fillPoly(mouth, std::vector<std::vector<cv::Point>>{ring(inner)}, cv::Scalar(255));
  cv::fillPoly(lips, std::vector<std::vector<cv::Point>>{ring(outer)}, cv::Scalar(255));
  // Lips: between the rings, three pixels clear of the inner one and away from the mouth's
  // corners (the mesh's ring is not pixel-exact: teeth show just outside it, at the corners most).
  cv::Mat nearMouth;
  cv::dilate(mouth, nearMouth, cv::getStructuringElement(cv::MORPH_ELLIPSE, {7, 7}));
  lips &= ~nearMouth;
  for (int corner : {61, 291}) {
    cv::Point2f q = (face.points[size_t(corner)] - (c - cv::Point2f(128, 128))) * 0.5f;
    cv::circle(lips, cv::Point(int(q.x), int(q.y)), 8, cv::Scalar(0), -1);
  }
  // The teeth stage's mask: the inner-lip fill softened inside and zero beyond it.
  cv::Mat soft, inside, teethMask;
  cv::GaussianBlur(mouth, soft, {0, 0}, 1.5);
  soft.convertTo(soft, CV_32F, 1 / 255.0);
  mouth.convertTo(inside, CV_32F, 1 / 255.0);
  soft = soft.mul(inside);
  std::vector<cv::Mat> planes;
  cv::split(buildTeethMask(), planes);
  planes[2].convertTo(teethMask, CV_32F, 1 / 255.0);
  cv::Mat mask = soft.mul(teethMask);

  std::vector<float> packed;
  packModelCrop(patch, 128, 128, packed);
  auto raw = runOnnx(serializeModel(teethGraph()), {{"data", NTensor{{1, 3, 128, 128}, packed}}}, {"output_0"})[0].data;
  cv::Mat after = composeTeeth(patch, raw, mask, 1.0f), before = asFloat(patch);

  cv::Mat grey;
  cv::cvtColor(patch, grey, cv::COLOR_BGR2GRAY);
  // Lip-coloured pixels only: red well above green for their brightness.
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x) {
      cv::Vec3b p = patch.at<cv::Vec3b>(y, x);
      if (p[2] - p[1] < 0.2 * std::max<int>(grey.at<uint8_t>(y, x), 1)) lips.at<uint8_t>(y, x) = 0;
    }
  ASSERT_GT(cv::countNonZero(lips), 30);
  cv::Mat bright = mouth & (grey > 150), dark = mouth & (grey < 60);
  ASSERT_GT(cv::countNonZero(bright), 30) << "the astronaut shows her teeth";
  auto saturation = [&](const cv::Mat& image) {
    double sum = 0;
    int n = 0;
    for (int y = 0; y < 128; ++y)
      for (int x = 0; x < 128; ++x)
        if (bright.at<uint8_t>(y, x)) {
          cv::Vec3f p = image.at<cv::Vec3f>(y, x);
          float hi = std::max({p[0], p[1], p[2]}), lo = std::min({p[0], p[1], p[2]});
          sum += hi > 0 ? (hi - lo) / hi : 0;
          ++n;
        }
    return sum / n;
  };
  double cut = 1 - saturation(after) / saturation(before);
  std::cout << "bright mouth saturation cut: " << cut * 100 << "%\n";
  EXPECT_GE(cut, 0.08);
  cv::Mat moved;
  cv::absdiff(after, before, moved);
  cv::Mat movedMax;
  cv::reduce(moved.reshape(1, 128 * 128), movedMax, 1, cv::REDUCE_MAX);
  movedMax = movedMax.reshape(1, 128);
  double darkMove = 0, lipMove = 0;
  if (cv::countNonZero(dark)) cv::minMaxLoc(movedMax, nullptr, &darkMove, nullptr, nullptr, dark);
  cv::minMaxLoc(movedMax, nullptr, &lipMove, nullptr, nullptr, lips);
  std::cout << "dark mouth moved " << darkMove << ", lips moved " << lipMove << " levels\n";
  EXPECT_LE(darkMove, 1.0);
  EXPECT_LE(lipMove, 3.0);
}

}  // namespace
}  // namespace tesmira::models
