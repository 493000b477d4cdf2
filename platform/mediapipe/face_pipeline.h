#pragma once
// The face landmarker's pipeline on ONNX Runtime: the short-range detector over the whole
// image letterboxed into 128, weighted suppression of overlapping boxes, the mesh at 256 on
// the region turned by the eyes, and tracking from the previous landmarks.
#include <onnxruntime_cxx_api.h>
#include <opencv2/core.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tesmira::mediapipe {

// The entries of a ZIP archive whose entries are stored (not compressed); throws
// std::runtime_error for anything else.
std::map<std::string, std::string> readStoredZip(const std::string& archive);

struct Region {
  float centerX = 0;  // pixels
  float centerY = 0;
  float side = 0;
  float angle = 0;  // radians
};

struct Detection {
  cv::Rect2f box;  // pixels
  std::vector<cv::Point2f> keyPoints;  // pixels, six
  float score = 0;
};

struct FaceMesh {
  std::vector<cv::Point3f> points;  // pixels; z in the scale of x
  float presence = 0;
  Region next;  // the region the points span, for the next frame
  bool usable = false;  // finite and not collapsed
};

struct PipelineSettings {
  float minDetectionConfidence = 0.5f;
  float minPresenceConfidence = 0.5f;
  float minTrackingConfidence = 0.5f;
  int maxFaces = 1;
  bool track = false;  // VIDEO: follow faces from frame to frame
};

class FacePipeline {
 public:
  // The two models' bytes; throws Ort::Exception.
  FacePipeline(const std::string& detectorModel, const std::string& meshModel, const PipelineSettings& settings);

  // Faces found in an RGB image (continuous rows), each with 478 points in pixels.
  std::vector<std::vector<cv::Point3f>> process(const cv::Mat& rgb);

  // Exposed for the tests.
  std::vector<Detection> detect(const cv::Mat& rgb);
  FaceMesh mesh(const cv::Mat& rgb, const Region& region);
  uint64_t detectorRuns() const { return detectorRuns_; }

 private:
  Ort::Env env_;
  Ort::Session detector_;
  Ort::Session mesh_;
  Ort::MemoryInfo memory_;
  PipelineSettings settings_;
  std::vector<cv::Point2f> anchors_;
  std::vector<Region> tracked_;
  std::vector<float> detectorInput_;
  std::vector<float> meshInput_;
  cv::Mat letterboxed_;
  cv::Mat crop_;
  uint64_t detectorRuns_ = 0;
};

Region regionFromDetection(const Detection& detection);
float intersectionOverUnion(const cv::Rect2f& a, const cv::Rect2f& b);
// Weighted suppression: each group of boxes overlapping the best remaining one by more than
// the threshold becomes their score-weighted mean, with the best one's score.
std::vector<Detection> suppressOverlaps(std::vector<Detection> detections, float threshold);

}  // namespace tesmira::mediapipe
