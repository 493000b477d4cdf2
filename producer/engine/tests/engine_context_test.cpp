#include "producer/engine/engine_context.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "producer/engine/tests/engine_fixture.h"
#include "tesmira/d3d11_testing.h"

namespace tesmira {
namespace {

using testing::EngineTest;

struct LandmarkScript {
  std::vector<LandmarkSourceKind> kinds;
  bool throwOnCreate = false;
  int alive = 0;
  int compositorsAliveAtDestruction = -1;
};

class FakeLandmarks final : public ILandmarkSource {
 public:
  FakeLandmarks(LandmarkScript& script, testing::CompositorScript& compositor)
      : script_(script), compositor_(compositor) {
    ++script_.alive;
  }
  ~FakeLandmarks() override {
    --script_.alive;
    script_.compositorsAliveAtDestruction = compositor_.alive;
  }
  LandmarkResult detect(const cv::Mat&, int64_t) override { return {}; }

 private:
  LandmarkScript& script_;
  testing::CompositorScript& compositor_;
};

class RetouchContextTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    SetEnvironmentVariableW(L"ProgramData", (root() / "ProgramData").wstring().c_str());
    options_.calibrationPath = root() / "calibration.json";
    std::ofstream(options_.calibrationPath) << R"({"anchor_left_indices": [33], "anchor_right_indices": [263],
      "features": ["constant"], "feature_mean": [0], "feature_scale": [1], "constant_mask": [true],
      "coef": [[-0.5, 0, 0.5, 0]], "template_left_px": [100, 200], "template_right_px": [220, 200]})";
  }

  RetouchContextSeams seams() {
    RetouchContextSeams s;
    s.makeCompositor = testing::fakeCompositorFactory(script_);
    s.makeLandmarkSource = [this](const ProducerOptions&, LandmarkSourceKind kind) -> std::unique_ptr<ILandmarkSource> {
      landmarks_.kinds.push_back(kind);
      if (landmarks_.throwOnCreate) throw std::runtime_error("landmarker broke");
      return std::make_unique<FakeLandmarks>(landmarks_, script_);
    };
    return s;
  }

  std::vector<std::string> logMessages() const {
    std::vector<std::string> lines;
    std::ifstream in(root() / "ProgramData" / "Tesmira" / "Logs" / "vcam-producer.log");
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line.size() > 20 ? line.substr(20) : line);
    }
    return lines;
  }

  LandmarkScript landmarks_;
};

TEST_F(RetouchContextTest, BuildsEveryPartAndNamesTheLandmarker) {
  struct Case {
    const char* onnx;
    InferenceProvider provider;
    LandmarkSourceKind kind;
    const char* line;
  };
  for (const Case& c : {Case{nullptr, kProviderCpu, LandmarkSourceKind::kMediaPipe, "landmarker: mediapipe"},
                        Case{"0", kProviderCpu, LandmarkSourceKind::kMediaPipe, "landmarker: mediapipe"},
                        Case{"true", kProviderCpu, LandmarkSourceKind::kMediaPipe, "landmarker: mediapipe"},
                        Case{"1", kProviderDirectMl, LandmarkSourceKind::kOnnx, "landmarker: onnx provider=directml"},
                        Case{"1", kProviderCuda, LandmarkSourceKind::kOnnx, "landmarker: onnx provider=cuda"},
                        Case{"12", kProviderCpu, LandmarkSourceKind::kOnnx, "landmarker: onnx provider=cpu"}}) {
    if (c.onnx) {
      SetEnvironmentVariableW(L"TESMIRA_ONNX_LANDMARKER", std::wstring(c.onnx, c.onnx + strlen(c.onnx)).c_str());
    } else {
      SetEnvironmentVariableW(L"TESMIRA_ONNX_LANDMARKER", nullptr);
    }
    options_.provider = c.provider;
    landmarks_.kinds.clear();
    {
      RetouchContext context(options_, seams());
      EXPECT_EQ(landmarks_.kinds, std::vector<LandmarkSourceKind>{c.kind}) << c.line;
      EXPECT_TRUE(context.engine().gpuResident()) << c.line;
      // The models run on the CPU here, whatever was asked.
      EXPECT_EQ(context.models().providerUsed(), "cpu") << c.line;
    }
    const auto log = logMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), c.line);
    EXPECT_EQ(landmarks_.alive, 0);
    EXPECT_EQ(script_.alive, 0);
  }
}

