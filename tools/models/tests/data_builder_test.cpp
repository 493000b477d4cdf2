#include <gtest/gtest.h>

#include <cmath>
#include <iostream>

#include "producer/engine/crop_calibration.h"
#include "producer/engine/retouch_assets.h"
#include "producer/engine/retouch_models.h"
#include "producer/options.h"
#include "tests/support/machine_fixture.h"
#include "tools/models/data_builder.h"
#include "tools/models/tests/model_test_support.h"

namespace tesmira::models {
namespace {

using namespace modeltest;

const CanonicalFace& canonical() {
  static const CanonicalFace face =
      readCanonicalFace(readBytes(cacheDir() / "models" / "geometry_pipeline_metadata_landmarks.binarypb"));
  return face;
}

TEST(DataBuilderTest, CanonicalFaceSitsInTheCropWithEyesOnTheTemplates) {
  ASSERT_EQ(canonical().vertices.size(), 468u);
  ASSERT_EQ(canonical().triangles.size(), 898u);
  auto p = canonicalCropPoints(canonical());
  cv::Point2f left(0, 0), right(0, 0);
  for (int i : kLeftEyeContour) left += p[size_t(i)] * (1.0f / 16);
  for (int i : kRightEyeContour) right += p[size_t(i)] * (1.0f / 16);
  EXPECT_NEAR(left.x, 110, 1e-3);
  EXPECT_NEAR(left.y, 216, 1e-3);
  EXPECT_NEAR(right.x, 210, 1e-3);
  EXPECT_NEAR(right.y, 216, 1e-3);
  EXPECT_GT(p[1].y, 216);    // the nose tip below the eyes: the face is upright
  EXPECT_GT(p[152].y, 380);  // chin
  for (const auto& q : p) {
    EXPECT_GE(q.x, 0);
    EXPECT_LT(q.x, 320);
    EXPECT_GE(q.y, 0);
    EXPECT_LT(q.y, 512);
  }
}

TEST(DataBuilderTest, DamagedFaceGeometryIsRefused) {
  std::string good = readBytes(cacheDir() / "models" / "geometry_pipeline_metadata_landmarks.binarypb");
  for (size_t cut : {size_t(0), size_t(3), good.size() / 2, good.size() - 1}) {
    SCOPED_TRACE(cut);
    EXPECT_THROW(readCanonicalFace(good.substr(0, cut)), std::runtime_error);
  }
}

// The value of a mask byte at a canonical vertex.
int at(const cv::Mat& mask, const cv::Point2f& p, int channel) {
  return mask.at<cv::Vec3b>(int(std::lround(p.y)), int(std::lround(p.x)))[channel];
}

TEST(DataBuilderTest, MasksFillOnlyTheChannelTheEngineReads) {
  struct Case {
    const char* name;
    cv::Mat mask;
    int channel;  // BGR plane: red 2, blue 0
    cv::Size size;
  } cases[] = {
      {"facemask", buildFacemask(canonical()), 2, {320, 512}},
      {"skin_mask", buildSkinMask(canonical()), 0, {320, 512}},
      {"teeth_whitening_mask", buildTeethMask(), 2, {128, 128}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.mask.type(), CV_8UC3);
    EXPECT_EQ(c.mask.size(), c.size);
    std::vector<cv::Mat> planes;
    cv::split(c.mask, planes);
    for (int k = 0; k < 3; ++k) {
      if (k == c.channel) EXPECT_GT(cv::countNonZero(planes[size_t(k)]), 100);
      else EXPECT_EQ(cv::countNonZero(planes[size_t(k)]), 0) << "plane " << k;
    }
  }
}

TEST(DataBuilderTest, FacemaskCoversSkinAndSparesEyesBrowsLipsAndNostrils) {
  cv::Mat mask = buildFacemask(canonical());
  auto p = canonicalCropPoints(canonical());
  for (int skin : {205, 425, 151, 199}) EXPECT_EQ(at(mask, p[size_t(skin)], 2), 255) << "vertex " << skin;
  cv::Point2f eye(0, 0);
  for (int i : kLeftEyeContour) eye += p[size_t(i)] * (1.0f / 16);
  // The openings are feathered: well below the skin, not always 0.
  EXPECT_LT(at(mask, eye, 2), 64);
  EXPECT_LT(at(mask, (p[13] + p[14]) * 0.5f, 2), 64);  // mouth
  EXPECT_LT(at(mask, p[105], 2), 64);                   // brow
  EXPECT_LT(at(mask, p[98], 2), 64);                    // nostril
  EXPECT_EQ(mask.at<cv::Vec3b>(5, 5)[2], 0);           // outside the face
  cv::Mat skin = buildSkinMask(canonical());
  EXPECT_EQ(at(skin, p[205], 0), 0);
}

// The eye effects' region mask: each eye triangle warps the whole skin mask from its template
// points onto its shifted eye points and keeps it inside the (pixel-rounded) triangle.
cv::Mat eyeRegion(const cv::Mat& skinMask, const std::vector<cv::Point2f>& points, cv::Mat& covered) {
  cv::Mat blue;
  cv::extractChannel(skinMask, blue, 0);
  blue.convertTo(blue, CV_32F, 1 / 255.0);
  cv::Mat region = cv::Mat::zeros(blue.size(), CV_32F);
  covered = cv::Mat::zeros(blue.size(), CV_32F);
  for (const auto& tri : kEyeTriangles) {
    cv::Point2f from[3], to[3];
    std::vector<cv::Point> rounded;
    for (int k = 0; k < 3; ++k) {
      const EyeTemplatePoint& t = kEyeTemplate[size_t(tri[size_t(k)])];
      from[k] = {float(blue.cols - 1) * t.u, float(blue.rows - 1) * t.v};
      to[k] = shiftEyePoint(tri[size_t(k)], points[size_t(t.landmark)]);
      rounded.emplace_back(int(std::lround(to[k].x)), int(std::lround(to[k].y)));
    }
    cv::Mat warped, inside = cv::Mat::zeros(blue.size(), CV_32F);
    cv::warpAffine(blue, warped, cv::getAffineTransform(from, to), blue.size(), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::fillConvexPoly(inside, rounded, cv::Scalar(1.0), cv::LINE_8);
    region = cv::max(region, warped.mul(inside));
    covered = cv::max(covered, inside);
  }
  return region;
}

TEST(DataBuilderTest, EyeEffectsShiftTheCanonicalEyePointsByAFewPixels) {
  auto p = canonicalCropPoints(canonical());
  double least = 1e9, most = 0;
  for (int i = 0; i < 12; ++i) {
    cv::Point2f at = p[size_t(kEyeTemplate[size_t(i)].landmark)];
    double moved = cv::norm(shiftEyePoint(i, at) - at);
    least = std::min(least, moved);
    most = std::max(most, moved);
  }
  std::cout << "eye points move " << least << " to " << most << " px\n";
  EXPECT_GT(least, 2.5);
  EXPECT_LT(most, 7.5);
}

TEST(DataBuilderTest, EyeEffectsWarpTheSkinMaskOntoTheCanonicalEyes) {
  auto p = canonicalCropPoints(canonical());
  cv::Mat covered;
  cv::Mat region = eyeRegion(buildSkinMask(canonical()), p, covered);
  for (const auto* contour : {&kLeftEyeContour, &kRightEyeContour}) {
    SCOPED_TRACE(contour == &kLeftEyeContour ? "eye of point 33" : "other eye");
    std::vector<cv::Point2f> outline;
    cv::Point2f centre(0, 0);
    for (int i : *contour) {
      outline.push_back(p[size_t(i)]);
      centre += p[size_t(i)] * (1.0f / 16);
    }
    EXPECT_GT(region.at<float>(int(std::lround(centre.y)), int(std::lround(centre.x))), 0.8f);
    // Inside the opening, away from its soft edge, the region is open; far from it, shut.
    int open = 0, core = 0, stray = 0;
    for (int y = 0; y < region.rows; ++y)
      for (int x = 0; x < region.cols; ++x) {
        double d = cv::pointPolygonTest(outline, cv::Point2f(float(x), float(y)), true);
        float v = region.at<float>(y, x);
        if (d > 3 && covered.at<float>(y, x) > 0) ++core, open += v > 0.7f;
        if (d < -5 && v > 0.05f && std::abs(x - centre.x) < 50) ++stray;
      }
    EXPECT_GT(core, 60);
    EXPECT_GT(open, core * 9 / 10) << open << " of " << core;
    EXPECT_EQ(stray, 0);
  }
}

TEST(DataBuilderTest, LookupTablesAreLaidOutByBlueTileRedColumnGreenRow) {
  for (const char* look : {"lookup", "warm", "soft", "studio", "window", "presenting"}) {
    SCOPED_TRACE(look);
    cv::Mat t = buildLookupTable(look);
    EXPECT_EQ(t.size(), cv::Size(256, 16));
    EXPECT_EQ(t.channels(), std::string(look) == "lookup" ? 3 : 4);
  }
  // Eye white: a pure red (r 15, g 0, b 0) loses saturation; a mid grey is lifted.
  cv::Mat eye = buildLookupTable("lookup");
  cv::Vec3b red = eye.at<cv::Vec3b>(0, 0 * 16 + 15);
  EXPECT_LT(red[2], 255);
  EXPECT_GT(red[1], 0);
  cv::Vec3b grey = eye.at<cv::Vec3b>(8, 8 * 16 + 8);
  EXPECT_GT(grey[0], 8 * 17);
  EXPECT_EQ(grey[0], grey[2]);  // neutral stays neutral
  // Warm: a mid grey turns red over blue; every atlas is opaque.
  cv::Vec4b warm = buildLookupTable("warm").at<cv::Vec4b>(8, 8 * 16 + 8);
  EXPECT_GT(warm[2], warm[0]);
  EXPECT_EQ(warm[3], 255);
}

TEST(DataBuilderTest, ZipHoldsStoredEntriesWithTheirCrc) {
  std::string zip = zipStored({{"a.txt", "123456789"}, {"b.bin", ""}});
  auto u32 = [&](size_t at) {
    return uint32_t(uint8_t(zip[at])) | uint32_t(uint8_t(zip[at + 1])) << 8 | uint32_t(uint8_t(zip[at + 2])) << 16 |
           uint32_t(uint8_t(zip[at + 3])) << 24;
  };
  EXPECT_EQ(u32(0), 0x04034b50u);
  EXPECT_EQ(u32(14), 0xcbf43926u);  // CRC-32 of "123456789"
  EXPECT_EQ(u32(18), 9u);
  EXPECT_EQ(zip.substr(30, 5), "a.txt");
  EXPECT_EQ(zip.substr(35, 9), "123456789");
  // End of central directory: two entries, central directory where it says.
  size_t end = zip.size() - 22;
  EXPECT_EQ(u32(end), 0x06054b50u);
  EXPECT_EQ(uint8_t(zip[end + 10]), 2);
  EXPECT_EQ(u32(u32(end + 16)), 0x02014b50u);
}

TEST(DataBuilderTest, MeshAdapterScalesPointsAndAddsIrises) {
  // The face of the astronaut, about as the landmarker crops it.
  cv::Mat face = astronautImage()(cv::Rect(145, 35, 160, 160)), small;
  cv::resize(face, small, {256, 256}, 0, 0, cv::INTER_AREA);
  NTensor input = rgbTensor(small, 0, 1);
  auto got = runOnnx(serializeModel(meshAdapterGraph(mesh())), {{"input_12", input}}, {"Identity", "Identity_1"});
  ASSERT_EQ(got[0].shape, (std::vector<int32_t>{1, 1, 1, 1434}));
  ASSERT_EQ(got[1].shape, (std::vector<int32_t>{1, 1, 1, 1}));
  // Reference: the mesh on the same picture resized to 192 (bilinear, half-pixel centres).
  cv::resize(small, small, {192, 192}, 0, 0, cv::INTER_LINEAR);
  NTensor in192{{1, 192, 192, 3}, {}};
  cv::Mat smallRgb;
  cv::cvtColor(small, smallRgb, cv::COLOR_BGR2RGB);
  cv::Mat f;
  smallRgb.convertTo(f, CV_32F, 1 / 255.0);
  in192.data.assign(f.ptr<float>(), f.ptr<float>() + 192 * 192 * 3);
  auto want = reference::evaluateNhwc(mesh(), {in192});
  const auto& pts = got[0].data;
  double worst = 0;
  for (size_t i = 0; i < 1404; ++i) worst = std::max(worst, double(std::fabs(pts[i] - want[0].data[i] * 256 / 192)));
  EXPECT_LT(worst, 1.5);  // pixels of 256; the two resizes round differently
  EXPECT_GT(got[1].data[0], 0);  // a face
  for (const auto* contour : {&kLeftEyeContour, &kRightEyeContour}) {
    size_t first = contour == &kLeftEyeContour ? 468 : 473;
    double cx = 0, cy = 0, cz = 0;
    for (int i : *contour) {
      cx += pts[size_t(i) * 3] / 16.0;
      cy += pts[size_t(i) * 3 + 1] / 16.0;
      cz += pts[size_t(i) * 3 + 2] / 16.0;
    }
    EXPECT_NEAR(pts[first * 3], cx, 1e-3);
    EXPECT_NEAR(pts[first * 3 + 1], cy, 1e-3);
    double ax = pts[size_t((*contour)[8]) * 3] - pts[size_t((*contour)[0]) * 3];
    double ay = pts[size_t((*contour)[8]) * 3 + 1] - pts[size_t((*contour)[0]) * 3 + 1];
    double along[2] = {cx + 0.195 * ax, cy + 0.195 * ay}, across[2] = {cx - 0.195 * ay, cy + 0.195 * ax};
    EXPECT_NEAR(pts[(first + 1) * 3], along[0], 1e-3);
    EXPECT_NEAR(pts[(first + 1) * 3 + 1], along[1], 1e-3);
    EXPECT_NEAR(pts[(first + 3) * 3], across[0], 1e-3);
    EXPECT_NEAR(pts[(first + 3) * 3 + 1], across[1], 1e-3);
    for (size_t k = 0; k < 5; ++k) EXPECT_NEAR(pts[(first + k) * 3 + 2], cz, 1e-3);
  }
}

class DataFolderTest : public testing::MachineTest {};

TEST_F(DataFolderTest, BuiltFolderIsARepoRootTheEngineLoads) {
  auto out = root() / "data";
  buildDataFolder({cacheDir() / "models", mediaDir()}, out);
  EXPECT_TRUE(isRepoRoot(out));
  auto resources = out / "app" / "base" / "Sources" / "Prismwell" / "Resources";
  for (const char* file : {"facemask.png", "skin_mask.png", "teeth_whitening_mask.png", "lookup.png", "tone_warm.png",
                           "tone_soft.png", "tone_studio.png", "tone_window.png", "tone_presenting.png"})
    EXPECT_TRUE(std::filesystem::is_regular_file(resources / file)) << file;
  for (const char* file : {"face_landmarker.task", "mp_landmarker/onnx/face_detector.onnx",
                           "mp_landmarker/onnx/face_landmarks_detector.onnx"})
    EXPECT_TRUE(std::filesystem::is_regular_file(out / "models" / file)) << file;

  // The engine's own loaders accept every file.
  CropCalibration calibration;
  calibration.load(out / "models" / "calibration" / "mediapipe_crop_calibration.json");
  EXPECT_EQ(calibration.features, (std::vector<std::string>{"constant", "nose_x", "nose_y"}));
  EXPECT_GT(calibration.feature_scale[1], 0);
  double maxFace;
  cv::minMaxLoc(loadImageChannel(resources / "facemask.png", 0), nullptr, &maxFace);
  EXPECT_DOUBLE_EQ(maxFace, 1.0);
  EXPECT_EQ(loadLookupTexture(resources / "lookup.png").size(), cv::Size(256, 16));
  RetouchModels models(out / "models" / "retouch.onnx", out / "models" / "teeth_whitening.onnx", kProviderCpu);
  EXPECT_EQ(models.runSkin(cv::Mat(512, 320, CV_8UC3, cv::Scalar(90, 120, 170)), RetouchSettings{}).size(),
            RetouchModels::kSkinFieldFloats);
  EXPECT_EQ(models.runTeeth(cv::Mat(128, 128, CV_8UC3, cv::Scalar(200, 200, 200))).size(),
            RetouchModels::kTeethFieldFloats);
}

}  // namespace
}  // namespace tesmira::models
