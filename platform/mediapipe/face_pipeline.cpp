#include "mediapipe/face_pipeline.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace tesmira::mediapipe {
namespace {

constexpr int kDetectorSize = 128;
constexpr int kMeshSize = 256;
constexpr size_t kMeshPoints = 478;
constexpr float kSuppressionThreshold = 0.3f;
// Eye corners that turn the tracked region.
constexpr size_t kRightEyeOuter = 33;
constexpr size_t kLeftEyeOuter = 263;

uint32_t le(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | uint8_t(s[at + size_t(i)]);
  return v;
}

float sigmoid(float logit) { return 1.0f / (1.0f + std::exp(-std::clamp(logit, -100.0f, 100.0f))); }

bool finite(cv::Point2f p) { return std::isfinite(p.x) && std::isfinite(p.y); }

// Interleaved RGB floats b * scale + offset.
void pack(const cv::Mat& rgb, float scale, float offset, std::vector<float>& out) {
  out.resize(rgb.total() * 3);
  float* o = out.data();
  for (int y = 0; y < rgb.rows; ++y) {
    const uint8_t* p = rgb.ptr<uint8_t>(y);
    for (int i = 0; i < rgb.cols * 3; ++i) *o++ = float(p[i]) * scale + offset;
  }
}

const float* outputFloats(Ort::Value& value, size_t needed) {
  auto info = value.GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || info.GetElementCount() < needed)
    throw std::runtime_error("model output is smaller than expected");
  return value.GetTensorData<float>();
}

// Crop pixels from image pixels: the region's square, turned by its angle, onto 256x256.
cv::Matx23d toCrop(const Region& r) {
  const double k = kMeshSize / double(r.side), c = std::cos(double(r.angle)), s = std::sin(double(r.angle));
  return {k * c, k * s, kMeshSize / 2.0 - k * (c * r.centerX + s * r.centerY),
          -k * s, k * c, kMeshSize / 2.0 - k * (-s * r.centerX + c * r.centerY)};
}

}  // namespace

std::map<std::string, std::string> readStoredZip(const std::string& zip) {
  constexpr size_t kEndSize = 22;
  if (zip.size() < kEndSize) throw std::runtime_error("the task file is not a ZIP archive");
  size_t end = std::string::npos;
  for (size_t at = zip.size() - kEndSize + 1; at-- > 0 && zip.size() - at <= kEndSize + 0xFFFF;) {
    if (le(zip, at, 4) == 0x06054b50) {
      end = at;
      break;
    }
  }
  if (end == std::string::npos) throw std::runtime_error("the task file is not a ZIP archive");
  const uint32_t count = le(zip, end + 10, 2);
  size_t at = le(zip, end + 16, 4);
  std::map<std::string, std::string> entries;
  for (uint32_t i = 0; i < count; ++i) {
    if (at > zip.size() || zip.size() - at < 46 || le(zip, at, 4) != 0x02014b50)
      throw std::runtime_error("the task file's directory is damaged");
    const uint32_t method = le(zip, at + 10, 2), packed = le(zip, at + 20, 4), size = le(zip, at + 24, 4);
    const uint32_t nameLength = le(zip, at + 28, 2), extra = le(zip, at + 30, 2), comment = le(zip, at + 32, 2);
    const size_t local = le(zip, at + 42, 4);
    if (zip.size() - at - 46 < nameLength) throw std::runtime_error("the task file's directory is damaged");
    std::string name = zip.substr(at + 46, nameLength);
    if (method != 0 || packed != size) throw std::runtime_error("the task file entry " + name + " is compressed");
    if (local > zip.size() || zip.size() - local < 30 || le(zip, local, 4) != 0x04034b50)
      throw std::runtime_error("the task file entry " + name + " is damaged");
    const size_t data = local + 30 + le(zip, local + 26, 2) + le(zip, local + 28, 2);
    if (data > zip.size() || zip.size() - data < size)
      throw std::runtime_error("the task file entry " + name + " is cut short");
    entries[name] = zip.substr(data, size);
    at += 46 + size_t(nameLength) + extra + comment;
  }
  return entries;
}

float intersectionOverUnion(const cv::Rect2f& a, const cv::Rect2f& b) {
  const float overlap = (a & b).area();
  const float all = a.area() + b.area() - overlap;
  return all > 0 ? overlap / all : 0.0f;
}

