// The library's flat C functions over the face pipeline. No exception leaves a function:
// each failure is a non-zero status and a text for MpErrorFree.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>

#include "mediapipe/face_landmarker_api.h"
#include "mediapipe/face_pipeline.h"

namespace {

using tesmira::mediapipe::FacePipeline;
using tesmira::mediapipe::PipelineSettings;

constexpr int32_t kInvalidArgument = 3;
constexpr int32_t kFailedPrecondition = 9;
constexpr int32_t kInternal = 13;

struct Failure : std::runtime_error {
  Failure(int32_t status, const std::string& text) : std::runtime_error(text), status(status) {}
  int32_t status;
};

struct Image {
  int32_t width;
  int32_t height;
  const uint8_t* pixels;
};

struct Landmarker {
  std::unique_ptr<FacePipeline> pipeline;
  int32_t mode = kMpRunningModeImage;
  bool anyTimestamp = false;
  int64_t lastTimestamp = 0;
};

int32_t fail(char** error, int32_t status, const std::string& text) {
  if (error) {
    *error = static_cast<char*>(std::malloc(text.size() + 1));
    if (*error) std::memcpy(*error, text.c_str(), text.size() + 1);
  }
  return status;
}

template <typename Body>
int32_t guarded(char** error, Body body) {
  if (error) *error = nullptr;
  try {
    body();
    return 0;
  } catch (const Failure& f) {
    return fail(error, f.status, f.what());
  } catch (const std::exception& e) {
    return fail(error, kInternal, e.what());
  } catch (...) {
    return fail(error, kInternal, "unknown failure");
  }
}

std::string readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure(kInvalidArgument, std::string("Could not read the face landmarker task: ") + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool confidence(float v) { return std::isfinite(v) && v >= 0.0f && v <= 1.0f; }

void detect(Landmarker* landmarker, MpImage image, MpFaceLandmarkerResult* result, int32_t mode,
            const int64_t* timestamp) {
  if (!landmarker || !image || !result) throw Failure(kInvalidArgument, "A landmarker, an image and a result are needed.");
  if (landmarker->mode != mode)
    throw Failure(kFailedPrecondition, mode == kMpRunningModeVideo ? "Task is not initialized with the video mode."
                                                                   : "Task is not initialized with the image mode.");
  if (timestamp) {
    if (landmarker->anyTimestamp && *timestamp <= landmarker->lastTimestamp)
      throw Failure(kInvalidArgument, "Input timestamp must be monotonically increasing.");
    landmarker->anyTimestamp = true;
    landmarker->lastTimestamp = *timestamp;
  }
  *result = MpFaceLandmarkerResult{};
  const Image* source = static_cast<const Image*>(image);
  const cv::Mat rgb(source->height, source->width, CV_8UC3, const_cast<uint8_t*>(source->pixels));
  const auto faces = landmarker->pipeline->process(rgb);
  if (faces.empty()) return;
  auto lists = std::make_unique<MpLandmarkList[]>(faces.size());
  const float width = float(source->width), height = float(source->height);
  for (size_t f = 0; f < faces.size(); ++f) {
    lists[f].landmarks = new MpNormalizedLandmark[faces[f].size()]{};
    lists[f].count = uint32_t(faces[f].size());
    for (size_t i = 0; i < faces[f].size(); ++i) {
      lists[f].landmarks[i].x = faces[f][i].x / width;
      lists[f].landmarks[i].y = faces[f][i].y / height;
      lists[f].landmarks[i].z = faces[f][i].z / width;
    }
  }
  result->faces = lists.release();
  result->faceCount = uint32_t(faces.size());
}

}  // namespace

extern "C" {

int32_t MpImageCreateFromUint8Data(int32_t format, int32_t width, int32_t height, const uint8_t* pixels,
                                   int32_t byteCount, MpImage* image, char** error) {
  return guarded(error, [&] {
    if (!image) throw Failure(kInvalidArgument, "No place for the image.");
    *image = nullptr;
    if (format != kMpImageFormatSrgb) throw Failure(kInvalidArgument, "Only SRGB images (format 1) are supported.");
    if (width <= 0 || height <= 0 || !pixels || int64_t(byteCount) != int64_t(width) * height * 3)
      throw Failure(kInvalidArgument, "The image size does not match its bytes.");
    // The bytes stay the caller's until MpImageFree.
    *image = new Image{width, height, pixels};
  });
}

int32_t MpImageFree(MpImage image) {
  delete static_cast<Image*>(image);
  return 0;
}

int32_t MpFaceLandmarkerCreate(const MpFaceLandmarkerOptions* options, MpFaceLandmarker* landmarker, char** error) {
  return guarded(error, [&] {
    if (!landmarker) throw Failure(kInvalidArgument, "No place for the landmarker.");
    *landmarker = nullptr;
    if (!options) throw Failure(kInvalidArgument, "No options.");
    if (options->runningMode == kMpRunningModeLiveStream || options->resultCallback)
      throw Failure(kInvalidArgument, "The live stream mode and result callbacks are not supported.");
    if (options->runningMode != kMpRunningModeImage && options->runningMode != kMpRunningModeVideo)
      throw Failure(kInvalidArgument, "Unknown running mode " + std::to_string(options->runningMode) + ".");
    if (options->numFaces < 1) throw Failure(kInvalidArgument, "The number of faces must be at least 1.");
    if (!confidence(options->minFaceDetectionConfidence) || !confidence(options->minFacePresenceConfidence) ||
        !confidence(options->minTrackingConfidence))
      throw Failure(kInvalidArgument, "Confidences must lie in 0..1.");
    std::string task;
    if (options->modelAssetBuffer) {
      task.assign(options->modelAssetBuffer, size_t(options->modelAssetBufferSize));
    } else if (options->modelAssetPath) {
      task = readFile(options->modelAssetPath);
    } else {
      throw Failure(kInvalidArgument, "No face landmarker task given.");
    }
    std::map<std::string, std::string> entries;
    try {
      entries = tesmira::mediapipe::readStoredZip(task);
    } catch (const std::exception& e) {
      throw Failure(kInvalidArgument, e.what());
    }
    const auto detector = entries.find("face_detector.onnx"), mesh = entries.find("face_landmarks_detector.onnx");
    if (detector == entries.end() || mesh == entries.end())
      throw Failure(kInvalidArgument, "The task holds no face_detector.onnx and face_landmarks_detector.onnx.");
    PipelineSettings settings;
    settings.minDetectionConfidence = options->minFaceDetectionConfidence;
    settings.minPresenceConfidence = options->minFacePresenceConfidence;
    settings.minTrackingConfidence = options->minTrackingConfidence;
    settings.maxFaces = options->numFaces;
    settings.track = options->runningMode == kMpRunningModeVideo;
    auto made = std::make_unique<Landmarker>();
    made->pipeline = std::make_unique<FacePipeline>(detector->second, mesh->second, settings);
    made->mode = options->runningMode;
    *landmarker = made.release();
  });
}

int32_t MpFaceLandmarkerDetectImage(MpFaceLandmarker landmarker, MpImage image, const void*,
                                    MpFaceLandmarkerResult* result, char** error) {
  return guarded(error, [&] { detect(static_cast<Landmarker*>(landmarker), image, result, kMpRunningModeImage, nullptr); });
}

int32_t MpFaceLandmarkerDetectForVideo(MpFaceLandmarker landmarker, MpImage image, const void*, int64_t timestampMs,
                                       MpFaceLandmarkerResult* result, char** error) {
  return guarded(error,
                 [&] { detect(static_cast<Landmarker*>(landmarker), image, result, kMpRunningModeVideo, &timestampMs); });
}

int32_t MpFaceLandmarkerCloseResult(MpFaceLandmarkerResult* result) {
  if (!result) return 0;
  for (uint32_t f = 0; result->faces && f < result->faceCount; ++f) delete[] result->faces[f].landmarks;
  delete[] result->faces;
  *result = MpFaceLandmarkerResult{};
  return 0;
}

int32_t MpFaceLandmarkerClose(MpFaceLandmarker landmarker, char** error) {
  if (error) *error = nullptr;
  delete static_cast<Landmarker*>(landmarker);
  return 0;
}

int32_t MpErrorFree(char* error) {
  std::free(error);
  return 0;
}

}  // extern "C"
