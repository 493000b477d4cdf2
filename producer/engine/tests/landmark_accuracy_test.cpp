// Both landmark sources with the real models against references no one here wrote: OpenCV's
// Haar cascades on public images and a public clip, known motion, and each other.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>
#include <windows.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

#include "producer/engine/mediapipe_landmarker.h"
#include "producer/engine/onnx_landmarker.h"
#include "producer/landmark_lead.h"
#include "tests/support/machine_fixture.h"
#include "tools/models/authored_graphs.h"

namespace tesmira {
namespace {

namespace fs = std::filesystem;
using Points = std::vector<LandmarkPoint>;

fs::path data(const std::string& name) { return testing::builtDataFolder() / name; }
fs::path media(const std::string& name) { return testing::mediaFolder() / name; }

std::unique_ptr<OnnxLandmarker> onnxLandmarker() {
  return std::make_unique<OnnxLandmarker>(data("models/mp_landmarker/onnx/face_detector.onnx"),
                                          data("models/mp_landmarker/onnx/face_landmarks_detector.onnx"),
                                          kProviderCpu, 0.5f, 0.5f);
}

std::unique_ptr<MediaPipeLandmarker> mediaPipeLandmarker() {
  return std::make_unique<MediaPipeLandmarker>(data("libmediapipe.dll"), data("models/face_landmarker.task"), 0.5f,
                                               0.5f, 0.5f);
}

cv::Point2d mean(const Points& p, const std::vector<int>& indices) {
  cv::Point2d sum(0, 0);
  for (int i : indices) sum += cv::Point2d(p[size_t(i)].x, p[size_t(i)].y);
  return sum * (1.0 / double(indices.size()));
}
cv::Point2d eyeA(const Points& p) { return mean(p, models::kLeftEyeContour); }
cv::Point2d eyeB(const Points& p) { return mean(p, models::kRightEyeContour); }
double eyeDistance(const Points& p) { return cv::norm(eyeA(p) - eyeB(p)); }

// Mean distance of the first 468 points, over the eye distance of `reference`.
double meanGap(const Points& a, const Points& b, const Points& reference) {
  double sum = 0;
  for (size_t i = 0; i < 468; ++i) sum += std::hypot(a[i].x - b[i].x, a[i].y - b[i].y);
  return sum / 468 / eyeDistance(reference);
}

std::vector<cv::Rect> haar(const cv::Mat& bgr, const char* cascade, cv::Size minimum = {30, 30}) {
  cv::CascadeClassifier classifier(media(cascade).string());
  EXPECT_FALSE(classifier.empty()) << cascade;
  cv::Mat grey;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  std::vector<cv::Rect> found;
  if (!classifier.empty()) classifier.detectMultiScale(grey, found, 1.1, 5, 0, minimum);
  return found;
}

cv::Rect largest(const std::vector<cv::Rect>& rects) {
  return rects.empty() ? cv::Rect() : *std::max_element(rects.begin(), rects.end(), [](auto& a, auto& b) {
    return a.area() < b.area();
  });
}

double iou(const cv::Rect2d& a, const cv::Rect2d& b) {
  const double overlap = (a & b).area();
  return overlap / (a.area() + b.area() - overlap);
}

// The detector alone, as the ONNX landmarker runs it, for its box and key points.
FaceDetection detectOnce(const cv::Mat& bgr) {
  static Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "landmark-accuracy-test");
  Ort::Session session(env, data("models/mp_landmarker/onnx/face_detector.onnx").c_str(), Ort::SessionOptions{});
  cv::Mat small, rgb;
  cv::resize(bgr, small, {128, 128}, 0, 0, cv::INTER_LINEAR);
  cv::cvtColor(small, rgb, cv::COLOR_BGR2RGB);
  std::vector<float> input(128 * 128 * 3);
  for (size_t i = 0; i < input.size(); ++i) input[i] = float(rgb.data[i]) * 0.007843138f - 1.0f;
  const std::array<int64_t, 4> shape = {1, 128, 128, 3};
  auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value tensor = Ort::Value::CreateTensor<float>(memory, input.data(), input.size(), shape.data(), 4);
  const char* in[] = {"input"};
  const char* out[] = {"regressors", "classificators"};
  auto outputs = session.Run(Ort::RunOptions{nullptr}, in, &tensor, 1, out, 2);
  return landmarks::decodeDetection(outputs[0].GetTensorData<float>(),
                                    outputs[0].GetTensorTypeAndShapeInfo().GetElementCount(),
                                    outputs[1].GetTensorData<float>(),
                                    outputs[1].GetTensorTypeAndShapeInfo().GetElementCount(),
                                    landmarks::detectorAnchors(), 0.5f);
}

cv::Rect2d pixels(const FaceDetection& d, const cv::Mat& frame) {
  return {d.left * frame.cols, d.top * frame.rows, d.width * frame.cols, d.height * frame.rows};
}

std::vector<cv::Mat> megamindFrames() {
  cv::VideoCapture clip(media("Megamind.avi").string());
  std::vector<cv::Mat> frames;
  for (cv::Mat f; clip.read(f);) frames.push_back(f.clone());
  return frames;
}

TEST(LandmarkAccuracy, AstronautAgreesWithTheHaarFaceAndEyes) {
  const cv::Mat image = cv::imread(media("astronaut.png").string());
  ASSERT_FALSE(image.empty());
  const cv::Rect face = largest(haar(image, "haarcascade_frontalface_default.xml"));
  ASSERT_FALSE(face.empty());
  const FaceDetection detection = detectOnce(image);
  ASSERT_TRUE(detection.found);
  EXPECT_GE(iou(pixels(detection, image), face), 0.5);

  const LandmarkResult r = onnxLandmarker()->detect(image, 0);
  ASSERT_TRUE(r.found);
  ASSERT_EQ(r.points.size(), 478u);
  const std::vector<cv::Rect> eyes = haar(image(face), "haarcascade_eye.xml", {10, 10});
  for (const cv::Point2d eye : {eyeA(r.points), eyeB(r.points)}) {
    const cv::Point2d inFace = eye - cv::Point2d(face.tl());
    EXPECT_TRUE(std::any_of(eyes.begin(), eyes.end(), [&](const cv::Rect& e) { return cv::Rect2d(e).contains(inFace); }))
        << "eye centre " << eye;
  }
  // The detector's eye key points near the mesh's eyes (either order), its mouth between
  // the lips.
  const double d = eyeDistance(r.points);
  auto pixel = [&](int k) {
    return cv::Point2d(detection.keyPoints[size_t(k)].x * image.cols, detection.keyPoints[size_t(k)].y * image.rows);
  };
  const double straight = std::max(cv::norm(pixel(0) - eyeA(r.points)), cv::norm(pixel(1) - eyeB(r.points)));
  const double crossed = std::max(cv::norm(pixel(0) - eyeB(r.points)), cv::norm(pixel(1) - eyeA(r.points)));
  EXPECT_LE(std::min(straight, crossed) / d, 0.2);
  const cv::Point2d lips((r.points[13].x + r.points[14].x) / 2, (r.points[13].y + r.points[14].y) / 2);
  EXPECT_LE(cv::norm(pixel(3) - lips) / d, 0.1);
}

TEST(LandmarkAccuracy, SmallFaceIsFoundOnceEnlarged) {
  const cv::Mat image = cv::imread(media("messi5.jpg").string());
  ASSERT_FALSE(image.empty());
  const cv::Rect face = largest(haar(image, "haarcascade_frontalface_default.xml", {20, 20}));
  ASSERT_FALSE(face.empty());
  // The short-range model does not reach a face this small in the whole frame; 200x200
  // around it, three times larger, it does.
  const cv::Point centre = (face.tl() + face.br()) / 2;
  const cv::Rect around = cv::Rect(centre.x - 100, centre.y - 100, 200, 200) & cv::Rect(0, 0, image.cols, image.rows);
  cv::Mat enlarged;
  cv::resize(image(around), enlarged, {}, 3, 3, cv::INTER_LINEAR);
  const FaceDetection detection = detectOnce(enlarged);
  ASSERT_TRUE(detection.found);
  const cv::Rect2d expected((face.x - around.x) * 3.0, (face.y - around.y) * 3.0, face.width * 3.0, face.height * 3.0);
  EXPECT_GE(iou(pixels(detection, enlarged), expected), 0.5);
  EXPECT_TRUE(onnxLandmarker()->detect(enlarged, 0).found);
}

TEST(LandmarkAccuracy, MegamindIsTrackedSteadily) {
  const auto frames = megamindFrames();
  ASSERT_GE(frames.size(), 260u);
  auto landmarker = onnxLandmarker();
  std::vector<LandmarkResult> results;
  for (size_t i = 0; i < frames.size(); ++i) results.push_back(landmarker->detect(frames[i], int64_t(i)));
  const size_t faces = size_t(std::count_if(results.begin(), results.end(), [](auto& r) { return r.found; }));
  EXPECT_GE(faces, 260u);
  EXPECT_LE(landmarker->detectorRuns(), 10u);
  for (size_t i = 0; i < frames.size(); i += 45) {
    if (!results[i].found) continue;
    const auto haarFaces = haar(frames[i], "haarcascade_frontalface_default.xml", {60, 60});
    if (haarFaces.empty()) continue;
    const cv::Point2d centroid = mean(results[i].points, [] {
      std::vector<int> all(468);
      for (int k = 0; k < 468; ++k) all[size_t(k)] = k;
      return all;
    }());
    EXPECT_TRUE(cv::Rect2d(largest(haarFaces)).contains(centroid)) << "frame " << i;
  }
  // Jitter: each point against the mean of its neighbours in time, over the eye distance.
  std::vector<double> jitter;
  for (size_t i = 1; i + 1 < results.size(); ++i) {
    if (!results[i - 1].found || !results[i].found || !results[i + 1].found) continue;
    double sum = 0;
    for (size_t k = 0; k < 468; ++k) {
      const auto& a = results[i - 1].points[k];
      const auto& b = results[i].points[k];
      const auto& c = results[i + 1].points[k];
      sum += std::hypot(b.x - (a.x + c.x) / 2, b.y - (a.y + c.y) / 2);
    }
    jitter.push_back(sum / 468 / eyeDistance(results[i].points));
  }
  ASSERT_FALSE(jitter.empty());
  std::nth_element(jitter.begin(), jitter.begin() + long(jitter.size() / 2), jitter.end());
  EXPECT_LE(jitter[jitter.size() / 2], 0.02);
}

cv::Mat pasted(const cv::Mat& face, int dx, int dy) {
  cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar(60, 60, 60));
  face.copyTo(frame(cv::Rect(300 + dx, 40 + dy, face.cols, face.rows)));
  return frame;
}

