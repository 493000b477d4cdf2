#include "producer/engine/retouch_engine.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "producer/engine/crop_paste.h"
#include "producer/engine/gpu_d3d11_compositor.h"
#include "producer/engine/tests/engine_fixture.h"
#include "producer/frame_convert.h"
#include "producer/producer_channels.h"
#include "tesmira/d3d11_testing.h"
#include "tesmira/platform_testing.h"

namespace tesmira {
namespace {

using testing::CompositorScript;
using testing::EngineTest;
using testing::kFrameHeight;
using testing::kFrameWidth;
using testing::syntheticFace;
using testing::texturedFrame;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

void setEnv(const wchar_t* name, const char* value) {
  if (!value) {
    SetEnvironmentVariableW(name, nullptr);
    return;
  }
  const std::string text(value);
  SetEnvironmentVariableW(name, std::wstring(text.begin(), text.end()).c_str());
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool sameBytes(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Settings with every face effect off; rows switch on what they need.
RetouchSettings plainSettings() {
  RetouchSettings s;
  s.teeth = 0;
  s.eyeWhite = 0;
  s.eyeSharp = 0;
  s.sharpen = 0;
  s.tone = 0;
  return s;
}

// The synthetic face in crop pixels (the crop is the frame moved left by 160).
std::vector<cv::Point2f> cropPointsOf(const std::vector<LandmarkPoint>& landmarks) {
  std::vector<cv::Point2f> points;
  for (const LandmarkPoint& p : landmarks) points.emplace_back(p.x - 160.0f, p.y);
  return points;
}

// Pixels of `a` and `b` that differ, outside `keep`.
int differencesOutside(const cv::Mat& a, const cv::Mat& b, const cv::Rect& keep) {
  int n = 0;
  for (int y = 0; y < a.rows; ++y)
    for (int x = 0; x < a.cols; ++x)
      if (!keep.contains(cv::Point(x, y)) && a.at<cv::Vec3b>(y, x) != b.at<cv::Vec3b>(y, x)) ++n;
  return n;
}

struct ModeCase {
  const char* paste;
  const char* resident;
  bool prefer;
  bool compositor;
  bool pasteFlag;
  bool residentFlag;
};

const std::vector<ModeCase>& modeTable() {
  static const std::vector<ModeCase> cases = {
      {nullptr, nullptr, true, true, false, true}, {nullptr, "1", true, true, false, true},
      {"0", "x", true, true, false, true},         {"", "10", true, true, false, true},
      {nullptr, "0", true, false, false, false},   {"2", "0", true, false, false, false},
      {"1", nullptr, true, true, true, false},     {"1", "x", true, true, true, false},
      {"1", "1", true, true, false, true},         {"1", "0", true, true, true, false},
      {"10", "01", true, true, true, false},       {nullptr, nullptr, false, false, false, false},
      {nullptr, "1", false, true, false, true},    {"1", nullptr, false, true, true, false},
      {nullptr, "x", false, false, false, false},
  };
  return cases;
}

std::string modeName(const ModeCase& c) {
  return std::string("paste=") + (c.paste ? c.paste : "unset") + " resident=" + (c.resident ? c.resident : "unset") +
         (c.prefer ? " gpu" : " cpu");
}

TEST_F(EngineTest, ModeFollowsTheTwoSwitchesAndThePreference) {
  makeModels();
  for (const ModeCase& c : modeTable()) {
    const std::string name = modeName(c);
    setEnv(L"TESMIRA_GPU_PASTE", c.paste);
    setEnv(L"TESMIRA_GPU_RESIDENT", c.resident);
    script_ = CompositorScript{};
    {
      auto engine = makeEngine(c.prefer);
      EXPECT_EQ(script_.created, c.compositor ? 1 : 0) << name;
      EXPECT_EQ(engine->d3dDevice() != nullptr, c.compositor) << name;
      EXPECT_EQ(engine->gpuPaste(), c.pasteFlag) << name;
      EXPECT_EQ(engine->gpuResident(), c.residentFlag) << name;
      const std::vector<std::string> resident = {"setFacemask", "setToneLut", "setToneLut", "setToneLut", "setToneLut",
                                                 "setToneLut"};
      EXPECT_EQ(script_.calls, c.residentFlag ? resident : std::vector<std::string>{}) << name;
      if (c.residentFlag) {
        EXPECT_EQ(script_.toneIndices, (std::vector<int>{1, 2, 3, 4, 5})) << name;
        for (const cv::Size& size : script_.toneSizes) EXPECT_EQ(size, cv::Size(256, 16)) << name;
      }
    }
    EXPECT_EQ(script_.alive, 0) << name;
  }
}

TEST_F(EngineTest, TheModeTableHoldsWithTheRealCompositor) {
  makeModels();
  // One row of each outcome: a compositor build costs seconds on the CPU rasteriser.
  for (size_t row : {0, 4, 6, 11, 12, 13}) {
    const ModeCase& c = modeTable()[row];
    const std::string name = modeName(c);
    setEnv(L"TESMIRA_GPU_PASTE", c.paste);
    setEnv(L"TESMIRA_GPU_RESIDENT", c.resident);
    ::testing::internal::CaptureStderr();
    RetouchEngine engine(options_, *models_, calibration_, c.prefer, createGpuCompositor);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << name;
    EXPECT_EQ(engine.d3dDevice() != nullptr, c.compositor) << name;
    EXPECT_EQ(engine.d3dDevice(), c.compositor ? engine.compositor()->device() : nullptr) << name;
    EXPECT_EQ(engine.gpuPaste(), c.pasteFlag) << name;
    EXPECT_EQ(engine.gpuResident(), c.residentFlag) << name;
  }
}

TEST_F(EngineTest, MasksAreLoadedFromTheirChannelsAndSized) {
  // facemask: red plane at a foreign size; skin mask: blue plane kept at its size; teeth: red.
  writePng(options_.facemaskPath, cv::Mat(100, 60, CV_8UC3, cv::Scalar(0, 0, 255)));
  writePng(options_.skinMaskPath, cv::Mat(30, 50, CV_8UC3, cv::Scalar(255, 0, 0)));
  writePng(options_.teethMaskPath, cv::Mat(20, 20, CV_8UC3, cv::Scalar(0, 255, 51)));
  auto engine = makeEngine(false);
  EXPECT_EQ(engine->facemask().size(), cv::Size(320, 512));
  EXPECT_FLOAT_EQ(engine->facemask().at<float>(100, 100), 1.0f);
  EXPECT_EQ(engine->skinMask().size(), cv::Size(50, 30));
  EXPECT_FLOAT_EQ(engine->skinMask().at<float>(10, 10), 1.0f);
  EXPECT_EQ(engine->teethMask().size(), cv::Size(128, 128));
  EXPECT_FLOAT_EQ(engine->teethMask().at<float>(64, 64), 0.2f);
  EXPECT_EQ(engine->lookup().size(), cv::Size(256, 16));
  EXPECT_EQ(engine->lookup().type(), CV_32FC3);
}

TEST_F(EngineTest, AMissingMaskOrLookupEndsTheSetUp) {
  struct Case {
    std::filesystem::path ProducerOptions::*file;
    std::string message;
  };
  makeModels();
  for (const Case& c : {Case{&ProducerOptions::facemaskPath, "Could not load image: "},
                        Case{&ProducerOptions::skinMaskPath, "Could not load image: "},
                        Case{&ProducerOptions::teethMaskPath, "Could not load image: "},
                        Case{&ProducerOptions::lookupPath, "Could not load lookup texture: "}}) {
    const std::filesystem::path kept = options_.*c.file;
    options_.*c.file = root() / "missing.png";
    try {
      makeEngine();
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), c.message + (root() / "missing.png").string());
    }
    EXPECT_EQ(script_.created, 0);  // nothing of the GPU mode is tried
    options_.*c.file = kept;
  }
}

TEST_F(EngineTest, AToneAtlasThatCannotBeReadFallsBackToTheCpu) {
  struct Case {
    const char* name;
    bool corrupt;
  };
  makeModels();
  for (const Case& c : {Case{"missing", false}, Case{"corrupt", true}}) {
    const auto studio = resources_ / "tone_studio.png";
    std::filesystem::remove(studio);
    if (c.corrupt) std::ofstream(studio, std::ios::binary) << "not a png at all";
    script_ = CompositorScript{};
    ::testing::internal::CaptureStderr();
    auto engine = makeEngine();
    const std::string err = ::testing::internal::GetCapturedStderr();
    // The image reader may warn first; the fall-back line ends the output.
    EXPECT_TRUE(endsWith(err, "\nGPU compositor unavailable, using CPU path: Could not load tone LUT: " +
                                  studio.string() + "\n") ||
                err == "GPU compositor unavailable, using CPU path: Could not load tone LUT: " + studio.string() + "\n")
        << c.name << ": " << err;
    EXPECT_FALSE(engine->gpuResident()) << c.name;
    EXPECT_FALSE(engine->gpuPaste()) << c.name;
    // The compositor made before the failure stays, with its device.
    EXPECT_NE(engine->d3dDevice(), nullptr) << c.name;
    EXPECT_EQ(script_.toneIndices, (std::vector<int>{1, 2})) << c.name;
  }
}

TEST_F(EngineTest, CompositorFailuresFallBackToTheCpu) {
  makeModels();
  {
    // The default factory on a machine without a Direct3D device.
    platform::d3d11::setAdapterChoice("none");
    ::testing::internal::CaptureStderr();
    RetouchEngine engine(options_, *models_, calibration_, true);
    platform::d3d11::setAdapterChoice("");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "GPU compositor unavailable, using CPU path: D3D11CreateDevice(compositor) failed with HRESULT "
              "0x887A0004\n");
    EXPECT_EQ(engine.d3dDevice(), nullptr);
    EXPECT_FALSE(engine.gpuResident());
    EXPECT_FALSE(engine.gpuPaste());
  }
  {
    // The real compositor failing at a later step leaves nothing of itself behind.
    platform::faults::injectAfter("ID3D11Device::CreateQuery", 0x8007000E, 2);
    ::testing::internal::CaptureStderr();
    RetouchEngine engine(options_, *models_, calibration_, true);
    platform::faults::clearAll();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "GPU compositor unavailable, using CPU path: CreateQuery(mid) failed with HRESULT 0x8007000E\n");
    EXPECT_EQ(engine.d3dDevice(), nullptr);
    EXPECT_FALSE(engine.gpuResident());
  }
  {
    script_.throwOnFacemask = true;
    ::testing::internal::CaptureStderr();
    auto engine = makeEngine();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "GPU compositor unavailable, using CPU path: Map(mask) failed with HRESULT 0x887A0005\n");
    EXPECT_FALSE(engine->gpuResident());
    EXPECT_TRUE(script_.toneIndices.empty());
  }
}

