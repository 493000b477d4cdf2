// The landmark source the retouch context builds, by TESMIRA_ONNX_LANDMARKER, over the built data
// folder, and the line it logs.
#include <onnxruntime_cxx_api.h>
#include <opencv2/imgcodecs.hpp>

#include "producer/retouch_context.h"
#include "producer/tests/producer_fixture.h"

namespace tesmira {
namespace {

class LandmarkChoiceTest : public testing::ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    repo_ = makeRepoRoot();
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"TESMIRA_ONNX_LANDMARKER", nullptr);
    ProducerTest::TearDown();
  }
  ProducerOptions options(const std::string& provider) {
    return parseOptions({"producer.exe", "--repo-root", repo_.string(), "--camera", "--provider", provider});
  }
  std::filesystem::path repo_;
};

TEST_F(LandmarkChoiceTest, TheEnvironmentChoosesTheSourceAndTheLogSaysWhich) {
  struct Case {
    const wchar_t* value;  // null: unset
    const char* provider;
    const char* line;
    const char* stderrStart;
  } cases[] = {
      {nullptr, "cpu", "landmarker: mediapipe", "MediaPipeLandmarker running_mode=VIDEO\n"},
      {L"0", "cuda", "landmarker: mediapipe", "MediaPipeLandmarker running_mode=VIDEO\n"},
      {L"1", "cpu", "landmarker: onnx provider=cpu", ""},
      // The provider asked for, also when the landmarker falls back to the CPU.
      {L"1yes", "directml", "landmarker: onnx provider=directml", "OnnxLandmarker: requested provider unavailable"},
  };
  const cv::Mat face = cv::imread((testing::mediaFolder() / "astronaut.png").string());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    SetEnvironmentVariableW(L"TESMIRA_ONNX_LANDMARKER", c.value);
    ::testing::internal::CaptureStderr();
    auto context = makeRetouchContext(options(c.provider));
    // The CPU fall-back line of the engine set-up comes first.
    EXPECT_NE(::testing::internal::GetCapturedStderr().find(c.stderrStart), std::string::npos);
    EXPECT_EQ(logMessages().back(), c.line);
    // The context detects with it.
    ASSERT_FALSE(face.empty());
    {
      const LandmarkResult found = context->detect(face, 1);
      EXPECT_TRUE(found.found);
      EXPECT_EQ(found.points.size(), 478u);
    }
  }
}

TEST_F(LandmarkChoiceTest, ASourceThatCannotBeBuiltFailsTheContext) {
  std::filesystem::remove(repo_ / "models" / "mp_landmarker" / "onnx" / "face_detector.onnx");
  SetEnvironmentVariableW(L"TESMIRA_ONNX_LANDMARKER", L"1");
  EXPECT_THROW(makeRetouchContext(options("cpu")), Ort::Exception);
  SetEnvironmentVariableW(L"TESMIRA_ONNX_LANDMARKER", nullptr);
  ProducerOptions o = options("cpu");
  o.mediaPipeLibPath = repo_ / "nothing.dll";
  try {
    makeRetouchContext(o);
    ADD_FAILURE() << "built";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Could not load MediaPipe DLL: " + utf8Path(o.mediaPipeLibPath));
  }
}

}  // namespace
}  // namespace tesmira
