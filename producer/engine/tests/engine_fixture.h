#pragma once
// A small retouch engine on its own files: masks and lookup written as PNGs, constant-field
// stand-ins of the two models, a calibration that carries the eye corners onto fixed crop
// points, a synthetic 478-point face, and a compositor double that records its calls.
#include <windows.h>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "producer/engine/crop_calibration.h"
#include "producer/engine/gpu_compositor.h"
#include "producer/engine/retouch_engine.h"
#include "producer/engine/retouch_models.h"
#include "producer/options.h"
#include "tests/support/machine_fixture.h"
#include "tools/models/onnx_writer.h"

namespace tesmira::testing {

// What the compositor double did and what it answers.
struct CompositorScript {
  bool cameraOnlyResult = true;
  bool residentResult = true;
  bool pasteResult = true;
  bool throwOnFacemask = false;
  std::vector<std::string> calls;
  std::vector<int> toneIndices;
  std::vector<cv::Size> toneSizes;
  int created = 0;
  int alive = 0;
  GpuPostParams lastPost;
  ID3D11Texture2D* lastTexture = nullptr;
  UINT lastSubresource = 0;
  bool lastMirror = false;
  cv::Mat deltaResult;  // what applyDelta hands back
};

class FakeCompositor final : public GpuCompositor {
 public:
  explicit FakeCompositor(CompositorScript& script) : script_(script) {
    ++script_.created;
    ++script_.alive;
  }
  ~FakeCompositor() override { --script_.alive; }

  void setFacemask(const cv::Mat& mask) override {
    script_.calls.push_back("setFacemask");
    if (script_.throwOnFacemask) throw std::runtime_error("Map(mask) failed with HRESULT 0x887A0005");
    EXPECT_EQ(mask.size(), cv::Size(320, 512));
  }
  void setToneLut(int index, const cv::Mat& rgba) override {
    script_.calls.push_back("setToneLut");
    script_.toneIndices.push_back(index);
    script_.toneSizes.push_back(rgba.size());
    EXPECT_EQ(rgba.type(), CV_8UC4);
  }
  bool processCameraOnly(const CameraFrame& frame, const GpuPostParams& post, std::vector<uint8_t>& nv12,
                         GpuTimings& t) override {
    record("processCameraOnly", post, frame);
    return finish(frame.image, nv12, t, script_.cameraOnlyResult);
  }
  bool processResident(const CameraFrame& frame, const FaceCrop&, float, bool, const GpuPostParams& post,
                       std::vector<uint8_t>& nv12, GpuTimings& t) override {
    record("processResident", post, frame);
    return finish(frame.image, nv12, t, script_.residentResult);
  }
  bool pasteCrops(const CameraFrame& frame, const FaceCrop&, const cv::Mat& retouched, const GpuPostParams& post,
                  std::vector<uint8_t>& nv12, GpuTimings& t) override {
    record("pasteCrops", post, frame);
    EXPECT_EQ(retouched.size(), cv::Size(320, 512));
    return finish(frame.image, nv12, t, script_.pasteResult);
  }
  cv::Mat applyDelta(const cv::Mat& frame, const cv::Mat&, const cv::Mat&, const std::array<double, 6>&,
                     GpuDeltaTimings&) override {
    script_.calls.push_back("applyDelta");
    return script_.deltaResult.empty() ? frame.clone() : script_.deltaResult;
  }
  ID3D11Device* device() const override { return reinterpret_cast<ID3D11Device*>(&script_); }

