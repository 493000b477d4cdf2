#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tools/models/tests/model_test_support.h"
#include "tools/models/tests/nhwc_reference.h"
#include "tools/models/tflite_to_onnx.h"

namespace tesmira::models {
namespace {

using reference::NTensor;
using namespace modeltest;

double maxDiff(const NTensor& a, const NTensor& b) {
  EXPECT_EQ(a.data.size(), b.data.size());
  double worst = 0;
  for (size_t i = 0; i < std::min(a.data.size(), b.data.size()); ++i)
    worst = std::max(worst, double(std::fabs(a.data[i] - b.data[i])));
  return worst;
}

double maxAbs(const NTensor& a) {
  double m = 0;
  for (float f : a.data) m = std::max(m, double(std::fabs(f)));
  return m;
}

struct Box {
  float score, x, y, w, h;  // pixels of a 512 x 512 image
};

// Short-range detector anchors: 16x16 cells with 2 anchors, then 8x8 cells with 6.
std::vector<Box> decodeFaces(const NTensor& regressors, const NTensor& scores, float imageSize) {
  std::vector<std::pair<float, float>> anchors;
  for (auto [cells, per] : {std::pair{16, 2}, std::pair{8, 6}})
    for (int y = 0; y < cells; ++y)
      for (int x = 0; x < cells; ++x)
        for (int k = 0; k < per; ++k) anchors.push_back({(x + 0.5f) / float(cells), (y + 0.5f) / float(cells)});
  std::vector<Box> boxes;
  for (size_t i = 0; i < anchors.size(); ++i) {
    float s = 1.0f / (1.0f + std::exp(-std::clamp(scores.data[i], -100.0f, 100.0f)));
    const float* r = &regressors.data[i * 16];
    float cx = r[0] / 128 + anchors[i].first, cy = r[1] / 128 + anchors[i].second;
    float w = r[2] / 128, h = r[3] / 128;
    boxes.push_back({s, (cx - w / 2) * imageSize, (cy - h / 2) * imageSize, w * imageSize, h * imageSize});
  }
  return boxes;
}

float iou(const Box& a, const cv::Rect& b) {
  float x0 = std::max(a.x, float(b.x)), y0 = std::max(a.y, float(b.y));
  float x1 = std::min(a.x + a.w, float(b.x + b.width)), y1 = std::min(a.y + a.h, float(b.y + b.height));
  float inter = std::max(0.0f, x1 - x0) * std::max(0.0f, y1 - y0);
  return inter / (a.w * a.h + float(b.area()) - inter);
}

float iou(const Box& a, const Box& b) {
  return iou(a, cv::Rect(int(b.x), int(b.y), int(b.w), int(b.h)));
}

TEST(ConverterTest, DetectorFindsTheOneFaceOnTheAstronautWhereHaarDoes) {
  std::string model = serializeModel(convertTfliteModel(detector()));
  auto out = runOnnx(model, {{"input", astronautInput(128, -1, 1)}}, {"regressors", "classificators"});
  ASSERT_EQ(out[0].shape, (std::vector<int32_t>{1, 896, 16}));
  ASSERT_EQ(out[1].shape, (std::vector<int32_t>{1, 896, 1}));
  auto boxes = decodeFaces(out[0], out[1], 512);
  std::sort(boxes.begin(), boxes.end(), [](const Box& a, const Box& b) { return a.score > b.score; });
  // Confident detections that overlap the best one are the same face.
  for (const Box& b : boxes)
    if (b.score >= 0.5f) {
      EXPECT_GT(iou(b, boxes[0]), 0.3f) << "a second face at " << b.x << "," << b.y;
    }

  cv::CascadeClassifier haar((mediaDir() / "haarcascade_frontalface_default.xml").string());
  ASSERT_FALSE(haar.empty());
  cv::Mat grey = cv::imread((mediaDir() / "astronaut.png").string(), cv::IMREAD_GRAYSCALE);
  std::vector<cv::Rect> faces;
  haar.detectMultiScale(grey, faces, 1.1, 5, 0, {60, 60});
  ASSERT_EQ(faces.size(), 1u);
  EXPECT_GE(boxes[0].score, 0.8f);
  EXPECT_GE(iou(boxes[0], faces[0]), 0.5f);
  std::cout << "detector score " << boxes[0].score << ", IoU with Haar " << iou(boxes[0], faces[0]) << "\n";
}

TEST(ConverterTest, ConvertedModelsAgreeWithTheNhwcReference) {
  struct Case {
    const char* name;
    const TfModel* model;
    NTensor input;
  } cases[] = {
      {"detector", &detector(), astronautInput(128, -1, 1)},
      {"mesh", &mesh(), astronautInput(192, 0, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TfModel& m = *c.model;
    std::vector<std::string> names;
    for (int32_t o : m.outputs) names.push_back(m.tensors[size_t(o)].name);
    auto got = runOnnx(serializeModel(convertTfliteModel(m)), {{m.tensors[size_t(m.inputs[0])].name, c.input}}, names);
    auto want = reference::evaluateNhwc(m, {c.input});
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].shape, want[i].shape) << names[i];
      double diff = maxDiff(got[i], want[i]), scale = std::max(1.0, maxAbs(want[i]));
      std::cout << c.name << " " << names[i] << ": max diff " << diff << " (outputs up to " << maxAbs(want[i]) << ")\n";
      EXPECT_LT(diff, 1e-4 * scale) << names[i];
    }
  }
}

TEST(ConverterTest, OtherOperatorsAreRefusedByName) {
  struct Case {
    int32_t builtin;
    std::string custom;
    std::string error;
  } cases[] = {
      {14, "", "Unsupported TFLite operator: LOGISTIC"},
      {32, "Landmarks2TransformMatrix", "Unsupported TFLite operator: CUSTOM Landmarks2TransformMatrix"},
      {200, "", "Unsupported TFLite operator: BUILTIN_200"},
  };
  for (const auto& c : cases) {
    TfModel model = detector();
    model.operators[5].builtin = c.builtin;
    model.operators[5].customCode = c.custom;
    Graph g;
    try {
      convertTflite(model, g);
      ADD_FAILURE() << "accepted " << c.error;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.error);
    }
  }
}

