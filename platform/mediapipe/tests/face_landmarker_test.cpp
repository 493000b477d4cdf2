// The landmarker library: its task archive, its pipeline on stand-in models and its flat C
// functions, every failure a status and a text that MpErrorFree takes back.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <limits>
#include <opencv2/core.hpp>

#include "mediapipe/face_landmarker_api.h"
#include "mediapipe/face_pipeline.h"
#include "tests/support/machine_fixture.h"
#include "tools/models/data_builder.h"
#include "tools/models/onnx_writer.h"

namespace tesmira::mediapipe {
namespace {

using models::Graph;

constexpr size_t kAnchors = 896;
constexpr size_t kPoints = 478;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A stand-in output: constant values, plus nothing of the input (so that it is consumed).
std::string constantOutput(Graph& g, const std::string& input, const std::string& name, std::vector<int64_t> dims,
                           std::vector<float> values) {
  auto zero = g.node("Mul", {g.node("ReduceMean", {input}, {models::attrInt("keepdims", 0)}), g.scalar(0)});
  g.node("Add", {g.constant(name + "_values", dims, std::move(values)), zero}, {}, name);
  g.output(name, dims);
  return name;
}

struct Box {
  float cx, cy, w, h;  // relative to the 128 view
  float logit;
};

std::string detectorModel(const std::vector<Box>& boxes) {
  std::vector<float> reg(kAnchors * 16, 0.0f), logits(kAnchors, -10.0f);
  for (size_t b = 0; b < boxes.size(); ++b) {
    // Anchor 0 sits at (1/32, 1/32); each box takes its own anchor.
    const size_t i = b * 2;
    const float ax = (float((i / 2) % 16) + 0.5f) / 16, ay = (float(i / 32) + 0.5f) / 16;
    float* r = &reg[i * 16];
    r[0] = (boxes[b].cx - ax) * 128;
    r[1] = (boxes[b].cy - ay) * 128;
    r[2] = boxes[b].w * 128;
    r[3] = boxes[b].h * 128;
    r[4] = (boxes[b].cx - boxes[b].w / 4 - ax) * 128;  // eyes level
    r[5] = (boxes[b].cy - ay) * 128;
    r[6] = (boxes[b].cx + boxes[b].w / 4 - ax) * 128;
    r[7] = (boxes[b].cy - ay) * 128;
    logits[i] = boxes[b].logit;
  }
  Graph g;
  g.input("input", {1, 128, 128, 3});
  constantOutput(g, "input", "regressors", {1, int64_t(kAnchors), 16}, reg);
  constantOutput(g, "input", "classificators", {1, int64_t(kAnchors), 1}, logits);
  return models::serializeModel(g);
}

std::vector<float> meshGrid() {
  std::vector<float> v(kPoints * 3);
  for (size_t i = 0; i < kPoints; ++i) {
    v[3 * i] = 64 + 128 * float(i % 22) / 21;
    v[3 * i + 1] = 64 + 128 * float(i / 22) / 21;
    v[3 * i + 2] = 2;
  }
  v[3 * 33 + 1] = v[3 * 263 + 1] = 110;
  return v;
}

std::string meshModel(std::vector<float> points = meshGrid(), float logit = 4) {
  Graph g;
  g.input("input_12", {1, 256, 256, 3});
  constantOutput(g, "input_12", "Identity", {1, 1, 1, int64_t(points.size())}, points);
  constantOutput(g, "input_12", "Identity_1", {1, 1, 1, 1}, {logit});
  return models::serializeModel(g);
}

std::string task(const std::string& detector, const std::string& mesh) {
  return models::zipStored({{"face_detector.onnx", detector}, {"face_landmarks_detector.onnx", mesh}});
}

const Box kMiddle{0.5f, 0.5f, 0.25f, 0.25f, 4};

TEST(TaskArchive, StoredEntriesAndDamagedArchives) {
  const std::string good = models::zipStored({{"a.onnx", "alpha"}, {"b/c.bin", std::string("\0\1\2", 3)}});
  const auto entries = readStoredZip(good);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries.at("a.onnx"), "alpha");
  EXPECT_EQ(entries.at("b/c.bin"), std::string("\0\1\2", 3));