 private:
  void record(const char* call, const GpuPostParams& post, const CameraFrame& frame) {
    script_.calls.push_back(call);
    script_.lastPost = post;
    script_.lastTexture = frame.texture.Get();
    script_.lastSubresource = frame.subresource;
    script_.lastMirror = frame.mirrorTexture;
  }
  static bool finish(const cv::Mat& frame, std::vector<uint8_t>& nv12, GpuTimings& t, bool result) {
    t.compositeGpu = 1.5;
    t.pasteGpu = 2.5;
    if (result) nv12.assign(size_t(frame.cols) * size_t(frame.rows) * 3 / 2, 0x5a);
    return result;
  }
  CompositorScript& script_;
};

inline CompositorFactory fakeCompositorFactory(CompositorScript& script) {
  return [&script]() -> std::unique_ptr<GpuCompositor> { return std::make_unique<FakeCompositor>(script); };
}

// The synthetic face's layout in a 640x480 frame.
inline constexpr int kFrameWidth = 640;
inline constexpr int kFrameHeight = 480;

// 478 points: eye rings around (280, 200) and (360, 200), the inner lip ring around
// (320, 350) with the given half opening, forehead 10 at y 120 and chin 152 at y 440;
// every other point at the face centre.
inline std::vector<LandmarkPoint> syntheticFace(float lipHalfOpening = 10.0f, size_t count = 478) {
  std::vector<LandmarkPoint> p(count, LandmarkPoint{320, 300, 0});
  auto put = [&](size_t i, float x, float y) {
    if (i < count) p[i] = LandmarkPoint{x, y, 0};  // count, not p.size(): GCC 12 then sees the bound
  };
  put(1, 320, 280);
  put(10, 320, 120);
  put(152, 320, 440);
  // Eye corners 33 / 133 and 362 / 263, lids above and below.
  put(33, 260, 200), put(160, 272, 190), put(158, 288, 190), put(133, 300, 200), put(153, 288, 210), put(144, 272, 210);
  put(362, 340, 200), put(385, 352, 190), put(387, 368, 190), put(263, 380, 200), put(373, 368, 210), put(380, 352, 210);
  const int ring[20] = {78, 191, 80, 81, 82, 13, 312, 311, 310, 415, 308, 324, 318, 402, 317, 14, 87, 178, 88, 95};
  for (int k = 0; k < 20; ++k) {
    const double pi = 3.14159265358979323846;
    const double theta = pi + k * pi / 10.0;
    put(size_t(ring[k]), float(320 + 30 * std::cos(theta)), float(350 + lipHalfOpening * std::sin(theta)));
  }
  return p;
}

// Eye corners 33 and 263 land on crop points (100, 200) and (220, 200): with the synthetic
// face the crop is the frame moved left by 160 pixels.
inline CropCalibration eyeCornerCalibration() {
  CropCalibration c;
  c.anchor_left_indices = {33};
  c.anchor_right_indices = {263};
  c.features = {"constant"};
  c.feature_mean = {0};
  c.feature_scale = {1};
  c.constant_mask = {true};
  c.coef = {{-0.5, 0, 0.5, 0}};
  c.template_left_px = {100, 200};
  c.template_right_px = {220, 200};
  return c;
}

// A textured frame: every pixel differs from its neighbours.
inline cv::Mat texturedFrame(int width = kFrameWidth, int height = kFrameHeight) {
  cv::Mat m(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      m.at<cv::Vec3b>(y, x) = cv::Vec3b(uint8_t((x * 7 + y * 3) % 200 + 20), uint8_t((x * 3 + y * 5) % 180 + 40),
                                        uint8_t((x + y * 11) % 220 + 10));
  return m;
}

// A lookup texture that maps every colour onto itself (256 x 16, red, green, blue floats).
inline cv::Mat identityLookupRgb8() {
  cv::Mat rgb(16, 256, CV_8UC3);
  for (int g = 0; g < 16; ++g)
    for (int tile = 0; tile < 16; ++tile)
      for (int r = 0; r < 16; ++r) rgb.at<cv::Vec3b>(g, tile * 16 + r) = cv::Vec3b(uint8_t(r * 17), uint8_t(g * 17), uint8_t(tile * 17));
  return rgb;
}

class EngineTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    for (const wchar_t* name : {L"TESMIRA_GPU_PASTE", L"TESMIRA_GPU_RESIDENT", L"TESMIRA_ONNX_LANDMARKER"})
      SetEnvironmentVariableW(name, nullptr);
    resources_ = root() / "Resources";
    std::filesystem::create_directories(resources_);
    options_.resourcesDir = resources_;
    options_.facemaskPath = resources_ / "facemask.png";
    options_.skinMaskPath = resources_ / "skin_mask.png";
    options_.teethMaskPath = resources_ / "teeth_whitening_mask.png";
    options_.lookupPath = resources_ / "lookup.png";
    // A facemask over the whole crop; skin and teeth masks full on.
    writePng(options_.facemaskPath, cv::Mat(512, 320, CV_8UC3, cv::Scalar(255, 255, 255)));
    writePng(options_.skinMaskPath, cv::Mat(64, 64, CV_8UC3, cv::Scalar(255, 255, 255)));
    writePng(options_.teethMaskPath, cv::Mat(64, 64, CV_8UC1, cv::Scalar(255)));
    cv::Mat bgr;
    cv::cvtColor(identityLookupRgb8(), bgr, cv::COLOR_RGB2BGR);
    writePng(options_.lookupPath, bgr);
    for (const char* tone : kToneAtlasNames) writePng(resources_ / tone, cv::Mat(16, 256, CV_8UC3, cv::Scalar(10, 20, 30)));
    options_.skinModelPath = root() / "skin.onnx";
    options_.teethModelPath = root() / "teeth.onnx";
    writeSkinModel(255.0f, 0.0f);
    writeTeethModel(255.0f);
    calibration_ = eyeCornerCalibration();
  }

  static void writePng(const std::filesystem::path& file, const cv::Mat& image) {
    ASSERT_TRUE(cv::imwrite(file.string(), image)) << file;
  }

  // Skin stand-in: the field's colour channels all `colour`, its amount `amount` (raw units).
  void writeSkinModel(float colour, float amount) {
    models::Graph g;
    g.input("data", {1, 3, 320, 512});
    g.input("cond", {1, 4, 1, 1});
    std::vector<float> values(RetouchModels::kSkinFieldFloats, colour);
    std::fill(values.begin() + 3 * 40 * 64, values.end(), amount);
    g.node("Identity", {g.constant("field", {int64_t(values.size())}, values)}, {}, "output_0");
    g.output("output_0", {int64_t(values.size())});
    models::writeModel(options_.skinModelPath, g);
  }
  void writeTeethModel(float raw) {
    models::Graph g;
    g.input("data", {1, 3, 128, 128});
    std::vector<float> values(RetouchModels::kTeethFieldFloats, raw);
    g.node("Identity", {g.constant("field", {int64_t(values.size())}, values)}, {}, "output_0");
    g.output("output_0", {int64_t(values.size())});
    models::writeModel(options_.teethModelPath, g);
  }

  void makeModels() { models_ = std::make_unique<RetouchModels>(options_.skinModelPath, options_.teethModelPath, kProviderCpu); }
  std::unique_ptr<RetouchEngine> makeEngine(bool preferGpu = true) {
    if (!models_) makeModels();
    return std::make_unique<RetouchEngine>(options_, *models_, calibration_, preferGpu, fakeCompositorFactory(script_));
  }

  std::filesystem::path resources_;
  ProducerOptions options_;
  CropCalibration calibration_;
  std::unique_ptr<RetouchModels> models_;
  CompositorScript script_;
};

}  // namespace tesmira::testing
