#include "producer/engine/mediapipe_landmarker.h"

#include <windows.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "common/environment.h"
#include "producer/options.h"

namespace tesmira {
namespace {

// The library's records, as its header lays them out.
struct MpOptions {
  const char* modelBuffer;
  uint64_t modelBufferSize;
  const char* modelPath;
  int32_t word24;
  int32_t word28;
  int32_t word32;
  int32_t word36;
  const char* text40;
  const void* pointer48;
  int32_t runningMode;
  int32_t numFaces;
  float minDetectionConfidence;
  float minPresenceConfidence;
  float minTrackingConfidence;
  uint8_t blendshapes;
  uint8_t matrices;
  uint8_t reserved78[2];
  void* resultCallback;
};
static_assert(offsetof(MpOptions, modelBuffer) == 0);
static_assert(offsetof(MpOptions, modelBufferSize) == 8);
static_assert(offsetof(MpOptions, modelPath) == 16);
static_assert(offsetof(MpOptions, word24) == 24);
static_assert(offsetof(MpOptions, word28) == 28);
static_assert(offsetof(MpOptions, word32) == 32);
static_assert(offsetof(MpOptions, word36) == 36);
static_assert(offsetof(MpOptions, text40) == 40);
static_assert(offsetof(MpOptions, pointer48) == 48);
static_assert(offsetof(MpOptions, runningMode) == 56);
static_assert(offsetof(MpOptions, numFaces) == 60);
static_assert(offsetof(MpOptions, minDetectionConfidence) == 64);
static_assert(offsetof(MpOptions, minPresenceConfidence) == 68);
static_assert(offsetof(MpOptions, minTrackingConfidence) == 72);
static_assert(offsetof(MpOptions, blendshapes) == 76);
static_assert(offsetof(MpOptions, matrices) == 77);
static_assert(offsetof(MpOptions, reserved78) == 78);
static_assert(offsetof(MpOptions, resultCallback) == 80);
static_assert(sizeof(MpOptions) == 88);

struct MpLandmark {
  float x;
  float y;
  float z;
  uint8_t rest[28];
};
static_assert(offsetof(MpLandmark, x) == 0);
static_assert(offsetof(MpLandmark, y) == 4);
static_assert(offsetof(MpLandmark, z) == 8);
static_assert(sizeof(MpLandmark) == 40);

struct MpFace {
  MpLandmark* landmarks;
  uint32_t count;
};
static_assert(offsetof(MpFace, landmarks) == 0);
static_assert(offsetof(MpFace, count) == 8);
static_assert(sizeof(MpFace) == 16);

struct MpResult {
  MpFace* faces;
  uint32_t faceCount;
  uint8_t rest[36];
};
static_assert(offsetof(MpResult, faces) == 0);
static_assert(offsetof(MpResult, faceCount) == 8);
static_assert(sizeof(MpResult) == 48);

constexpr int32_t kImageFormatSrgb = 1;
constexpr int32_t kRunningModeImage = 1;
constexpr int32_t kRunningModeVideo = 2;
constexpr int kMaxLibrarySide = 640;

using ImageCreateFn = int32_t (*)(int32_t, int32_t, int32_t, const uint8_t*, int32_t, void**, char**);
using ImageFreeFn = int32_t (*)(void*);
using CreateFn = int32_t (*)(const MpOptions*, void**, char**);
using DetectForVideoFn = int32_t (*)(void*, void*, const void*, int64_t, MpResult*, char**);
using DetectImageFn = int32_t (*)(void*, void*, const void*, MpResult*, char**);
using CloseResultFn = int32_t (*)(MpResult*);
using CloseFn = int32_t (*)(void*, char**);
using ErrorFreeFn = int32_t (*)(char*);

// Backslashes turned into slashes, in the code page of the file functions.
std::string genericNarrow(const std::filesystem::path& path) {
  std::wstring wide = path.wstring();
  std::replace(wide.begin(), wide.end(), L'\\', L'/');
  return std::filesystem::path(wide).string();
}

}  // namespace

struct MediaPipeLandmarker::Impl {
  std::string taskPath;
  HMODULE module = nullptr;
  void* landmarker = nullptr;
  ImageCreateFn imageCreate = nullptr;
  ImageFreeFn imageFree = nullptr;
  CreateFn create = nullptr;
  DetectForVideoFn detectForVideo = nullptr;
  DetectImageFn detectImage = nullptr;
  CloseResultFn closeResult = nullptr;
  CloseFn close = nullptr;
  ErrorFreeFn errorFree = nullptr;
  bool imageMode = false;

  cv::Mat scaled;
  cv::Mat rgb;

  ~Impl() {
    if (landmarker) {
      char* error = nullptr;
      close(landmarker, &error);
      takeError(error);
      landmarker = nullptr;
    }
    if (module) FreeLibrary(module);
  }

  // The text, freed in the library; empty when there is none.
  std::string takeError(char* error) const {
    if (!error) return {};
    std::string text(error);
    errorFree(error);
    return text;
  }

  template <typename Fn>
  void resolve(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!fn) throw std::runtime_error(std::string("MediaPipe DLL is missing export: ") + name);
  }
};