TEST_F(EngineTest, ToneAtlasPathsTakeOneSeparator) {
  const char sep = char(std::filesystem::path::preferred_separator);
  EXPECT_EQ(toneAtlasPath("res", 1).string(), std::string("res") + sep + "tone_warm.png");
  EXPECT_EQ(toneAtlasPath("res/", 2).string(), "res/tone_soft.png");
  EXPECT_EQ(toneAtlasPath("res\\", 3).string(), "res\\tone_studio.png");
  EXPECT_EQ(toneAtlasPath("res", 4).string(), std::string("res") + sep + "tone_window.png");
  EXPECT_EQ(toneAtlasPath("res", 5).string(), std::string("res") + sep + "tone_presenting.png");
}

struct Road {
  const char* name;
  bool face;
  bool openMouth;
  const char* pasteEnv;
  const char* residentEnv;
  float sharpen;
  int tone;
  float teeth;
  float eyes;  // eyeWhite and eyeSharp
  bool cameraOnlyResult;
  bool residentResult;
  bool pasteResult;
  bool nv12;
  std::vector<std::string> calls;
  bool passThrough;  // the BGR output shares the frame's pixels
};

class DispatcherTest : public EngineTest {
 protected:
  std::unique_ptr<RetouchEngine> cpuEngine() {
    makeModels();
    setEnv(L"TESMIRA_GPU_RESIDENT", "0");
    return makeEngine();
  }
  // The CPU road's BGR result.
  static cv::Mat cpuRoad(RetouchEngine& engine, const cv::Mat& frame, const std::vector<LandmarkPoint>& landmarks,
                         const RetouchSettings& settings, RetouchTimings* timings = nullptr) {
    std::vector<uint8_t> nv12;
    uint32_t w = 0, h = 0;
    cv::Mat bgr;
    EXPECT_FALSE(engine.processFrame({frame}, landmarks, settings, nv12, w, h, bgr, timings));
    return bgr;
  }
};