TEST(LandmarkAccuracy, TrackingSettlesOnAStillFaceAndFollowsKnownMotion) {
  cv::Mat astronaut = cv::imread(media("astronaut.png").string()), face;
  ASSERT_FALSE(astronaut.empty());
  cv::resize(astronaut, face, {}, 1.25, 1.25, cv::INTER_LINEAR);
  auto landmarker = onnxLandmarker();
  Points previous;
  for (int i = 0; i < 30; ++i) {
    const LandmarkResult r = landmarker->detect(pasted(face, 0, 0), i);
    ASSERT_TRUE(r.found) << i;
    if (i > 0) {
      double step = 0;
      for (size_t k = 0; k < 468; ++k) step += std::hypot(r.points[k].x - previous[k].x, r.points[k].y - previous[k].y);
      // The region settles within a few frames: mean steps of about 4, 1.2, 0.5, 0.2 px, then less.
      if (i >= 6) {
        EXPECT_LT(step / 468, 0.2) << "frame " << i;
      }
    }
    previous = r.points;
  }
  EXPECT_EQ(landmarker->detectorRuns(), 1u);
  const Points settled = previous;
  for (int i = 1; i <= 20; ++i) {
    const LandmarkResult r = landmarker->detect(pasted(face, 6 * i, 2 * i), 30 + i);
    ASSERT_TRUE(r.found) << i;
    Points shifted = settled;
    for (auto& p : shifted) {
      p.x += float(6 * i);
      p.y += float(2 * i);
    }
    EXPECT_LE(meanGap(r.points, shifted, settled), 0.04) << "frame " << i;
  }
  EXPECT_EQ(landmarker->detectorRuns(), 1u);
}