TEST_F(RetouchContextTest, DestroysTheEngineBeforeTheLandmarkSource) {
  { RetouchContext context(options_, seams()); }
  EXPECT_EQ(landmarks_.compositorsAliveAtDestruction, 0);
}

TEST_F(RetouchContextTest, AThrowAtAnyStepLeavesNothingAlive) {
  struct Case {
    const char* name;
    std::function<void()> breakIt;
    std::string message;  // the start of the error's text
    int compositorsMade;
  };
  const std::filesystem::path missing = root() / "missing";
  const std::vector<Case> cases = {
      {"calibration", [&] { options_.calibrationPath = missing; }, "Could not open calibration: ", 0},
      {"models", [&] { options_.skinModelPath = missing; }, "", 0},
      {"engine masks", [&] { options_.facemaskPath = missing; }, "Could not load image: ", 0},
      {"landmark source", [&] { landmarks_.throwOnCreate = true; }, "landmarker broke", 1},
  };
  for (const Case& c : cases) {
    const ProducerOptions kept = options_;
    script_ = testing::CompositorScript{};
    landmarks_ = LandmarkScript{};
    c.breakIt();
    try {
      RetouchContext context(options_, seams());
      ADD_FAILURE() << c.name << " did not fail";
    } catch (const std::exception& error) {
      EXPECT_EQ(std::string(error.what()).rfind(c.message, 0), 0u) << c.name << ": " << error.what();
    }
    EXPECT_EQ(script_.created, c.compositorsMade) << c.name;
    EXPECT_EQ(script_.alive, 0) << c.name;
    EXPECT_EQ(landmarks_.alive, 0) << c.name;
    options_ = kept;
  }
}

TEST_F(RetouchContextTest, AnEarlierStepsErrorWinsOverTheLandmarkSourcesOwn) {
  // The landmark source is made meanwhile on a thread of its own; when both fail, the
  // error is the one of the step that comes first, as if they had run in turn.
  landmarks_.throwOnCreate = true;
  options_.skinModelPath = root() / "missing";
  try {
    RetouchContext context(options_, seams());
    ADD_FAILURE() << "did not fail";
  } catch (const std::exception& error) {
    EXPECT_EQ(std::string(error.what()).find("landmarker broke"), std::string::npos) << error.what();
  }
  EXPECT_EQ(landmarks_.kinds.size(), 1u);
  EXPECT_EQ(script_.created, 0);
  EXPECT_EQ(landmarks_.alive, 0);
}

TEST_F(RetouchContextTest, AMissingToneAtlasStillBuildsTheContextOnTheCpu) {
  std::filesystem::remove(resources_ / "tone_studio.png");
  ::testing::internal::CaptureStderr();
  RetouchContext context(options_, seams());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("GPU compositor unavailable, using CPU path: Could not load tone LUT: " +
                     (resources_ / "tone_studio.png").string() + "\n"),
            std::string::npos)
      << err;
  EXPECT_FALSE(context.engine().gpuResident());
  EXPECT_FALSE(context.engine().gpuPaste());
}

TEST_F(RetouchContextTest, TheRealPartsBuildWithoutACompositor) {
  // The MediaPipe landmarker on the library stand-in.
  options_.mediaPipeLibPath = std::filesystem::path(TESMIRA_MP_STAND_IN_DIR) / "mp_stand_in.dll";
  options_.faceTaskPath = root() / "face_landmarker.task";
  platform::d3d11::setAdapterChoice("none");
  ::testing::internal::CaptureStderr();
  RetouchContext context(options_);
  platform::d3d11::setAdapterChoice("");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("GPU compositor unavailable, using CPU path: D3D11CreateDevice(compositor)"), std::string::npos);
  EXPECT_EQ(context.engine().d3dDevice(), nullptr);
  EXPECT_EQ(logMessages().back(), "landmarker: mediapipe");
}

}  // namespace
}  // namespace tesmira