TEST(ConverterTest, UnsupportedFusedActivationIsRefused) {
  TfModel model = detector();
  for (auto& op : model.operators)
    if (op.builtin == kTfConv2d) {
      op.options.activation = 4;  // TANH
      break;
    }
  Graph g;
  EXPECT_THROW(convertTflite(model, g), std::runtime_error);
}

TEST(ConverterTest, DamagedFilesAreRefusedWithoutReadingPastTheEnd) {
  const std::string good = readBytes(cacheDir() / "models" / "face_detection_short_range.tflite");
  std::vector<std::pair<std::string, std::string>> cases = {
      {"empty", ""},
      {"no identifier", std::string(16, '\0')},
      {"header only", good.substr(0, 8)},
      {"first kilobyte", good.substr(0, 1024)},
      {"half", good.substr(0, good.size() / 2)},
  };
  std::string badRoot = good;
  badRoot[3] = char(0x7f);  // root offset far past the end
  cases.push_back({"root past the end", badRoot});
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    try {
      readTflite(bytes);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Malformed TFLite model: ", 0), 0u) << e.what();
    }
  }
  // Every 4-byte word of the header region overwritten: refused or read, never a crash.
  for (size_t at = 0; at < 256; at += 4) {
    std::string damaged = good;
    damaged[at] = char(0xff);
    damaged[at + 1] = char(0xff);
    try {
      readTflite(damaged);
    } catch (const std::runtime_error&) {
    }
  }
}

}  // namespace
}  // namespace tesmira::models