TEST(LandmarkAccuracy, TheTwoSourcesAgree) {
  // A square image: the library's letterbox and the ONNX landmarker's squeeze see it alike.
  const cv::Mat frame = cv::imread(media("astronaut.png").string());
  ASSERT_FALSE(frame.empty());
  auto onnx = onnxLandmarker();
  auto mediapipe = mediaPipeLandmarker();
  const LandmarkResult firstOnnx = onnx->detect(frame, 0);
  LandmarkResult a, b;
  for (int i = 0; i < 10; ++i) {
    a = onnx->detect(frame, i);
    b = mediapipe->detect(frame, i);
  }
  ASSERT_TRUE(a.found && b.found);
  ASSERT_EQ(b.points.size(), 478u);
  EXPECT_LE(meanGap(a.points, b.points, a.points), 0.02);
  // One call each: the letterboxed and the squeezed first region differ somewhat.
  SetEnvironmentVariableW(L"TESMIRA_MP_IMAGE_MODE", L"1");
  const LandmarkResult single = mediaPipeLandmarker()->detect(frame, 0);
  SetEnvironmentVariableW(L"TESMIRA_MP_IMAGE_MODE", nullptr);
  ASSERT_TRUE(single.found && firstOnnx.found);
  EXPECT_LE(meanGap(single.points, firstOnnx.points, firstOnnx.points), 0.15);
}