  std::string compressed = good;
  compressed[8] = 8;  // the first local header's method: deflate
  const size_t central = good.find("PK\1\2");
  compressed[central + 10] = 8;
  std::string shortSize = good;
  shortSize[central + 21] = shortSize[central + 25] = 0x7f;  // larger than what is stored
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"not a zip", std::string(100, 'x')},
      {"compressed", compressed},
      {"cut short", good.substr(0, central) + good.substr(central).substr(0, 10)},
      {"entry past the end", shortSize},
      {"directory past the end", [&] {
         std::string s = good;
         s[s.size() - 6] = char(0xff);  // central directory offset
         return s;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_THROW(readStoredZip(c.bytes), std::runtime_error);
  }
}

TEST(WeightedSuppression, OverlapsMergeByScoreAndOthersStay) {
  auto make = [](float x, float score) {
    Detection d;
    d.box = cv::Rect2f(x, 0, 10, 10);
    d.keyPoints.assign(6, cv::Point2f(x, 0));
    d.score = score;
    return d;
  };
  // Two overlapping boxes (IoU 0.82) merge, weighted 3:1; the far one stays.
  auto kept = suppressOverlaps({make(1, 0.25f), make(100, 0.6f), make(0, 0.75f)}, 0.3f);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_FLOAT_EQ(kept[0].score, 0.75f);
  EXPECT_NEAR(kept[0].box.x, 0.25, 1e-5);
  EXPECT_NEAR(kept[0].box.width, 10, 1e-5);
  EXPECT_NEAR(kept[0].keyPoints[3].x, 0.25, 1e-5);
  EXPECT_FLOAT_EQ(kept[1].box.x, 100);
  // Just touching boxes do not merge.
  EXPECT_EQ(suppressOverlaps({make(0, 0.9f), make(10, 0.8f)}, 0.3f).size(), 2u);
}

TEST(FacePipelineTest, TheDetectorSeesTheImageLetterboxed) {
  FacePipeline pipeline(detectorModel({kMiddle}), meshModel(), {});
  struct Case {
    int width, height;
  } cases[] = {{256, 128}, {128, 256}, {640, 480}, {100, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const cv::Mat rgb(c.height, c.width, CV_8UC3, cv::Scalar::all(50));
    auto found = pipeline.detect(rgb);
    ASSERT_EQ(found.size(), 1u);
    // The middle of the 128 view is the middle of the image; a quarter of it is a quarter
    // of the longer side.
    const float longer = float(std::max(c.width, c.height));
    EXPECT_NEAR(found[0].box.x + found[0].box.width / 2, c.width / 2.0, 1e-3);
    EXPECT_NEAR(found[0].box.y + found[0].box.height / 2, c.height / 2.0, 1e-3);
    EXPECT_NEAR(found[0].box.width, longer / 4, 1e-3);
    EXPECT_NEAR(found[0].box.height, longer / 4, 1e-3);
  }
}

TEST(FacePipelineTest, ScoresAboveTheMinimumOnlyAndUnusableBoxesAreNoFace) {
  struct Case {
    const char* what;
    Box box;
    size_t found;
  } cases[] = {
      {"above", kMiddle, 1},
      {"at 0.5", {0.5f, 0.5f, 0.25f, 0.25f, 0}, 0},
      {"zero width", {0.5f, 0.5f, 0, 0.25f, 4}, 0},
      {"NaN centre", {kNaN, 0.5f, 0.25f, 0.25f, 4}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FacePipeline pipeline(detectorModel({c.box}), meshModel(), {});
    EXPECT_EQ(pipeline.detect(cv::Mat(128, 128, CV_8UC3, cv::Scalar::all(0))).size(), c.found);
  }
}

TEST(FacePipelineTest, VideoTracksWhileTheScoreHoldsAndImageModeDetectsEveryTime) {
  struct Case {
    const char* what;
    bool track;
    float meshLogit;
    float minTracking;
    size_t faces;
    uint64_t detectorRuns;
  } cases[] = {
      {"video", true, 4, 0.5f, 1, 1},
      {"video at the tracking minimum", true, 0, 0.5f, 1, 1},
      {"video below it", true, 0, 0.6f, 1, 3},
      {"image", false, 4, 0.5f, 1, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PipelineSettings settings;
    settings.track = c.track;
    settings.minPresenceConfidence = 0.5f;
    settings.minTrackingConfidence = c.minTracking;
    FacePipeline pipeline(detectorModel({kMiddle}), meshModel(meshGrid(), c.meshLogit), settings);
    const cv::Mat rgb(360, 640, CV_8UC3, cv::Scalar::all(80));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pipeline.process(rgb).size(), c.faces);
    EXPECT_EQ(pipeline.detectorRuns(), c.detectorRuns);
  }
}

TEST(FacePipelineTest, NonFiniteOrCollapsedMeshesAreNoFaceAndSearchAgain) {
  std::vector<float> nan = meshGrid(), single(kPoints * 3, 128.0f);
  nan[3 * 7 + 2] = kNaN;
  for (const auto& points : {nan, single}) {
    PipelineSettings settings;
    settings.track = true;
    FacePipeline pipeline(detectorModel({kMiddle}), meshModel(points), settings);
    const cv::Mat rgb(360, 640, CV_8UC3, cv::Scalar::all(80));
    EXPECT_TRUE(pipeline.process(rgb).empty());
    EXPECT_TRUE(pipeline.process(rgb).empty());
    EXPECT_EQ(pipeline.detectorRuns(), 2u);
  }
  // A NaN presence as well.
  FacePipeline pipeline(detectorModel({kMiddle}), meshModel(meshGrid(), kNaN), {});
  EXPECT_TRUE(pipeline.process(cv::Mat(64, 64, CV_8UC3, cv::Scalar::all(0))).empty());
}

// The C functions, called as a program would.
class FaceLandmarkerApiTest : public testing::MachineTest {
 protected:
  void TearDown() override {
    if (landmarker_) {
      char* error = nullptr;
      EXPECT_EQ(MpFaceLandmarkerClose(landmarker_, &error), 0);
      EXPECT_EQ(error, nullptr);
    }
    MachineTest::TearDown();
  }
  std::string writeTask(const std::string& bytes) {
    const auto file = root() / "face_landmarker.task";
    models::writeFileAtomically(file, bytes);
    return file.string();
  }
  MpFaceLandmarkerOptions options(int32_t mode, const std::string& path) {
    paths_.push_back(path);
    MpFaceLandmarkerOptions o{};
    o.modelAssetPath = paths_.back().c_str();
    o.word28 = 3;
    o.word32 = 3;
    o.displayNamesLocale = "cpp";
    o.runningMode = mode;
    o.numFaces = 1;
    o.minFaceDetectionConfidence = o.minFacePresenceConfidence = o.minTrackingConfidence = 0.5f;
    return o;
  }
  // The status and the text, freed.
  static std::pair<int32_t, std::string> outcome(int32_t status, char* error) {
    std::string text = error ? error : "";
    MpErrorFree(error);
    return {status, text};
  }
  std::pair<int32_t, std::string> create(const MpFaceLandmarkerOptions& o) {
    char* error = nullptr;
    const int32_t status = MpFaceLandmarkerCreate(&o, &landmarker_, &error);
    return outcome(status, error);
  }
  std::pair<int32_t, std::string> detect(const cv::Mat& rgb, bool video, int64_t t, MpFaceLandmarkerResult& result) {
    char* error = nullptr;
    MpImage image = nullptr;
    EXPECT_EQ(MpImageCreateFromUint8Data(1, rgb.cols, rgb.rows, rgb.data, int32_t(rgb.total() * 3), &image, &error), 0);
    const int32_t status = video ? MpFaceLandmarkerDetectForVideo(landmarker_, image, nullptr, t, &result, &error)
                                 : MpFaceLandmarkerDetectImage(landmarker_, image, nullptr, &result, &error);
    MpImageFree(image);
    return outcome(status, error);
  }
  std::deque<std::string> paths_;  // stable while the options point into them
  std::string path_;
  MpFaceLandmarker landmarker_ = nullptr;
};

TEST_F(FaceLandmarkerApiTest, CreateRefusesWhatItCannotServe) {
  const std::string good = writeTask(task(detectorModel({kMiddle}), meshModel()));
  const auto junk = root() / "junk.task";
  models::writeFileAtomically(junk, "junk");
  const auto empty = root() / "empty.task";
  models::writeFileAtomically(empty, models::zipStored({{"other.onnx", "x"}}));
  const auto broken = root() / "broken.task";
  models::writeFileAtomically(broken, task("not a model", meshModel()));
  struct Case {
    const char* what;
    MpFaceLandmarkerOptions options;
    const char* textStart;
  } cases[] = {
      {"live stream", options(kMpRunningModeLiveStream, good), "The live stream mode and result callbacks"},
      {"callback", [&] { auto o = options(kMpRunningModeVideo, good); o.resultCallback = &path_; return o; }(),
       "The live stream mode and result callbacks"},
      {"unknown mode", options(0, good), "Unknown running mode 0."},
      {"no faces", [&] { auto o = options(1, good); o.numFaces = 0; return o; }(), "The number of faces"},
      {"NaN confidence", [&] { auto o = options(1, good); o.minTrackingConfidence = kNaN; return o; }(),
       "Confidences must lie in 0..1."},
      {"no task", [&] { auto o = options(1, good); o.modelAssetPath = nullptr; return o; }(),
       "No face landmarker task given."},
      {"missing task", options(1, (root() / "missing.task").string()), "Could not read the face landmarker task: "},
      {"not an archive", options(1, junk.string()), "the task file is not a ZIP archive"},
      {"no models", options(1, empty.string()), "The task holds no face_detector.onnx"},
      {"broken model", options(1, broken.string()), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto [status, text] = create(c.options);
    EXPECT_NE(status, 0);
    EXPECT_EQ(landmarker_, nullptr);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.rfind(c.textStart, 0), 0u) << text;
  }
  char* error = nullptr;
  EXPECT_NE(MpFaceLandmarkerCreate(nullptr, &landmarker_, &error), 0);
  EXPECT_STREQ(error, "No options.");
  MpErrorFree(error);
}

TEST_F(FaceLandmarkerApiTest, ImagesMustMatchTheirBytes) {
  const std::vector<uint8_t> pixels(4 * 3 * 3);
  struct Case {
    int32_t format, width, height, bytes;
    const uint8_t* data;
  } cases[] = {{2, 4, 3, 36, pixels.data()}, {1, 4, 3, 35, pixels.data()}, {1, 0, 3, 0, pixels.data()},
               {1, 4, 3, 36, nullptr},        {1, -4, -3, 36, pixels.data()}};
  for (const auto& c : cases) {
    MpImage image = &path_;
    char* error = nullptr;
    const int32_t made = MpImageCreateFromUint8Data(c.format, c.width, c.height, c.data, c.bytes, &image, &error);
    auto [status, text] = outcome(made, error);
    EXPECT_NE(status, 0);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(image, nullptr);
  }
}

TEST_F(FaceLandmarkerApiTest, VideoTimeStampsMustIncreaseAndModesDoNotMix) {
  ASSERT_EQ(create(options(kMpRunningModeVideo, writeTask(task(detectorModel({kMiddle}), meshModel())))).first, 0);
  const cv::Mat rgb(120, 160, CV_8UC3, cv::Scalar::all(30));
  struct Step {
    bool video;
    int64_t t;
    const char* text;  // empty: accepted
  } steps[] = {
      {true, 5, ""},
      {true, 5, "Input timestamp must be monotonically increasing."},
      {true, 4, "Input timestamp must be monotonically increasing."},
      {true, 6, ""},
      {false, 0, "Task is not initialized with the image mode."},
      {true, 100, ""},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.t);
    MpFaceLandmarkerResult result{};
    auto [status, text] = detect(rgb, s.video, s.t, result);
    EXPECT_EQ(status != 0, *s.text != 0);
    EXPECT_EQ(text, s.text);
    EXPECT_EQ(result.faceCount, *s.text ? 0u : 1u);
    MpFaceLandmarkerCloseResult(&result);
  }
}

TEST_F(FaceLandmarkerApiTest, ImageModeReturnsNormalisedLandmarksUpToTheFacesAsked) {
  const Box left{0.25f, 0.5f, 0.2f, 0.2f, 3}, right{0.75f, 0.5f, 0.2f, 0.2f, 5};
  const std::string file = writeTask(task(detectorModel({left, right}), meshModel()));
  for (int32_t faces : {1, 2, 3}) {
    SCOPED_TRACE(faces);
    auto o = options(kMpRunningModeImage, file);
    o.numFaces = faces;
    ASSERT_EQ(create(o).first, 0);
    const cv::Mat rgb(200, 200, CV_8UC3, cv::Scalar::all(30));
    MpFaceLandmarkerResult result{};
    ASSERT_EQ(detect(rgb, false, 0, result).first, 0);
    ASSERT_EQ(result.faceCount, uint32_t(std::min(faces, 2)));
    // The best face first: the right one. Its region: centre (150, 100), side 60.
    const MpLandmarkList& first = result.faces[0];
    ASSERT_EQ(first.count, kPoints);
    EXPECT_NEAR(first.landmarks[0].x, (150 + (64 - 128) * 60.0 / 256) / 200, 1e-3);
    EXPECT_NEAR(first.landmarks[0].y, (100 + (64 - 128) * 60.0 / 256) / 200, 1e-3);
    EXPECT_NEAR(first.landmarks[0].z, 2 * 60.0 / 256 / 200, 1e-4);
    char* error = nullptr;
    {
      auto [status, text] = detect(rgb, true, 1, result);
      EXPECT_EQ(text, "Task is not initialized with the video mode.");
    }
    MpFaceLandmarkerCloseResult(&result);
    EXPECT_EQ(MpFaceLandmarkerClose(landmarker_, &error), 0);
    landmarker_ = nullptr;
  }
}

TEST_F(FaceLandmarkerApiTest, TheBuiltLibraryExportsEveryFunctionAndFindsItsRuntime) {
  HMODULE library = LoadLibraryW(std::filesystem::path(TESMIRA_MEDIAPIPE_DLL).wstring().c_str());
  ASSERT_NE(library, nullptr);
  for (const char* name : {"MpImageCreateFromUint8Data", "MpImageFree", "MpFaceLandmarkerCreate",
                           "MpFaceLandmarkerDetectForVideo", "MpFaceLandmarkerDetectImage",
                           "MpFaceLandmarkerCloseResult", "MpFaceLandmarkerClose", "MpErrorFree"}) {
    EXPECT_NE(GetProcAddress(library, name), nullptr) << name;
  }
  FreeLibrary(library);
}

}  // namespace
}  // namespace tesmira::mediapipe
