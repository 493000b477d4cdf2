#include "producer/engine/mediapipe_landmarker.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "platform/mediapipe/stand_in/stand_in_state.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

std::filesystem::path standIn(const std::string& variant) {
  return std::filesystem::path(TESMIRA_MP_STAND_IN_DIR) / (variant + ".dll");
}

bool loaded(const std::filesystem::path& library) { return GetModuleHandleW(library.wstring().c_str()) != nullptr; }

class MediaPipeLandmarkerTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    SetEnvironmentVariableW(L"TESMIRA_MP_IMAGE_MODE", nullptr);
    state_ = &hold("mp_stand_in");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"TESMIRA_MP_IMAGE_MODE", nullptr);
    for (HMODULE m : held_) FreeLibrary(m);
    MachineTest::TearDown();
  }
  // Keeps the variant loaded for the test, with its state fresh.
  MpStandInState& hold(const std::string& variant) {
    HMODULE module = LoadLibraryW(standIn(variant).wstring().c_str());
    EXPECT_NE(module, nullptr) << variant;
    held_.push_back(module);
    using StateOf = MpStandInState* (*)();
    auto stateOf = reinterpret_cast<StateOf>(reinterpret_cast<void*>(GetProcAddress(module, "MpStandInStateOf")));
    *stateOf() = MpStandInState{};
    return *stateOf();
  }
  std::unique_ptr<MediaPipeLandmarker> make(const std::string& variant = "mp_stand_in") {
    return std::make_unique<MediaPipeLandmarker>(standIn(variant), root() / "face_landmarker.task", 0.5f, 0.6f,
                                                 0.7f);
  }
  static std::string constructionError(const std::filesystem::path& library) {
    try {
      MediaPipeLandmarker landmarker(library, "face.task", 0.5f, 0.5f, 0.5f);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "constructed";
  }
  MpStandInState* state_ = nullptr;
  std::vector<HMODULE> held_;
};

TEST_F(MediaPipeLandmarkerTest, OptionsRecordAsTheLibraryReadsIt) {
  ::testing::internal::CaptureStderr();
  MediaPipeLandmarker landmarker(standIn("mp_stand_in"), L"C:\\models\\face_landmarker.task", 0.5f, 0.6f, 0.7f);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "MediaPipeLandmarker running_mode=VIDEO\n");
  const MpFaceLandmarkerOptions& o = state_->options;
  EXPECT_EQ(o.modelAssetBuffer, nullptr);
  EXPECT_EQ(o.modelAssetBufferSize, 0u);
  EXPECT_EQ(state_->taskPath, "C:/models/face_landmarker.task");
  EXPECT_EQ(o.delegate, 0);
  EXPECT_EQ(o.word28, 3);
  EXPECT_EQ(o.word32, 3);
  EXPECT_EQ(o.word36, 0);
  EXPECT_EQ(state_->optionsText40, "cpp");
  EXPECT_EQ(o.reserved48, nullptr);
  EXPECT_EQ(o.runningMode, kMpRunningModeVideo);
  EXPECT_EQ(o.numFaces, 1);
  EXPECT_EQ(o.minFaceDetectionConfidence, 0.5f);
  EXPECT_EQ(o.minFacePresenceConfidence, 0.6f);
  EXPECT_EQ(o.minTrackingConfidence, 0.7f);
  EXPECT_EQ(o.outputFaceBlendshapes, 0);
  EXPECT_EQ(o.outputFacialTransformationMatrixes, 0);
  EXPECT_EQ(o.reserved78[0] | o.reserved78[1], 0);
  EXPECT_EQ(o.resultCallback, nullptr);
}

TEST_F(MediaPipeLandmarkerTest, ImageModeByTheEnvironmentIgnoresTheTimeStamp) {
  struct Case {
    const wchar_t* value;  // null: unset
    bool image;
  } cases[] = {{nullptr, false}, {L"0", false}, {L"1", true}, {L"1yes", true}, {L"x1", false}, {L"", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? std::filesystem::path(c.value).string() : "unset");
    *state_ = MpStandInState{};
    SetEnvironmentVariableW(L"TESMIRA_MP_IMAGE_MODE", c.value);
    ::testing::internal::CaptureStderr();
    auto landmarker = make();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              std::string("MediaPipeLandmarker running_mode=") + (c.image ? "IMAGE" : "VIDEO") + "\n");
    EXPECT_EQ(state_->options.runningMode, c.image ? kMpRunningModeImage : kMpRunningModeVideo);
    const cv::Mat frame(48, 64, CV_8UC3, cv::Scalar(1, 2, 3));
    landmarker->detect(frame, 40);
    landmarker->detect(frame, 40);  // an equal stamp is the library's business
    EXPECT_EQ(state_->imageCalls, c.image ? 2 : 0);
    EXPECT_EQ(state_->timestamps, c.image ? std::vector<int64_t>() : std::vector<int64_t>({40, 40}));
  }
}