TEST(LandmarkAccuracy, LeadBringsThePointsCloserToWhereTheFaceWillBe) {
  // The first 150 frames: the clip's first cut and plenty of motion, at half the cost.
  auto frames = megamindFrames();
  frames.resize(std::min<size_t>(frames.size(), 150));
  auto landmarker = onnxLandmarker();
  std::vector<LandmarkResult> results;
  for (size_t i = 0; i < frames.size(); ++i) results.push_back(landmarker->detect(frames[i], int64_t(i)));
  // 24 fps: a frame every 41.67 ms; the truth 33 ms ahead lies between this detection and the next.
  const double period = 1000.0 / 24, lead = 33, share = lead / period;
  LandmarkLead predictor;
  double predictedError = 0, plainError = 0;
  int counted = 0;
  for (size_t i = 0; i + 1 < results.size(); ++i) {
    if (!results[i].found) {
      predictor.reset();
      continue;
    }
    const Points predicted = predictor.predict(results[i], uint64_t(std::llround(double(i) * period)), frames[i].cols,
                                               frames[i].rows, lead);
    if (!results[i + 1].found || i == 0 || !results[i - 1].found) continue;
    const Points& now = results[i].points;
    const Points& next = results[i + 1].points;
    Points truth = now;
    for (size_t k = 0; k < truth.size(); ++k) {
      truth[k].x = float(now[k].x + (next[k].x - now[k].x) * share);
      truth[k].y = float(now[k].y + (next[k].y - now[k].y) * share);
    }
    predictedError += meanGap(predicted, truth, now);
    plainError += meanGap(now, truth, now);
    ++counted;
  }
  ASSERT_GT(counted, 120);
  EXPECT_LT(predictedError, 0.8 * plainError) << predictedError / counted << " against " << plainError / counted;
}

}  // namespace
}  // namespace tesmira