std::vector<Detection> suppressOverlaps(std::vector<Detection> detections, float threshold) {
  std::stable_sort(detections.begin(), detections.end(),
                   [](const Detection& a, const Detection& b) { return a.score > b.score; });
  std::vector<Detection> kept;
  std::vector<bool> used(detections.size(), false);
  for (size_t i = 0; i < detections.size(); ++i) {
    if (used[i]) continue;
    const Detection& best = detections[i];
    double weight = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    std::vector<cv::Point2d> keys(best.keyPoints.size());
    for (size_t j = i; j < detections.size(); ++j) {
      if (used[j] || (j != i && intersectionOverUnion(best.box, detections[j].box) <= threshold)) continue;
      used[j] = true;
      const Detection& d = detections[j];
      const double w = d.score;
      weight += w;
      x0 += w * d.box.x;
      y0 += w * d.box.y;
      x1 += w * (d.box.x + d.box.width);
      y1 += w * (d.box.y + d.box.height);
      for (size_t k = 0; k < keys.size(); ++k) keys[k] += w * cv::Point2d(d.keyPoints[k]);
    }
    Detection merged;
    merged.score = best.score;
    merged.box = cv::Rect2f(float(x0 / weight), float(y0 / weight), float((x1 - x0) / weight),
                            float((y1 - y0) / weight));
    for (const auto& k : keys) merged.keyPoints.emplace_back(float(k.x / weight), float(k.y / weight));
    kept.push_back(std::move(merged));
  }
  return kept;
}

Region regionFromDetection(const Detection& d) {
  Region r;
  r.centerX = d.box.x + d.box.width / 2;
  r.centerY = d.box.y + d.box.height / 2;
  r.side = std::max(d.box.width, d.box.height) * 1.5f;
  r.angle = std::atan2(d.keyPoints[1].y - d.keyPoints[0].y, d.keyPoints[1].x - d.keyPoints[0].x);
  return r;
}

namespace {

Ort::SessionOptions sessionOptions() {
  Ort::SessionOptions options;
  options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  options.SetIntraOpNumThreads(1);
  return options;
}

}  // namespace

FacePipeline::FacePipeline(const std::string& detectorModel, const std::string& meshModel,
                           const PipelineSettings& settings)
    : env_(ORT_LOGGING_LEVEL_WARNING, "tesmira-mediapipe"),
      detector_(env_, detectorModel.data(), detectorModel.size(), sessionOptions()),
      mesh_(env_, meshModel.data(), meshModel.size(), sessionOptions()),
      memory_(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)),
      settings_(settings) {
  for (auto [grid, perCell] : {std::pair{16, 2}, std::pair{8, 6}})
    for (int y = 0; y < grid; ++y)
      for (int x = 0; x < grid; ++x)
        for (int k = 0; k < perCell; ++k) anchors_.emplace_back((x + 0.5f) / float(grid), (y + 0.5f) / float(grid));
}

std::vector<Detection> FacePipeline::detect(const cv::Mat& rgb) {
  // The whole image fitted into 128 with its aspect kept, black around it.
  const float scale = std::min(float(kDetectorSize) / float(rgb.cols), float(kDetectorSize) / float(rgb.rows));
  const float padX = (kDetectorSize - rgb.cols * scale) / 2, padY = (kDetectorSize - rgb.rows * scale) / 2;
  const cv::Matx23f fit(scale, 0, padX, 0, scale, padY);
  cv::warpAffine(rgb, letterboxed_, fit, {kDetectorSize, kDetectorSize}, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                 cv::Scalar::all(0));
  pack(letterboxed_, 2.0f / 255.0f, -1.0f, detectorInput_);
  const std::array<int64_t, 4> shape = {1, kDetectorSize, kDetectorSize, 3};
  Ort::Value input =
      Ort::Value::CreateTensor<float>(memory_, detectorInput_.data(), detectorInput_.size(), shape.data(), 4);
  static const char* const kIn[] = {"input"};
  static const char* const kOut[] = {"regressors", "classificators"};
  ++detectorRuns_;
  auto out = detector_.Run(Ort::RunOptions{nullptr}, kIn, &input, 1, kOut, 2);
  const float* reg = outputFloats(out[0], anchors_.size() * 16);
  const float* logits = outputFloats(out[1], anchors_.size());

  std::vector<Detection> found;
  // Letterbox pixels back to image pixels.
  auto back = [&](float x, float y) { return cv::Point2f((x * kDetectorSize - padX) / scale, (y * kDetectorSize - padY) / scale); };
  for (size_t i = 0; i < anchors_.size(); ++i) {
    const float score = sigmoid(logits[i]);
    if (!(score > settings_.minDetectionConfidence)) continue;
    const float* r = reg + i * 16;
    const cv::Point2f a = anchors_[i];
    const float w = r[2] / kDetectorSize, h = r[3] / kDetectorSize;
    const cv::Point2f c(r[0] / kDetectorSize + a.x, r[1] / kDetectorSize + a.y);
    Detection d;
    d.score = score;
    const cv::Point2f topLeft = back(c.x - w / 2, c.y - h / 2), bottomRight = back(c.x + w / 2, c.y + h / 2);
    d.box = cv::Rect2f(topLeft, bottomRight);
    bool usable = finite(topLeft) && finite(bottomRight) && w > 0 && h > 0;
    for (int k = 0; k < 6; ++k) {
      d.keyPoints.push_back(back(r[4 + 2 * k] / kDetectorSize + a.x, r[5 + 2 * k] / kDetectorSize + a.y));
      usable = usable && finite(d.keyPoints.back());
    }
    if (usable) found.push_back(std::move(d));
  }
  return suppressOverlaps(std::move(found), kSuppressionThreshold);
}