TEST_F(MediaPipeLandmarkerTest, TheLibrarySeesAtMost640PixelsAndPointsComeBackInFramePixels) {
  struct Case {
    int width, height;
    int seenWidth, seenHeight;
  } cases[] = {{1920, 1080, 640, 360}, {640, 480, 640, 480}, {480, 640, 480, 640},
               {641, 100, 640, 100},   {1000, 3000, 213, 640}, {2, 1, 2, 1}};
  auto landmarker = make();
  state_->faces = {{{0.5f, 0.25f, 0.1f}, {0.0f, 1.0f, -0.2f}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    cv::Mat frame(c.height, c.width, CV_8UC3, cv::Scalar(10, 20, 30));
    LandmarkResult r = landmarker->detect(frame, 1);
    EXPECT_EQ(state_->format, kMpImageFormatSrgb);
    EXPECT_EQ(state_->width, c.seenWidth);
    EXPECT_EQ(state_->height, c.seenHeight);
    EXPECT_EQ(state_->byteCount, c.seenWidth * c.seenHeight * 3);
    EXPECT_EQ(state_->firstPixel, (std::array<uint8_t, 3>{30, 20, 10}));  // RGB
    ASSERT_TRUE(r.found);
    ASSERT_EQ(r.points.size(), 2u);
    EXPECT_FLOAT_EQ(r.points[0].x, 0.5f * float(c.width));
    EXPECT_FLOAT_EQ(r.points[0].y, 0.25f * float(c.height));
    EXPECT_FLOAT_EQ(r.points[0].z, 0.1f * float(c.width));
    EXPECT_FLOAT_EQ(r.points[1].y, float(c.height));
    EXPECT_FLOAT_EQ(r.points[1].z, -0.2f * float(c.width));
  }
  EXPECT_EQ(state_->imagesCreated, state_->imagesFreed);
}

TEST_F(MediaPipeLandmarkerTest, ResultsFromTheLibrary) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* what;
    std::vector<std::vector<std::array<float, 3>>> faces;
    bool found;
    std::vector<float> xs;  // frame x of the points returned
  } cases[] = {
      {"no face", {}, false, {}},
      {"only the first face", {{{0.25f, 0.5f, 0}}, {{0.75f, 0.5f, 0}, {0.5f, 0.5f, 0}}}, true, {16}},
      {"a face without landmarks", {{}}, true, {}},
      {"a NaN coordinate is no face", {{{0.25f, 0.5f, 0}, {0.5f, nan, 0}}}, false, {}},
      {"an infinite depth is no face", {{{0.25f, 0.5f, std::numeric_limits<float>::infinity()}}}, false, {}},
  };
  auto landmarker = make();
  int closed = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    state_->faces = c.faces;
    LandmarkResult r = landmarker->detect(cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(0)), 1);
    EXPECT_EQ(r.found, c.found);
    ASSERT_EQ(r.points.size(), c.xs.size());
    for (size_t i = 0; i < c.xs.size(); ++i) EXPECT_FLOAT_EQ(r.points[i].x, c.xs[i]);
    EXPECT_EQ(state_->resultsClosed, ++closed);  // also without a face
  }
}

TEST_F(MediaPipeLandmarkerTest, AnEmptyFrameNeverCallsTheLibrary) {
  auto landmarker = make();
  state_->faces = {{{0.5f, 0.5f, 0}}};
  EXPECT_FALSE(landmarker->detect(cv::Mat(), 1).found);
  EXPECT_EQ(state_->imagesCreated + state_->videoCalls + state_->resultsClosed, 0);
}

