// tesmira_landmarks --source mediapipe|onnx --input <video or image> --output <file.avi|file.png>
//                   [--data <data folder>] [--lead-ms n]
// Runs a landmark source over every frame, draws the points and prints the figures.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "producer/engine/mediapipe_landmarker.h"
#include "producer/engine/onnx_landmarker.h"
#include "producer/landmark_lead.h"

namespace fs = std::filesystem;
using namespace tesmira;

namespace {

int usage() {
  std::cerr << "usage: tesmira_landmarks --source mediapipe|onnx --input <video or image> --output <file.avi|file.png>"
               " [--data <data folder>] [--lead-ms n]\n";
  return 2;
}

void draw(cv::Mat& frame, const std::vector<LandmarkPoint>& points, const cv::Scalar& colour) {
  for (const LandmarkPoint& p : points) cv::circle(frame, {int(p.x), int(p.y)}, 1, colour, cv::FILLED);
}

}  // namespace

int main(int argc, char** argv) {
  std::string source, input, output;
  fs::path data = ".cache/data";
  double leadMs = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--source") source = value;
    else if (key == "--input") input = value;
    else if (key == "--output") output = value;
    else if (key == "--data") data = value;
    else if (key == "--lead-ms") leadMs = std::stod(value);
    else return usage();
  }
  if ((source != "mediapipe" && source != "onnx") || input.empty() || output.empty()) return usage();
  try {
    std::unique_ptr<ILandmarkSource> landmarks;
    OnnxLandmarker* onnx = nullptr;
    if (source == "onnx") {
      auto made = std::make_unique<OnnxLandmarker>(data / "models/mp_landmarker/onnx/face_detector.onnx",
                                                   data / "models/mp_landmarker/onnx/face_landmarks_detector.onnx",
                                                   kProviderCpu, 0.5f, 0.5f);
      onnx = made.get();
      landmarks = std::move(made);
    } else {
      landmarks = std::make_unique<MediaPipeLandmarker>(data / "libmediapipe.dll", data / "models/face_landmarker.task",
                                                        0.5f, 0.5f, 0.5f);
    }
    cv::VideoCapture video;
    cv::Mat still = cv::imread(input);
    double fps = 30;
    if (still.empty()) {
      if (!video.open(input)) throw std::runtime_error("cannot read " + input);
      fps = video.get(cv::CAP_PROP_FPS) > 0 ? video.get(cv::CAP_PROP_FPS) : 30;
    }
    cv::VideoWriter writer;
    LandmarkLead lead;
    long frames = 0, faces = 0;
    double totalMs = 0;
    for (cv::Mat frame; still.empty() ? video.read(frame) : (frames == 0 && !(frame = still).empty());) {
      const auto start = std::chrono::steady_clock::now();
      const LandmarkResult r = landmarks->detect(frame, int64_t(double(frames) * 1000 / fps) + 1);
      totalMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      cv::Mat overlay = frame.clone();
      if (r.found) {
        ++faces;
        draw(overlay, r.points, {0, 255, 0});
        if (leadMs > 0) {
          draw(overlay, lead.predict(r, uint64_t(double(frames) * 1000 / fps), frame.cols, frame.rows, leadMs),
               {0, 0, 255});
        }
      } else {
        lead.reset();
      }
      if (still.empty()) {
        if (!writer.isOpened() &&
            !writer.open(output, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, overlay.size()))
          throw std::runtime_error("cannot write " + output);
        writer.write(overlay);
      } else if (!cv::imwrite(output, overlay)) {
        throw std::runtime_error("cannot write " + output);
      }
      ++frames;
    }
    std::printf("source=%s frames=%ld face=%ld mean_ms=%.3f", source.c_str(), frames, faces,
                frames ? totalMs / double(frames) : 0.0);
    if (onnx) std::printf(" detector_runs=%llu mesh_runs=%llu", (unsigned long long)onnx->detectorRuns(),
                          (unsigned long long)onnx->meshRuns());
    std::printf("\n");
  } catch (const std::exception& e) {
    std::cerr << "tesmira_landmarks: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