MediaPipeLandmarker::MediaPipeLandmarker(const std::filesystem::path& libraryPath,
                                         const std::filesystem::path& faceTaskPath, float minDetectionConfidence,
                                         float minPresenceConfidence, float minTrackingConfidence) {
  auto impl = std::make_unique<Impl>();
  impl->taskPath = genericNarrow(faceTaskPath);
  impl->module = LoadLibraryW(libraryPath.wstring().c_str());
  if (!impl->module) throw std::runtime_error("Could not load MediaPipe DLL: " + utf8Path(libraryPath));
  // Error texts can be freed from here on: MpErrorFree is resolved before any call.
  impl->resolve(impl->imageCreate, "MpImageCreateFromUint8Data");
  impl->resolve(impl->imageFree, "MpImageFree");
  impl->resolve(impl->create, "MpFaceLandmarkerCreate");
  impl->resolve(impl->detectForVideo, "MpFaceLandmarkerDetectForVideo");
  impl->resolve(impl->closeResult, "MpFaceLandmarkerCloseResult");
  impl->resolve(impl->close, "MpFaceLandmarkerClose");
  impl->resolve(impl->errorFree, "MpErrorFree");
  impl->imageMode = environmentBeginsWith(L"TESMIRA_MP_IMAGE_MODE", L'1');
  if (impl->imageMode) impl->resolve(impl->detectImage, "MpFaceLandmarkerDetectImage");

  MpOptions options{};
  options.modelPath = impl->taskPath.c_str();
  options.word28 = 3;
  options.word32 = 3;
  options.text40 = "cpp";
  options.runningMode = impl->imageMode ? kRunningModeImage : kRunningModeVideo;
  options.numFaces = 1;
  options.minDetectionConfidence = minDetectionConfidence;
  options.minPresenceConfidence = minPresenceConfidence;
  options.minTrackingConfidence = minTrackingConfidence;
  char* error = nullptr;
  void* landmarker = nullptr;
  const int32_t status = impl->create(&options, &landmarker, &error);
  const std::string text = impl->takeError(error);
  if (status != 0 || !landmarker) {
    // A handle handed out with a failure is not ours to keep, nor to close.
    throw std::runtime_error("MpFaceLandmarkerCreate failed: " + text);
  }
  impl->landmarker = landmarker;
  std::fprintf(stderr, "MediaPipeLandmarker running_mode=%s\n", impl->imageMode ? "IMAGE" : "VIDEO");
  impl_ = std::move(impl);
}

MediaPipeLandmarker::~MediaPipeLandmarker() = default;

LandmarkResult MediaPipeLandmarker::detect(const cv::Mat& frame, int64_t timestampMs) {
  LandmarkResult result;
  if (frame.empty()) return result;
  Impl& m = *impl_;
  const cv::Mat* source = &frame;
  const int longer = std::max(frame.cols, frame.rows);
  if (longer > kMaxLibrarySide) {
    const double factor = double(kMaxLibrarySide) / double(longer);
    cv::resize(frame, m.scaled, cv::Size(), factor, factor, cv::INTER_AREA);
    source = &m.scaled;
  }
  cv::cvtColor(*source, m.rgb, cv::COLOR_BGR2RGB);
  if (!m.rgb.isContinuous()) m.rgb = m.rgb.clone();

  char* error = nullptr;
  void* image = nullptr;
  int32_t status = m.imageCreate(kImageFormatSrgb, m.rgb.cols, m.rgb.rows, m.rgb.data, m.rgb.cols * m.rgb.rows * 3,
                                 &image, &error);
  std::string text = m.takeError(error);
  if (status != 0 || !image) {
    if (image) m.imageFree(image);
    throw std::runtime_error("MpImageCreateFromUint8Data failed: " + text);
  }

  MpResult record{};
  error = nullptr;
  const char* called = m.imageMode ? "MpFaceLandmarkerDetectImage" : "MpFaceLandmarkerDetectForVideo";
  status = m.imageMode ? m.detectImage(m.landmarker, image, nullptr, &record, &error)
                       : m.detectForVideo(m.landmarker, image, nullptr, timestampMs, &record, &error);
  m.imageFree(image);
  text = m.takeError(error);
  if (status != 0) {
    // Whatever the library put in the record is still its to free.
    m.closeResult(&record);
    throw std::runtime_error(std::string(called) + " failed: " + text);
  }
  if (record.faceCount > 0 && record.faces) {
    const MpFace& face = record.faces[0];
    const float width = float(frame.cols), height = float(frame.rows);
    result.found = true;
    if (face.landmarks) {
      result.points.resize(face.count);
      for (uint32_t i = 0; i < face.count && result.found; ++i) {
        const MpLandmark& l = face.landmarks[i];
        // A point that is not finite would reach the engine's integer conversions.
        result.found = std::isfinite(l.x) && std::isfinite(l.y) && std::isfinite(l.z);
        result.points[i] = {l.x * width, l.y * height, l.z * width};
      }
      if (!result.found) result.points.clear();
    }
  }
  m.closeResult(&record);
  return result;
}

}  // namespace tesmira