TEST_F(DispatcherTest, EveryRoadOfTheBranchTable) {
  const std::vector<Road> roads = {
      {"no face, tone: GPU global effects", false, false, nullptr, nullptr, 0, 2, 0, 0, true, true, true, true,
       {"processCameraOnly"}, false},
      {"no face, sharpen: GPU global effects", false, false, nullptr, nullptr, 0.5f, 0, 0, 0, true, true, true, true,
       {"processCameraOnly"}, false},
      {"no face, no global effect: pass-through", false, false, nullptr, nullptr, 0, 0, 0.45f, 0.2f, true, true, true,
       false, {}, true},
      {"no face, camera-only call fails: pass-through", false, false, nullptr, nullptr, 0, 2, 0, 0, false, true, true,
       false, {"processCameraOnly"}, true},
      {"no face, CPU engine: pass-through", false, false, nullptr, "0", 0.5f, 2, 0, 0, true, true, true, false, {},
       true},
      {"face, closed mouth, no eyes: resident", true, false, nullptr, nullptr, 0.5f, 1, 0.45f, 0, true, true, true,
       true, {"processResident"}, false},
      {"face, resident call fails: CPU road", true, false, nullptr, nullptr, 0.5f, 1, 0.45f, 0, true, false, true,
       false, {"processResident"}, false},
      {"face, open mouth: CPU face stage, GPU paste", true, true, nullptr, nullptr, 0, 0, 0.45f, 0, true, true, true,
       true, {"pasteCrops"}, false},
      {"face, eyes: CPU face stage, GPU paste", true, false, nullptr, nullptr, 0, 0, 0, 0.2f, true, true, true, true,
       {"pasteCrops"}, false},
      {"face, eyes, paste call fails: CPU paste", true, false, nullptr, nullptr, 0, 0, 0, 0.2f, true, true, false,
       false, {"pasteCrops"}, false},
      {"face, CPU engine: CPU road", true, true, nullptr, "0", 0.5f, 2, 0.45f, 0.2f, true, true, true, false, {},
       false},
      {"face, paste mode: CPU face stage, GPU delta", true, true, "1", "0", 0.5f, 2, 0.45f, 0.2f, true, true, true,
       false, {"applyDelta"}, false},
  };
  makeModels();
  const cv::Mat frame = texturedFrame();
  // A camera texture the fake compositor only passes on.
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device,
                              nullptr, nullptr),
            S_OK);
  const D3D11_TEXTURE2D_DESC desc{
      1, 1, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE, 0, 0};
  CameraFrame camera{frame};
  ASSERT_EQ(device->CreateTexture2D(&desc, nullptr, &camera.texture), S_OK);
  camera.subresource = 3;
  camera.mirrorTexture = true;
  ID3D11Texture2D* const texture = camera.texture.Get();
  for (const Road& road : roads) {
    setEnv(L"TESMIRA_GPU_PASTE", road.pasteEnv);
    setEnv(L"TESMIRA_GPU_RESIDENT", road.residentEnv);
    script_ = CompositorScript{};
    script_.cameraOnlyResult = road.cameraOnlyResult;
    script_.residentResult = road.residentResult;
    script_.pasteResult = road.pasteResult;
    script_.deltaResult = cv::Mat(frame.size(), CV_8UC3, cv::Scalar(1, 2, 3));
    auto engine = makeEngine();
    script_.calls.clear();

    RetouchSettings settings = plainSettings();
    settings.sharpen = road.sharpen;
    settings.tone = road.tone;
    settings.teeth = road.teeth;
    settings.eyeWhite = settings.eyeSharp = road.eyes;
    const std::vector<LandmarkPoint> landmarks =
        road.face ? syntheticFace(road.openMouth ? 10.0f : 1.0f) : std::vector<LandmarkPoint>{};
    std::vector<uint8_t> nv12 = {1, 2, 3};
    uint32_t width = 7, height = 9;
    cv::Mat bgr;
    RetouchTimings timings;
    const bool result =
        engine->processFrame(camera, landmarks, settings, nv12, width, height, bgr, &timings);

    EXPECT_EQ(result, road.nv12) << road.name;
    EXPECT_EQ(script_.calls, road.calls) << road.name;
    if (road.nv12) {
      EXPECT_EQ(width, uint32_t(kFrameWidth)) << road.name;
      EXPECT_EQ(height, uint32_t(kFrameHeight)) << road.name;
      EXPECT_EQ(nv12.size(), size_t(kFrameWidth * kFrameHeight * 3 / 2)) << road.name;
      EXPECT_TRUE(bgr.empty()) << road.name;
    } else {
      EXPECT_EQ(width, 7u) << road.name;
      EXPECT_EQ(height, 9u) << road.name;
      EXPECT_EQ(nv12, (std::vector<uint8_t>{1, 2, 3})) << road.name;
      ASSERT_EQ(bgr.size(), frame.size()) << road.name;
      EXPECT_EQ(bgr.data == frame.data, road.passThrough) << road.name;
      if (road.face) {
        EXPECT_FALSE(sameBytes(bgr, frame)) << road.name << ": nothing was retouched";
      }
    }
    if (!road.calls.empty() && road.calls.front() != "applyDelta") {
      // Texture, subresource and mirror go to the GPU unchanged; the settings' effects too.
      EXPECT_EQ(script_.lastTexture, texture) << road.name;
      EXPECT_EQ(script_.lastSubresource, 3u) << road.name;
      EXPECT_TRUE(script_.lastMirror) << road.name;
      EXPECT_EQ(script_.lastPost.sharpen, road.sharpen) << road.name;
      EXPECT_EQ(script_.lastPost.toneIndex, road.tone) << road.name;
      // A face of 478 landmarks at the default strength brings its perspective field.
      EXPECT_EQ(script_.lastPost.field != nullptr, road.face) << road.name;
    }
    EXPECT_EQ(timings.mouthOpen, road.face && road.openMouth) << road.name;
    EXPECT_EQ(timings.teethApplied, road.face && road.openMouth && road.teeth > 0 && road.calls != std::vector<std::string>{"processResident"}) << road.name;
    EXPECT_EQ(timings.eyeApplied, road.face && road.eyes > 0) << road.name;
    EXPECT_GE(timings.pipeline, 0.0) << road.name;
    if (road.calls == std::vector<std::string>{"processResident"} && road.nv12) {
      EXPECT_EQ(timings.skin_comp, 1.5) << road.name;
      EXPECT_EQ(timings.paste, 2.5) << road.name;
    }
    if (road.calls == std::vector<std::string>{"pasteCrops"} && road.nv12) {
      EXPECT_EQ(timings.paste, 2.5) << road.name;
    }
  }
}

TEST_F(DispatcherTest, AFailedResidentCallGivesTheCpuRoadWithoutGlobalEffects) {
  makeModels();
  const cv::Mat frame = texturedFrame();
  RetouchSettings settings = plainSettings();
  settings.sharpen = 0.8f;
  settings.tone = 3;
  script_.residentResult = false;
  auto resident = makeEngine();
  const cv::Mat fromResident = cpuRoad(*resident, frame, syntheticFace(1.0f), settings);
  auto cpu = cpuEngine();
  EXPECT_TRUE(sameBytes(fromResident, cpuRoad(*cpu, frame, syntheticFace(1.0f), settings)));
}

