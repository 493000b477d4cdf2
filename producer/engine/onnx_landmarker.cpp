#include "producer/engine/onnx_landmarker.h"

#include <onnxruntime_cxx_api.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>

#include "producer/engine/onnx_provider.h"

namespace tesmira {
namespace landmarks {
namespace {

[[noreturn]] void throwShortOutput() { throw std::runtime_error("ONNX landmark output is smaller than expected."); }

float sigmoid(float logit) { return 1.0f / (1.0f + std::exp(-std::clamp(logit, -100.0f, 100.0f))); }

bool finite(cv::Point2f p) { return std::isfinite(p.x) && std::isfinite(p.y); }

}  // namespace

std::vector<cv::Point2f> detectorAnchors() {
  std::vector<cv::Point2f> anchors;
  anchors.reserve(kAnchorCount);
  struct Layer {
    int grid;
    int perCell;
  };
  for (Layer layer : {Layer{16, 2}, Layer{8, 6}}) {
    const float g = float(layer.grid);
    for (int y = 0; y < layer.grid; ++y)
      for (int x = 0; x < layer.grid; ++x)
        for (int k = 0; k < layer.perCell; ++k) anchors.emplace_back((float(x) + 0.5f) / g, (float(y) + 0.5f) / g);
  }
  return anchors;
}

FaceDetection decodeDetection(const float* regressors, size_t regressorCount, const float* scores, size_t scoreCount,
                              const std::vector<cv::Point2f>& anchors, float threshold) {
  const size_t count = anchors.size();
  if (scoreCount < count || regressorCount / kRegressorsPerAnchor < count) throwShortOutput();
  FaceDetection detection;
  size_t best = count;
  float bestScore = 0;
  for (size_t i = 0; i < count; ++i) {
    const float score = sigmoid(scores[i]);
    // Strictly greater: a tie keeps the lower index; NaN never wins.
    if (score > threshold && (best == count || score > bestScore)) {
      best = i;
      bestScore = score;
    }
  }
  if (best == count) return detection;
  const float* r = regressors + best * kRegressorsPerAnchor;
  const cv::Point2f anchor = anchors[best];
  const cv::Point2f centre(r[0] / 128 + anchor.x, r[1] / 128 + anchor.y);
  detection.width = r[2] / 128;
  detection.height = r[3] / 128;
  detection.left = centre.x - detection.width / 2;
  detection.top = centre.y - detection.height / 2;
  bool usable = finite(centre) && detection.width > 0 && detection.height > 0 && std::isfinite(detection.width) &&
                std::isfinite(detection.height);
  for (size_t k = 0; k < detection.keyPoints.size(); ++k) {
    detection.keyPoints[k] = {r[4 + 2 * k] / 128 + anchor.x, r[5 + 2 * k] / 128 + anchor.y};
    usable = usable && finite(detection.keyPoints[k]);
  }
  detection.score = bestScore;
  detection.found = usable;
  return detection;
}

FaceRegion regionFromDetection(const FaceDetection& d, int width, int height) {
  const float w = float(width), h = float(height);
  FaceRegion region;
  region.centerX = (d.left + d.width / 2) * w;
  region.centerY = (d.top + d.height / 2) * h;
  region.side = std::max(d.height * h, d.width * w) * 1.5f;
  region.angle = std::atan2((d.keyPoints[1].y - d.keyPoints[0].y) * h, (d.keyPoints[1].x - d.keyPoints[0].x) * w);
  return region;
}

bool regionFromPoints(const std::vector<LandmarkPoint>& points, FaceRegion& region) {
  if (points.size() <= std::max(kRightEyeOuter, kLeftEyeOuter)) return false;
  float minX = std::numeric_limits<float>::max(), minY = minX;
  float maxX = std::numeric_limits<float>::lowest(), maxY = maxX;
  for (const LandmarkPoint& p : points) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) return false;
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  FaceRegion next;
  next.centerX = (minX + maxX) / 2;
  next.centerY = (minY + maxY) / 2;
  next.side = std::max(maxX - minX, maxY - minY) * 1.5f;
  const LandmarkPoint& right = points[kRightEyeOuter];
  const LandmarkPoint& left = points[kLeftEyeOuter];
  next.angle = std::atan2(left.y - right.y, left.x - right.x);
  if (!(next.side >= 1.0f) || !std::isfinite(next.side)) return false;
  region = next;
  return true;
}

cv::Matx23d cropTransform(const FaceRegion& region) {
  // The rotated square's top-left, top-right and bottom-left corners go to (0,0), (256,0) and
  // (0,256): a rotation by -angle, a scale and a shift.
  const double scale = double(kMeshSize) / double(region.side);
  const double c = std::cos(double(region.angle)), s = std::sin(double(region.angle));
  const double cx = region.centerX, cy = region.centerY, half = kMeshSize / 2.0;
  return {scale * c, scale * s, half - scale * (c * cx + s * cy),
          -scale * s, scale * c, half - scale * (-s * cx + c * cy)};
}

}  // namespace landmarks