TEST_F(MediaPipeLandmarkerTest, DetectionFailuresThrowTheirTextFreeItAndLeaveTheLandmarkerUsable) {
  struct Case {
    const char* what;
    bool imageMode;
    bool failImage;
    bool nullText;
    const char* message;
  } cases[] = {
      {"image", false, true, false, "MpImageCreateFromUint8Data failed: stand-in failure"},
      {"video", false, false, false, "MpFaceLandmarkerDetectForVideo failed: stand-in failure"},
      {"image mode", true, false, false, "MpFaceLandmarkerDetectImage failed: stand-in failure"},
      {"no text", false, false, true, "MpFaceLandmarkerDetectForVideo failed: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    *state_ = MpStandInState{};
    SetEnvironmentVariableW(L"TESMIRA_MP_IMAGE_MODE", c.imageMode ? L"1" : nullptr);
    ::testing::internal::CaptureStderr();
    auto landmarker = make();
    ::testing::internal::GetCapturedStderr();
    (c.failImage ? state_->imageStatus : state_->detectStatus) = 7;
    state_->nullErrorText = c.nullText;
    state_->faces = {{{0.5f, 0.5f, 0}}};
    const cv::Mat frame(48, 64, CV_8UC3, cv::Scalar::all(9));
    try {
      landmarker->detect(frame, 1);
      ADD_FAILURE() << "no throw";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(state_->errorsFreed, state_->errorsMade);
    EXPECT_EQ(state_->imagesFreed, state_->imagesCreated);
    state_->imageStatus = state_->detectStatus = 0;
    EXPECT_TRUE(landmarker->detect(frame, 2).found);
  }
  // A text handed out with success is freed as well.
  *state_ = MpStandInState{};
  SetEnvironmentVariableW(L"TESMIRA_MP_IMAGE_MODE", nullptr);
  auto landmarker = make();
  state_->textOnSuccess = true;
  landmarker->detect(cv::Mat(48, 64, CV_8UC3), 1);
  EXPECT_EQ(state_->errorsMade, 1);
  EXPECT_EQ(state_->errorsFreed, 1);
}

TEST_F(MediaPipeLandmarkerTest, ConstructionFailuresNameTheirCause) {
  auto empty = root() / "libmediapipe.dll";
  { std::FILE* f = std::fopen(empty.string().c_str(), "wb"); if (f) std::fclose(f); }
  EXPECT_EQ(constructionError(root() / "missing.dll"), "Could not load MediaPipe DLL: " + (root() / "missing.dll").string());
  EXPECT_EQ(constructionError(empty), "Could not load MediaPipe DLL: " + empty.string());
  for (const char* fn : {"MpImageCreateFromUint8Data", "MpImageFree", "MpFaceLandmarkerCreate",
                         "MpFaceLandmarkerDetectForVideo", "MpFaceLandmarkerCloseResult", "MpFaceLandmarkerClose",
                         "MpErrorFree"}) {
    SCOPED_TRACE(fn);
    const auto library = standIn(std::string("mp_stand_in_without_") + fn);
    EXPECT_EQ(constructionError(library), std::string("MediaPipe DLL is missing export: ") + fn);
    EXPECT_FALSE(loaded(library));  // unloaded again
  }
  // The image export is needed in IMAGE mode only.
  const auto noImage = standIn("mp_stand_in_without_MpFaceLandmarkerDetectImage");
  MpStandInState& noImageState = hold("mp_stand_in_without_MpFaceLandmarkerDetectImage");
  ::testing::internal::CaptureStderr();
  {
    MediaPipeLandmarker video(noImage, "face.task", 0.5f, 0.5f, 0.5f);
    noImageState.faces = {{{0.5f, 0.5f, 0}}};
    EXPECT_TRUE(video.detect(cv::Mat(8, 8, CV_8UC3), 5).found);
  }
  ::testing::internal::GetCapturedStderr();
  SetEnvironmentVariableW(L"TESMIRA_MP_IMAGE_MODE", L"1");
  EXPECT_EQ(constructionError(noImage), "MediaPipe DLL is missing export: MpFaceLandmarkerDetectImage");
  SetEnvironmentVariableW(L"TESMIRA_MP_IMAGE_MODE", nullptr);
}

TEST_F(MediaPipeLandmarkerTest, AFailingCreateThrowsTheLibraryTextFreesItAndUnloads) {
  const auto failing = standIn("mp_stand_in_failing_create");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(constructionError(failing), "MpFaceLandmarkerCreate failed: stand-in refuses the task");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(loaded(failing));
  MpStandInState& s = hold("mp_stand_in_failing_create");
  EXPECT_EQ(constructionError(failing), "MpFaceLandmarkerCreate failed: stand-in refuses the task");
  EXPECT_EQ(s.errorsMade, 1);
  EXPECT_EQ(s.errorsFreed, 1);
  EXPECT_EQ(s.closes, 0);
}

TEST_F(MediaPipeLandmarkerTest, DestructionClosesOnceAndUnloads) {
  FreeLibrary(held_.front());
  held_.clear();
  const auto library = standIn("mp_stand_in");
  ::testing::internal::CaptureStderr();
  {
    MediaPipeLandmarker landmarker(library, "face.task", 0.5f, 0.5f, 0.5f);
    EXPECT_TRUE(loaded(library));
  }
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(loaded(library));
  MpStandInState& s = hold("mp_stand_in");
  ::testing::internal::CaptureStderr();
  make().reset();
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(s.creates, 1);
  EXPECT_EQ(s.closes, 1);
}

}  // namespace
}  // namespace tesmira