TEST_F(DispatcherTest, NoFaceWithoutEffectsHandsTheFrameBackUntouched) {
  makeModels();
  auto engine = makeEngine();
  const cv::Mat frame = texturedFrame();
  std::vector<uint8_t> nv12 = {9, 9};
  uint32_t w = 1, h = 2;
  cv::Mat bgr;
  RetouchTimings timings;
  timings.skin_model = timings.eye = timings.paste = 99;
  timings.mouthOpen = timings.teethApplied = timings.eyeApplied = true;
  EXPECT_FALSE(engine->processFrame({frame}, {}, plainSettings(), nv12, w, h, bgr, &timings));
  EXPECT_EQ(bgr.data, frame.data);
  EXPECT_EQ(nv12, (std::vector<uint8_t>{9, 9}));
  EXPECT_EQ(w, 1u);
  EXPECT_EQ(h, 2u);
  // Every field starts from zero on each call.
  EXPECT_EQ(timings.skin_model, 0.0);
  EXPECT_EQ(timings.eye, 0.0);
  EXPECT_EQ(timings.paste, 0.0);
  EXPECT_FALSE(timings.mouthOpen || timings.teethApplied || timings.eyeApplied);
}

TEST_F(DispatcherTest, NullTimingsBehaveTheSame) {
  auto engine = cpuEngine();
  const cv::Mat frame = texturedFrame();
  RetouchSettings settings = plainSettings();
  settings.teeth = 0.45f;
  settings.eyeWhite = 0.22f;
  settings.eyeSharp = 0.25f;
  RetouchTimings timings;
  const cv::Mat withTimings = cpuRoad(*engine, frame, syntheticFace(), settings, &timings);
  EXPECT_TRUE(sameBytes(withTimings, cpuRoad(*engine, frame, syntheticFace(), settings)));
  EXPECT_TRUE(timings.teethApplied && timings.eyeApplied && timings.mouthOpen);
  EXPECT_GT(timings.skin_model, 0.0);
  EXPECT_GT(timings.teeth_total, 0.0);
  EXPECT_GE(timings.teeth_total, timings.teeth_model);
}

TEST_F(DispatcherTest, ZeroGainAndNoEffectsLeaveTheFrameByteForByte) {
  auto engine = cpuEngine();
  const cv::Mat frame = texturedFrame();
  for (float gain : {0.0f, kNaN, kInf}) {
    RetouchSettings settings = plainSettings();
    settings.gain = gain;
    EXPECT_TRUE(sameBytes(cpuRoad(*engine, frame, syntheticFace(), settings), frame)) << gain;
  }
}

TEST_F(DispatcherTest, TheRetouchStaysInsideTheCropFootprint) {
  auto engine = cpuEngine();
  const cv::Mat frame = texturedFrame();
  // The default settings: every effect on.
  const cv::Mat bgr = cpuRoad(*engine, frame, syntheticFace(), RetouchSettings{});
  // The crop covers frame x 160..480 (plus the 2-pixel margin).
  EXPECT_EQ(differencesOutside(bgr, frame, cv::Rect(158, 0, 324, kFrameHeight)), 0);
  EXPECT_GT(cv::norm(bgr, frame, cv::NORM_L1), 1e5);
}

// Counts the image buffers OpenCV allocates while it is installed. Inside every call OpenCV's
// warps make block buffers of at most 16 KiB (64x64 points), and filters their kernels:
// those are no buffer of the road, and smaller than any of its images.
class ImageAllocationCounter final : public cv::MatAllocator {
 public:
  static constexpr size_t kBlockBytes = 16384;
  ImageAllocationCounter() : base_(cv::Mat::getStdAllocator()), previous_(cv::Mat::getDefaultAllocator()) {
    cv::Mat::setDefaultAllocator(this);
  }
  ~ImageAllocationCounter() override { cv::Mat::setDefaultAllocator(previous_); }
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step, cv::AccessFlag flags,
                         cv::UMatUsageFlags usage) const override {
    size_t bytes = CV_ELEM_SIZE(type);
    for (int i = 0; i < dims; ++i) bytes *= size_t(sizes[i]);
    if (!data && bytes > kBlockBytes) ++images;
    return base_->allocate(dims, sizes, type, data, step, flags, usage);
  }
  bool allocate(cv::UMatData* u, cv::AccessFlag access, cv::UMatUsageFlags usage) const override {
    return base_->allocate(u, access, usage);
  }
  void deallocate(cv::UMatData* u) const override { base_->deallocate(u); }

  mutable std::atomic<int> images{0};

 private:
  cv::MatAllocator* base_;
  cv::MatAllocator* previous_;
};

}  // namespace

// Counts the blocks of chosen sizes that operator new hands out while a WatchedBlocks lives.
// OpenCV and ONNX Runtime allocate small blocks of their own inside every call; the road's
// own lists have sizes the test knows.
namespace heap {
std::array<std::atomic<size_t>, 2> watched{};
std::atomic<int> taken{0};
void* take(std::size_t bytes) {
  for (const auto& size : watched)
    if (bytes != 0 && bytes == size.load(std::memory_order_relaxed)) taken.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(bytes ? bytes : 1)) return block;
  throw std::bad_alloc();
}
}  // namespace heap
}  // namespace tesmira