using namespace landmarks;

struct OnnxLandmarker::Impl {
  std::unique_ptr<Ort::Session> detector;
  std::unique_ptr<Ort::Session> mesh;
  float detectionThreshold = 0.5f;
  float trackingThreshold = 0.5f;
  std::vector<cv::Point2f> anchors;
  bool tracking = false;
  FaceRegion region;

  Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  // Buffers reused frame to frame.
  cv::Mat small;
  cv::Mat crop;
  std::vector<float> detectorInput = std::vector<float>(size_t(kDetectorSize) * kDetectorSize * 3);
  std::vector<float> meshInput = std::vector<float>(size_t(kMeshSize) * kMeshSize * 3);
  uint64_t detectorRuns = 0;
  uint64_t meshRuns = 0;

  FaceDetection runDetector(const cv::Mat& frame);
  float runMesh(const cv::Mat& frame, const FaceRegion& roi, std::vector<LandmarkPoint>& points);
};

namespace {

// Interleaved RGB floats b * scale + offset from a BGR image.
void packRgb(const cv::Mat& bgr, float scale, float offset, std::vector<float>& out) {
  float* o = out.data();
  for (int y = 0; y < bgr.rows; ++y) {
    const uint8_t* px = bgr.ptr<uint8_t>(y);
    for (int x = 0; x < bgr.cols; ++x, px += 3, o += 3) {
      o[0] = float(px[2]) * scale + offset;
      o[1] = float(px[1]) * scale + offset;
      o[2] = float(px[0]) * scale + offset;
    }
  }
}

// The output's floats; never trusted to hold more than the runtime says.
const float* floatsOf(Ort::Value& value, size_t& count) {
  Ort::TypeInfo typeInfo = value.GetTypeInfo();
  if (typeInfo.GetONNXType() != ONNX_TYPE_TENSOR) throw std::runtime_error("ONNX output is not a float tensor.");
  auto tensorInfo = typeInfo.GetTensorTypeAndShapeInfo();
  if (tensorInfo.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
    throw std::runtime_error("ONNX output is not a float tensor.");
  count = tensorInfo.GetElementCount();
  return value.GetTensorData<float>();
}

// One run of a square-input model over the packed buffer, without a copy; two outputs.
std::vector<Ort::Value> runSquare(Ort::Session& session, const Ort::MemoryInfo& memory, std::vector<float>& input,
                                  int side, const char* inputName, const char* const (&outputs)[2]) {
  const std::array<int64_t, 4> shape = {1, side, side, 3};
  Ort::Value tensor = Ort::Value::CreateTensor<float>(memory, input.data(), input.size(), shape.data(), shape.size());
  return session.Run(Ort::RunOptions{nullptr}, &inputName, &tensor, 1, outputs, 2);
}

}  // namespace

FaceDetection OnnxLandmarker::Impl::runDetector(const cv::Mat& frame) {
  cv::resize(frame, small, {kDetectorSize, kDetectorSize}, 0, 0, cv::INTER_LINEAR);
  packRgb(small, 0.007843138f, -1.0f, detectorInput);
  static const char* const kOutputs[] = {"regressors", "classificators"};
  ++detectorRuns;
  auto outputs = runSquare(*detector, memory, detectorInput, kDetectorSize, "input", kOutputs);
  size_t regressorCount = 0, scoreCount = 0;
  const float* regressors = floatsOf(outputs[0], regressorCount);
  const float* scores = floatsOf(outputs[1], scoreCount);
  return decodeDetection(regressors, regressorCount, scores, scoreCount, anchors, detectionThreshold);
}

float OnnxLandmarker::Impl::runMesh(const cv::Mat& frame, const FaceRegion& roi, std::vector<LandmarkPoint>& points) {
  const cv::Matx23d toCrop = cropTransform(roi);
  cv::Matx23d toFrame;
  cv::invertAffineTransform(toCrop, toFrame);
  cv::warpAffine(frame, crop, toCrop, {kMeshSize, kMeshSize}, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  packRgb(crop, 0.003921569f, 0.0f, meshInput);
  static const char* const kOutputs[] = {"Identity", "Identity_1"};
  ++meshRuns;
  auto outputs = runSquare(*mesh, memory, meshInput, kMeshSize, "input_12", kOutputs);
  size_t valueCount = 0, scoreCount = 0;
  const float* values = floatsOf(outputs[0], valueCount);
  const float* score = floatsOf(outputs[1], scoreCount);
  if (valueCount < kMeshPoints * 3 || scoreCount < 1) throwShortOutput();

  const double zScale = double(roi.side) * (1.0 / 256) * (1.0 / 256) * double(frame.cols);
  points.resize(kMeshPoints);
  for (size_t i = 0; i < kMeshPoints; ++i) {
    const double x = values[3 * i], y = values[3 * i + 1];
    points[i].x = float(toFrame(0, 0) * x + toFrame(0, 1) * y + toFrame(0, 2));
    points[i].y = float(toFrame(1, 0) * x + toFrame(1, 1) * y + toFrame(1, 2));
    points[i].z = float(zScale * double(values[3 * i + 2]));
  }
  return 1.0f / (1.0f + std::exp(-score[0]));
}

OnnxLandmarker::OnnxLandmarker(const std::filesystem::path& detectorModelPath,
                               const std::filesystem::path& meshModelPath, InferenceProvider provider,
                               float detectionThreshold, float trackingThreshold) {
  auto impl = std::make_unique<Impl>();
  impl->detectionThreshold = detectionThreshold;
  impl->trackingThreshold = trackingThreshold;
  impl->anchors = detectorAnchors();
  const OnnxSessionSetUp setUp = makeSessionSetUp(provider);
  if (setUp.fellBack) std::cerr << "OnnxLandmarker: requested provider unavailable; using CPU. " << setUp.reason << "\n";
  Ort::Env& env = onnxEnvironment();
  impl->detector = std::make_unique<Ort::Session>(env, detectorModelPath.c_str(), setUp.options);
  impl->mesh = std::make_unique<Ort::Session>(env, meshModelPath.c_str(), setUp.options);
  impl_ = std::move(impl);
}

OnnxLandmarker::~OnnxLandmarker() = default;

LandmarkResult OnnxLandmarker::detect(const cv::Mat& frame, int64_t) {
  LandmarkResult result;
  if (frame.empty()) return result;
  Impl& m = *impl_;
  FaceRegion roi = m.region;
  if (!m.tracking) {
    const FaceDetection detection = m.runDetector(frame);
    if (!detection.found) return result;
    roi = regionFromDetection(detection, frame.cols, frame.rows);
    if (!(roi.side >= 1.0f)) return result;
  }
  std::vector<LandmarkPoint> points;
  const float score = m.runMesh(frame, roi, points);
  FaceRegion next;
  // A NaN score is not at or above the threshold either.
  if (!(score >= m.trackingThreshold) || !regionFromPoints(points, next)) {
    m.tracking = false;
    return result;
  }
  m.region = next;
  m.tracking = true;
  result.found = true;
  result.points = std::move(points);
  return result;
}

uint64_t OnnxLandmarker::detectorRuns() const { return impl_->detectorRuns; }
uint64_t OnnxLandmarker::meshRuns() const { return impl_->meshRuns; }

}  // namespace tesmira