FaceMesh FacePipeline::mesh(const cv::Mat& rgb, const Region& region) {
  FaceMesh result;
  const cv::Matx23d forward = toCrop(region);
  cv::Matx23d inverse;
  cv::invertAffineTransform(forward, inverse);
  cv::warpAffine(rgb, crop_, forward, {kMeshSize, kMeshSize}, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  pack(crop_, 1.0f / 255.0f, 0.0f, meshInput_);
  const std::array<int64_t, 4> shape = {1, kMeshSize, kMeshSize, 3};
  Ort::Value input = Ort::Value::CreateTensor<float>(memory_, meshInput_.data(), meshInput_.size(), shape.data(), 4);
  static const char* const kIn[] = {"input_12"};
  static const char* const kOut[] = {"Identity", "Identity_1"};
  auto out = mesh_.Run(Ort::RunOptions{nullptr}, kIn, &input, 1, kOut, 2);
  const float* values = outputFloats(out[0], kMeshPoints * 3);
  result.presence = sigmoid(outputFloats(out[1], 1)[0]);
  const double zScale = double(region.side) / kMeshSize;
  float minX = std::numeric_limits<float>::max(), minY = minX, maxX = std::numeric_limits<float>::lowest(), maxY = maxX;
  bool usable = std::isfinite(result.presence);
  result.points.resize(kMeshPoints);
  for (size_t i = 0; i < kMeshPoints; ++i) {
    const double x = values[3 * i], y = values[3 * i + 1];
    cv::Point3f& p = result.points[i];
    p.x = float(inverse(0, 0) * x + inverse(0, 1) * y + inverse(0, 2));
    p.y = float(inverse(1, 0) * x + inverse(1, 1) * y + inverse(1, 2));
    p.z = float(zScale * values[3 * i + 2]);
    usable = usable && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  result.next.centerX = (minX + maxX) / 2;
  result.next.centerY = (minY + maxY) / 2;
  result.next.side = std::max(maxX - minX, maxY - minY) * 1.5f;
  const cv::Point3f& right = result.points[kRightEyeOuter];
  const cv::Point3f& left = result.points[kLeftEyeOuter];
  result.next.angle = std::atan2(left.y - right.y, left.x - right.x);
  result.usable = usable && result.next.side >= 1.0f;
  return result;
}

std::vector<std::vector<cv::Point3f>> FacePipeline::process(const cv::Mat& rgb) {
  std::vector<Region> regions;
  if (settings_.track) regions = tracked_;
  if (int(regions.size()) < settings_.maxFaces) {
    for (const Detection& d : detect(rgb)) {
      if (int(regions.size()) >= settings_.maxFaces) break;
      const Region r = regionFromDetection(d);
      // A face already tracked is not taken twice.
      const bool known = std::any_of(regions.begin(), regions.end(), [&](const Region& t) {
        return std::hypot(t.centerX - r.centerX, t.centerY - r.centerY) < t.side / 3;
      });
      if (!known && r.side >= 1.0f) regions.push_back(r);
    }
  }
  std::vector<std::vector<cv::Point3f>> faces;
  tracked_.clear();
  for (const Region& region : regions) {
    FaceMesh m = mesh(rgb, region);
    if (!m.usable) continue;
    if (m.presence >= settings_.minPresenceConfidence) faces.push_back(std::move(m.points));
    if (settings_.track && m.presence >= settings_.minTrackingConfidence) tracked_.push_back(m.next);
  }
  return faces;
}

}  // namespace tesmira::mediapipe