void* operator new(std::size_t bytes) { return tesmira::heap::take(bytes); }
void* operator new[](std::size_t bytes) { return tesmira::heap::take(bytes); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  try {
    return tesmira::heap::take(bytes);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t bytes, const std::nothrow_t& tag) noexcept { return operator new(bytes, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace tesmira {
namespace {

class WatchedBlocks {
 public:
  WatchedBlocks(size_t first, size_t second) {
    heap::taken = 0;
    heap::watched[0] = first;
    heap::watched[1] = second;
  }
  ~WatchedBlocks() {
    for (auto& size : heap::watched) size = 0;
  }
  int taken() const { return heap::taken.load(); }
};

// The synthetic face with taller eye openings: another eye rectangle in the crop.
std::vector<LandmarkPoint> tallerEyes(std::vector<LandmarkPoint> points) {
  for (size_t i : {160, 158, 385, 387}) points[i].y -= 5;
  for (size_t i : {153, 144, 373, 380}) points[i].y += 5;
  return points;
}

TEST_F(DispatcherTest, TheCpuRoadAllocatesNoImageAfterItsFirstFrame) {
  struct Case {
    const char* name;
    bool maskBypass;
  };
  for (const Case& c : {Case{"face mask", false}, Case{"mask bypass", true}}) {
    auto engine = cpuEngine();
    const cv::Mat frame = texturedFrame();
    RetouchSettings settings;  // the defaults: teeth on an open mouth, eyes
    settings.maskBypass = c.maskBypass;
    RetouchTimings timings;
    cpuRoad(*engine, frame, syntheticFace(), settings, &timings);
    ASSERT_TRUE(timings.teethApplied && timings.eyeApplied) << c.name;
    ASSERT_GT(timings.teeth_comp, 0.0) << c.name;  // the whole teeth stage ran
    const std::vector<LandmarkPoint> open = syntheticFace(), shut = tallerEyes(syntheticFace(1.0f));
    ImageAllocationCounter counter;
    // The face's crop points and skin field.
    WatchedBlocks lists(open.size() * sizeof(cv::Point2f), RetouchModels::kSkinFieldFloats * sizeof(float));
    for (int frameNumber = 0; frameNumber < 3; ++frameNumber) {
      cpuRoad(*engine, frame, open, settings, &timings);
      // Another eye rectangle, no teeth: a frame of another shape needs no new buffer either.
      cpuRoad(*engine, frame, shut, settings, &timings);
    }
    EXPECT_EQ(counter.images.load(), 0) << c.name;
    EXPECT_EQ(lists.taken(), 0) << c.name;
  }
}

TEST_F(DispatcherTest, ReusedBuffersCarryNothingFromFrameToFrame) {
  struct Step {
    const char* name;
    std::vector<LandmarkPoint> landmarks;
    bool maskBypass;
  };
  const std::vector<Step> steps = {
      {"open mouth", syntheticFace(), false},
      {"shut mouth, taller eyes, mask bypass", tallerEyes(syntheticFace(1.0f)), true},
      {"no face", {}, false},
  };
  // Noise, where sharpening changes every eye pixel it reaches (the linear ramps of
  // texturedFrame sharpen to themselves).
  cv::Mat frame(kFrameHeight, kFrameWidth, CV_8UC3);
  cv::RNG(7).fill(frame, cv::RNG::UNIFORM, 0, 256);
  auto engine = cpuEngine();
  auto run = [&](const Step& step) {
    RetouchSettings settings;
    settings.maskBypass = step.maskBypass;
    settings.gain = 0;  // the stand-in skin model would flatten the crop to white
    return cpuRoad(*engine, frame, step.landmarks, settings).clone();
  };
  std::vector<cv::Mat> first;
  for (const Step& step : steps) first.push_back(run(step));
  // Each step again, after every other: the same bytes as the first time.
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < steps.size(); ++i) {
      EXPECT_TRUE(sameBytes(run(steps[i]), first[i])) << steps[i].name << ", round " << round;
    }
  }
}

TEST_F(EngineTest, MouthTestComparesTheOpeningWithHalfTheFaceHeight) {
  // Anchors below index 152, so that short point lists still align (the crop is then a 3x zoom).
  calibration_.anchor_right_indices = {133};
  makeModels();
  auto engine = makeEngine(false);
  const cv::Mat frame = texturedFrame();
  auto face = [](float lowerLipY, size_t count) {
    auto p = syntheticFace(10.0f, count);
    p[10] = {320, 100, 0};
    if (count > 152) p[152] = {320, 300, 0};  // half height 100
    p[13] = {320, 340, 0};
    p[14] = {320, lowerLipY, 0};
    return p;
  };
  struct Case {
    const char* name;
    float lowerLipY;
    size_t count;
    bool open;
  };
  for (const Case& c : {Case{"ratio 0.03", 343.0f, 478, true},
                        Case{"just below 0.03", std::nextafter(343.0f, 0.0f), 478, false},
                        Case{"wide open", 380.0f, 478, true}, Case{"closed", 340.0f, 478, false},
                        Case{"152 points", 380.0f, 152, false}, Case{"153 points", 380.0f, 153, true},
                        Case{"NaN lip", kNaN, 478, false}}) {
    RetouchTimings timings;
    const FaceCrop crop = engine->runSkinStage(frame, face(c.lowerLipY, c.count), plainSettings(), timings);
    EXPECT_EQ(crop.mouthOpen, c.open) << c.name;
    EXPECT_EQ(timings.mouthOpen, c.open) << c.name;
    EXPECT_EQ(crop.points.size(), c.count) << c.name;
    EXPECT_EQ(crop.crop.size(), cv::Size(320, 512)) << c.name;
    EXPECT_EQ(crop.skinField.size(), RetouchModels::kSkinFieldFloats) << c.name;
  }
}

TEST_F(EngineTest, AFaceCropFilledAgainKeepsNothingOfTheLastFrame) {
  // Anchors below index 152, so that short point lists still align.
  calibration_.anchor_right_indices = {133};
  makeModels();
  auto engine = makeEngine(false);
  const cv::Mat frame = texturedFrame();
  auto face = [](float lowerLipY, size_t count, float shift) {
    auto p = syntheticFace(10.0f, count);
    p[10] = {320, 100, 0};
    if (count > 152) p[152] = {320, 300, 0};
    p[13] = {320, 340, 0};
    p[14] = {320, lowerLipY, 0};
    for (LandmarkPoint& point : p) point.x += shift;
    return p;
  };
  struct Frame {
    const char* name;
    std::vector<LandmarkPoint> landmarks;
    bool open;
  };
  const std::vector<Frame> frames = {
      {"478 points, wide open", face(380.0f, 478, 0), true},
      {"152 points after an open mouth", face(380.0f, 152, 6), false},
      {"478 points, closed", face(340.0f, 478, -4), false},
      {"478 points, open again", face(380.0f, 478, 2), true},
  };
  FaceCrop reused;
  for (const Frame& f : frames) {
    RetouchTimings timings;
    engine->runSkinStage(frame, f.landmarks, plainSettings(), timings, reused);
    RetouchTimings freshTimings;
    const FaceCrop fresh = engine->runSkinStage(frame, f.landmarks, plainSettings(), freshTimings);
    EXPECT_EQ(reused.mouthOpen, f.open) << f.name;
    EXPECT_EQ(timings.mouthOpen, f.open) << f.name;
    EXPECT_EQ(reused.cropFromFrame, fresh.cropFromFrame) << f.name;
    EXPECT_EQ(reused.points, fresh.points) << f.name;
    EXPECT_EQ(reused.skinField, fresh.skinField) << f.name;
    EXPECT_TRUE(sameBytes(reused.crop, fresh.crop)) << f.name;
  }
}

TEST_F(DispatcherTest, TheGpuRoadsHandTheCompositorTheSameFaceListsEveryFrame) {
  struct Road {
    const char* name;
    float eyes;
    const char* call;
  };
  makeModels();
  const cv::Mat frame = texturedFrame();
  const std::vector<LandmarkPoint> landmarks = syntheticFace();
  for (const Road& road : {Road{"resident", 0, "processResident"}, Road{"CPU face stage, GPU paste", 0.2f, "pasteCrops"}}) {
    script_ = CompositorScript{};
    auto engine = makeEngine();
    script_.calls.clear();
    RetouchSettings settings = plainSettings();
    settings.eyeWhite = settings.eyeSharp = road.eyes;
    std::vector<uint8_t> nv12;
    uint32_t width = 0, height = 0;
    cv::Mat bgr;
    RetouchTimings timings;
    ASSERT_TRUE(engine->processFrame({frame}, landmarks, settings, nv12, width, height, bgr, &timings)) << road.name;
    WatchedBlocks lists(landmarks.size() * sizeof(cv::Point2f), RetouchModels::kSkinFieldFloats * sizeof(float));
    for (int frameNumber = 0; frameNumber < 3; ++frameNumber)
      ASSERT_TRUE(engine->processFrame({frame}, landmarks, settings, nv12, width, height, bgr, &timings)) << road.name;
    EXPECT_EQ(lists.taken(), 0) << road.name;
    EXPECT_EQ(script_.calls, std::vector<std::string>(4, road.call)) << road.name;
  }
}

TEST_F(EngineTest, SkinStageAlignsTheCropAndMapsThePoints) {
  makeModels();
  auto engine = makeEngine(false);
  const cv::Mat frame = texturedFrame();
  RetouchTimings timings;
  const FaceCrop crop = engine->runSkinStage(frame, syntheticFace(), plainSettings(), timings);
  const std::array<double, 6> expected = {1, 0, -160, 0, 1, 0};
  for (size_t i = 0; i < 6; ++i) EXPECT_NEAR(crop.cropFromFrame[i], expected[i], 1e-9) << i;
  EXPECT_EQ(crop.crop.at<cv::Vec3b>(200, 100), frame.at<cv::Vec3b>(200, 260));
  EXPECT_EQ(crop.crop.at<cv::Vec3b>(511, 0), frame.at<cv::Vec3b>(479, 160));  // replicated border
  EXPECT_NEAR(crop.points[33].x, 100.0f, 1e-4);
  EXPECT_NEAR(crop.points[263].x, 220.0f, 1e-4);
  EXPECT_GT(timings.skin_model, 0.0);
}

TEST_F(EngineTest, MaskBypassCoversTheWholeCrop) {
  writePng(options_.facemaskPath, cv::Mat(512, 320, CV_8UC1, cv::Scalar(0)));
  makeModels();
  auto engine = makeEngine(false);
  const cv::Mat frame = texturedFrame();
  RetouchTimings timings;
  RetouchSettings settings = plainSettings();
  const FaceCrop face = engine->runSkinStage(frame, syntheticFace(), settings, timings);
  EXPECT_TRUE(sameBytes(engine->faceStageCpu(frame, face, settings, timings), face.crop));
  settings.maskBypass = true;
  const cv::Mat bypassed = engine->faceStageCpu(frame, face, settings, timings);
  // The stand-in field lifts every pixel towards white.
  cv::Mat lifted;
  cv::compare(bypassed.reshape(1), face.crop.reshape(1), lifted, cv::CMP_GT);
  EXPECT_EQ(cv::countNonZero(lifted), 320 * 512 * 3);
}

TEST_F(EngineTest, TeethChangeOnlyTheMouthAndIgnoreFewPoints) {
  makeModels();
  auto engine = makeEngine(false);
  const cv::Mat crop = texturedFrame(320, 512);
  const auto points = cropPointsOf(syntheticFace(10.0f));
  RetouchTimings timings;
  const cv::Mat out = engine->retouchTeeth(crop, crop, points, 0.45f, &timings);
  // The lip ring spans crop x 130..190, y 340..360; the mask ends at the ring, and the
  // delta's upscale from the half-size patch reaches two pixels beyond it.
  EXPECT_EQ(differencesOutside(out, crop, cv::Rect(130 - 3, 340 - 3, 60 + 6, 20 + 6)), 0);
  EXPECT_GT(cv::norm(out(cv::Rect(150, 345, 20, 10)), crop(cv::Rect(150, 345, 20, 10)), cv::NORM_L1), 100.0);
  EXPECT_GT(timings.teeth_total, 0.0);
  EXPECT_GT(timings.teeth_model, 0.0);

  // A full teeth mask but a zero mouth: nothing changes at all.
  auto shut = points;
  for (int i : {78, 191, 80, 81, 82, 13, 312, 311, 310, 415, 308, 324, 318, 402, 317, 14, 87, 178, 88, 95})
    shut[size_t(i)] = {160, 350};
  EXPECT_TRUE(sameBytes(engine->retouchTeeth(crop, crop, shut, 0.45f, nullptr), crop));

  // Too few points or no strength: the same pixels come back.
  EXPECT_EQ(engine->retouchTeeth(crop, crop, cropPointsOf(syntheticFace(10.0f, 415)), 0.45f, nullptr).data, crop.data);
  EXPECT_EQ(engine->retouchTeeth(crop, crop, points, 0.0f, nullptr).data, crop.data);
}

TEST_F(EngineTest, ATeethPatchAtTheCropsEdgeIsClipped) {
  makeModels();
  auto engine = makeEngine(false);
  const cv::Mat crop = texturedFrame(320, 512);
  auto points = cropPointsOf(syntheticFace(10.0f));
  // Move the mouth to the crop's bottom-right corner.
  for (int i : {78, 191, 80, 81, 82, 13, 312, 311, 310, 415, 308, 324, 318, 402, 317, 14, 87, 178, 88, 95})
    points[size_t(i)] += cv::Point2f(150, 160);
  const cv::Mat out = engine->retouchTeeth(crop, crop, points, 1.0f, nullptr);
  ASSERT_EQ(out.size(), crop.size());
  EXPECT_EQ(differencesOutside(out, crop, cv::Rect(240, 460, 80, 52)), 0);
  EXPECT_GT(cv::norm(out(cv::Rect(300, 500, 20, 12)), crop(cv::Rect(300, 500, 20, 12)), cv::NORM_L1), 50.0);
}

TEST_F(DispatcherTest, BrokenLandmarksNeverReachAnIntegerUnclamped) {
  struct Case {
    const char* name;
    std::vector<int> indices;
    float x;
    float y;
    bool throws;  // the alignment itself is refused
  };
  const std::vector<int> mouth = {13, 14};
  const std::vector<int> eyes = {160, 158, 385};
  const std::vector<int> all = [] {
    std::vector<int> v(478);
    for (int i = 0; i < 478; ++i) v[size_t(i)] = i;
    return v;
  }();
  auto engine = cpuEngine();
  const cv::Mat frame = texturedFrame();
  for (const Case& c : {Case{"NaN mouth", mouth, kNaN, kNaN, false}, Case{"infinite mouth", mouth, kInf, 350, false},
                        Case{"3e38 mouth", mouth, 3e38f, 3e38f, false},
                        Case{"-3e38 lower lip", {14}, 320, -3e38f, false}, Case{"NaN eyes", eyes, kNaN, 200, false},
                        Case{"3e38 eyes", eyes, 3e38f, -3e38f, false}, Case{"infinite eyes", eyes, 280, kInf, false},
                        Case{"3e38 eye corner", {33}, 3e38f, 200, false}, Case{"NaN eye corner", {263}, kNaN, 200, true},
                        Case{"all NaN", all, kNaN, kNaN, true}, Case{"all infinite", all, kInf, -kInf, true}}) {
    auto landmarks = syntheticFace(10.0f);
    for (int i : c.indices) landmarks[size_t(i)] = {c.x, c.y, 0};
    const RetouchSettings settings;  // every effect on
    if (c.throws) {
      EXPECT_THROW(cpuRoad(*engine, frame, landmarks, settings), std::runtime_error) << c.name;
      continue;
    }
    cv::Mat bgr;
    ASSERT_NO_THROW(bgr = cpuRoad(*engine, frame, landmarks, settings)) << c.name;
    ASSERT_EQ(bgr.size(), frame.size()) << c.name;
    if (c.indices != std::vector<int>{33}) {
      // The alignment is intact: only the crop's footprint may change.
      EXPECT_EQ(differencesOutside(bgr, frame, cv::Rect(158, 0, 324, kFrameHeight)), 0) << c.name;
    }
  }
}

TEST_F(DispatcherTest, ANaNSkinFieldDecodesAsNeutral) {
  const cv::Mat frame = texturedFrame();
  // The neutral field in raw units (255 / 6 and 255 / 7) and a NaN one give the same frame.
  writeSkinModel(42.5f, 255.0f / 7.0f);
  cv::Mat neutral = cpuRoad(*cpuEngine(), frame, syntheticFace(), plainSettings());
  models_.reset();
  writeSkinModel(kNaN, kNaN);
  cv::Mat bgr;
  ASSERT_NO_THROW(bgr = cpuRoad(*cpuEngine(), frame, syntheticFace(), plainSettings()));
  EXPECT_TRUE(sameBytes(bgr, neutral));
  // Neither darkens the face (a NaN read as 0 took every value x to x - 0.25 (1 - x)).
  const cv::Rect face(200, 100, 200, 300);
  EXPECT_LT(cv::norm(bgr(face), frame(face), cv::NORM_L1) / (face.area() * 3.0), 1.0);
}

// The settings channel is writable by every user: whatever it holds, the frame differs from
// the all-off frame only where an effect of a finite strength applies.
TEST_F(DispatcherTest, HostileSettingsBlocksChangeOnlyWhereAFiniteEffectApplies) {
  auto engine = cpuEngine();
  const cv::Mat frame = texturedFrame();
  RetouchSettings off = plainSettings();
  off.clearSkin = off.eyeBags = off.wrinkles = off.gain = off.perspectiveStrength = 0;
  const cv::Rect crop(158, 0, 324, kFrameHeight);
  // The teeth patch: 256 pixels square around the mouth's centre (320, 350), and the rounding.
  const cv::Rect mouth(320 - 130, 350 - 130, 260, 260);
  const cv::Rect nowhere(0, 0, 0, 0);
  struct Case {
    const char* what;
    float RetouchSettingsBlock::*field;
    float value;
    cv::Rect changes;  // the only pixels that may differ
  };
  const float huge = 3e38f, max = std::numeric_limits<float>::max();
  std::vector<Case> cases;
  for (auto field : {&RetouchSettingsBlock::clearSkin, &RetouchSettingsBlock::eyeBags, &RetouchSettingsBlock::wrinkles,
                     &RetouchSettingsBlock::teeth, &RetouchSettingsBlock::eyeWhite, &RetouchSettingsBlock::eyeSharp,
                     &RetouchSettingsBlock::gain, &RetouchSettingsBlock::sharpen,
                     &RetouchSettingsBlock::perspectiveStrength}) {
    for (float bad : {kInf, -kInf, kNaN}) cases.push_back({"not finite", field, bad, nowhere});
  }
  for (float big : {huge, max, -huge}) {
    cases.push_back({"huge teeth", &RetouchSettingsBlock::teeth, big, big > 0 ? mouth : nowhere});
    cases.push_back({"huge eye white", &RetouchSettingsBlock::eyeWhite, big, big > 0 ? crop : nowhere});
    cases.push_back({"huge eye sharpening", &RetouchSettingsBlock::eyeSharp, big, big > 0 ? crop : nowhere});
    cases.push_back({"huge gain", &RetouchSettingsBlock::gain, big, crop});
  }
  const std::vector<LandmarkPoint> face = syntheticFace();
  RetouchSettingsBlock block{};
  seedSettingsBlock(block, off);
  const cv::Mat allOff = cpuRoad(*engine, frame, face, frameSettings(&block, off));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " " + std::to_string(c.value));
    seedSettingsBlock(block, off);
    block.*c.field = c.value;
    cv::Mat bgr;
    ASSERT_NO_THROW(bgr = cpuRoad(*engine, frame, face, frameSettings(&block, off)));
    ASSERT_EQ(bgr.size(), frame.size());
    EXPECT_EQ(differencesOutside(bgr, allOff, c.changes), 0);
  }
}

TEST_F(DispatcherTest, AShortSkinFieldIsAnErrorOfTheFrame) {
  models::Graph g;
  g.input("data", {1, 3, 320, 512});
  g.input("cond", {1, 4, 1, 1});
  std::vector<float> values(10239, 1.0f);
  g.node("Identity", {g.constant("field", {int64_t(values.size())}, values)}, {}, "output_0");
  g.output("output_0", {int64_t(values.size())});
  models::writeModel(options_.skinModelPath, g);
  auto engine = cpuEngine();
  std::vector<uint8_t> nv12;
  uint32_t w = 0, h = 0;
  cv::Mat bgr;
  try {
    engine->processFrame({texturedFrame()}, syntheticFace(), plainSettings(), nv12, w, h, bgr, nullptr);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "ONNX field output is smaller than expected.");
  }
  EXPECT_TRUE(bgr.empty());  // the output is assigned only at the road's end
}

}  // namespace
}  // namespace tesmira

namespace tesmira {
namespace {

// out of the compositor (BGR before packing), through a staging copy on its device.
cv::Mat readOutTexture(D3D11Compositor& compositor, int width, int height) {
  ID3D11Device* device = compositor.device();
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context;
  device->GetImmediateContext(&context);
  D3D11_TEXTURE2D_DESC desc{UINT(width), UINT(height), 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_STAGING,
                            0, D3D11_CPU_ACCESS_READ, 0};
  Microsoft::WRL::ComPtr<ID3D11Texture2D> staging;
  EXPECT_EQ(device->CreateTexture2D(&desc, nullptr, &staging), S_OK);
  context->CopyResource(staging.Get(), compositor.outTexture());
  D3D11_MAPPED_SUBRESOURCE m{};
  cv::Mat bgr(height, width, CV_8UC3);
  if (context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &m) != S_OK) {
    ADD_FAILURE() << "Map(READ) failed";
    return bgr;
  }
  cv::Mat bgra(height, width, CV_8UC4, m.pData, m.RowPitch);
  cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
  context->Unmap(staging.Get(), 0);
  return bgr;
}

// The synthetic face scaled about its nose and moved by a fraction of a pixel.
std::vector<LandmarkPoint> movedFace(float scale, float dx, float dy) {
  std::vector<LandmarkPoint> points = syntheticFace();
  for (LandmarkPoint& p : points) {
    p.x = 320.0f + scale * (p.x - 320.0f) + dx;
    p.y = 280.0f + scale * (p.y - 280.0f) + dy;
  }
  return points;
}

cv::Rect asRect(const CropFootprint& f) { return cv::Rect(f.minX, f.minY, f.width(), f.height()); }

TEST_F(DispatcherTest, TheResidentRoadAgreesWithTheCpuRoadOnAFace) {
  writeSkinModel(180.0f, 120.0f);
  auto cpu = cpuEngine();
  setEnv(L"TESMIRA_GPU_RESIDENT", nullptr);
  RetouchEngine gpu(options_, *models_, calibration_, true, createGpuCompositor);
  ASSERT_TRUE(gpu.gpuResident());
  auto* compositor = dynamic_cast<D3D11Compositor*>(gpu.compositor());
  ASSERT_NE(compositor, nullptr);

  const cv::Mat frame = texturedFrame();
  const RetouchSettings settings = plainSettings();
  struct Case {
    const char* name;
    std::vector<LandmarkPoint> face;
  };
  for (const Case& c : {Case{"whole-pixel alignment", syntheticFace()},
                        Case{"sub-pixel offset and scale", movedFace(1.013f, 0.37f, 0.61f)}}) {
    SCOPED_TRACE(c.name);
    RetouchTimings t;
    const CropFootprint footprint =
        cropFootprint(gpu.runSkinStage(frame, c.face, settings, t).cropFromFrame, kFrameWidth, kFrameHeight);
    ASSERT_FALSE(footprint.empty());
    const cv::Mat expected = cpuRoad(*cpu, frame, c.face, settings);
    std::vector<uint8_t> nv12;
    uint32_t w = 0, h = 0;
    cv::Mat bgr;
    ASSERT_TRUE(gpu.processFrame({frame}, c.face, settings, nv12, w, h, bgr, nullptr));
    EXPECT_EQ(nv12.size(), size_t(kFrameWidth) * kFrameHeight * 3 / 2);
    const cv::Mat resident = readOutTexture(*compositor, kFrameWidth, kFrameHeight);

    // Both roads change the frame only inside the one footprint, and agree there.
    EXPECT_EQ(differencesOutside(expected, frame, asRect(footprint)), 0);
    EXPECT_EQ(differencesOutside(resident, frame, asRect(footprint)), 0);
    cv::Mat diff;
    cv::absdiff(resident, expected, diff);
    double largest = 0;
    cv::minMaxLoc(diff.reshape(1), nullptr, &largest);
    cv::Mat anyOff = diff.reshape(1, int(diff.total())) != 0;
    cv::reduce(anyOff, anyOff, 1, cv::REDUCE_MAX);
    const double share = double(cv::countNonZero(anyOff)) / double(footprint.width() * footprint.height());
    std::printf("%s: resident vs CPU road in the footprint: largest difference %.0f, %.2f%% of pixels differ\n",
                c.name, largest, share * 100);
    EXPECT_LE(largest, 3);
    // The NV12 the road delivers (its paste packed on the way) is the CPU road's frame packed.
    std::vector<uint8_t> cpuNv12;
    ASSERT_TRUE(bgrToNv12(expected, kFrameWidth, kFrameHeight, cpuNv12));
    ASSERT_EQ(cpuNv12.size(), nv12.size());
    int packedLargest = 0;
    for (size_t i = 0; i < nv12.size(); ++i)
      packedLargest = std::max(packedLargest, std::abs(int(nv12[i]) - int(cpuNv12[i])));
    EXPECT_LE(packedLargest, 4);
    // The face is retouched at all: the field pulls the skin towards its colour.
    EXPECT_GT(cv::norm(resident(asRect(footprint)), frame(asRect(footprint)), cv::NORM_L1), 1e5);
  }
}

// Any alignment, however broken, gives both pastes one region: the GPU road declines
// exactly where the footprint is empty (the CPU paste then changes nothing), and neither
// road changes a pixel outside it.
TEST(PasteRegionTest, DegenerateAlignmentsGiveBothRoadsTheSameRegion) {
  D3D11Compositor compositor;
  const cv::Mat frame = texturedFrame();
  const cv::Mat crop(kCropHeight, kCropWidth, CV_8UC3, cv::Scalar(50, 60, 70));
  const cv::Mat retouched(kCropHeight, kCropWidth, CV_8UC3, cv::Scalar(90, 60, 30));
  constexpr double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    std::array<double, 6> m;
    bool empty;
  };
  for (const Case& c : {Case{"sub-pixel offset and scale", {0.987, 0.013, -158.63, -0.011, 1.004, 0.37}, false},
                        Case{"half outside the frame", {1, 0, 160.5, 0, 1, -10.25}, false},
                        Case{"rank one", {1, 2, 0, 2, 4, 0}, false},
                        Case{"all zero", {0, 0, 0, 0, 0, 0}, false},
                        Case{"nearly singular", {1e-6, 0, 0, 0, 1e-6, 0}, false},
                        Case{"huge scale", {3e38, 0, 0, 0, 3e38, 0}, false},
                        Case{"wholly outside", {1, 0, 2000, 0, 1, 0}, true},
                        Case{"huge shift", {1, 0, 3e38, 0, 1, 3e38}, true},
                        Case{"infinite shift", {1, 0, inf, 0, 1, 0}, true},
                        Case{"NaN", {nan, 0, 0, 0, 1, 0}, true}}) {
    SCOPED_TRACE(c.name);
    const CropFootprint footprint = cropFootprint(c.m, frame.cols, frame.rows);
    EXPECT_EQ(footprint.empty(), c.empty);
    const cv::Mat cpu = pasteCropCpu(frame, crop, retouched, c.m);
    std::vector<uint8_t> nv12;
    GpuTimings t;
    const bool gpuRan = compositor.pasteCrops({frame}, FaceCrop{c.m, crop}, retouched, {}, nv12, t);
    EXPECT_EQ(gpuRan, !footprint.empty());
    if (footprint.empty()) {
      EXPECT_TRUE(sameBytes(cpu, frame));
      continue;
    }
    const cv::Mat gpuOut = readOutTexture(compositor, frame.cols, frame.rows);
    EXPECT_EQ(differencesOutside(cpu, frame, asRect(footprint)), 0);
    EXPECT_EQ(differencesOutside(gpuOut, frame, asRect(footprint)), 0);
  }
}

}  // namespace
}  // namespace tesmira
