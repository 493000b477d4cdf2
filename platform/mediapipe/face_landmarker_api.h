#pragma once
// The flat C interface of our MediaPipe face landmarker library: the functions, records and
// byte layouts that a program loading libmediapipe.dll at run time relies on.
#include <cstddef>
#include <cstdint>

extern "C" {

typedef void* MpImage;
typedef void* MpFaceLandmarker;

enum MpImageFormat : int32_t { kMpImageFormatSrgb = 1 };
enum MpRunningMode : int32_t { kMpRunningModeImage = 1, kMpRunningModeVideo = 2, kMpRunningModeLiveStream = 3 };

struct MpFaceLandmarkerOptions {
  const char* modelAssetBuffer;
  uint64_t modelAssetBufferSize;
  const char* modelAssetPath;
  int32_t delegate;
  int32_t word28;
  int32_t word32;
  int32_t word36;
  const char* displayNamesLocale;
  const void* reserved48;
  int32_t runningMode;
  int32_t numFaces;
  float minFaceDetectionConfidence;
  float minFacePresenceConfidence;
  float minTrackingConfidence;
  uint8_t outputFaceBlendshapes;
  uint8_t outputFacialTransformationMatrixes;
  uint8_t reserved78[2];
  void* resultCallback;
};

struct MpNormalizedLandmark {
  float x;
  float y;
  float z;
  float visibility;
  float presence;
  uint8_t hasVisibility;
  uint8_t hasPresence;
  uint8_t reserved22[2];
  const char* name;
  uint8_t reserved32[8];
};

struct MpLandmarkList {
  MpNormalizedLandmark* landmarks;
  uint32_t count;
};

struct MpFaceLandmarkerResult {
  MpLandmarkList* faces;
  uint32_t faceCount;
  void* blendshapes;
  uint32_t blendshapeCount;
  void* matrices;
  uint32_t matrixCount;
};

static_assert(offsetof(MpFaceLandmarkerOptions, modelAssetBuffer) == 0);
static_assert(offsetof(MpFaceLandmarkerOptions, modelAssetBufferSize) == 8);
static_assert(offsetof(MpFaceLandmarkerOptions, modelAssetPath) == 16);
static_assert(offsetof(MpFaceLandmarkerOptions, delegate) == 24);
static_assert(offsetof(MpFaceLandmarkerOptions, word28) == 28);
static_assert(offsetof(MpFaceLandmarkerOptions, word32) == 32);
static_assert(offsetof(MpFaceLandmarkerOptions, word36) == 36);
static_assert(offsetof(MpFaceLandmarkerOptions, displayNamesLocale) == 40);
static_assert(offsetof(MpFaceLandmarkerOptions, reserved48) == 48);
static_assert(offsetof(MpFaceLandmarkerOptions, runningMode) == 56);
static_assert(offsetof(MpFaceLandmarkerOptions, numFaces) == 60);
static_assert(offsetof(MpFaceLandmarkerOptions, minFaceDetectionConfidence) == 64);
static_assert(offsetof(MpFaceLandmarkerOptions, minFacePresenceConfidence) == 68);
static_assert(offsetof(MpFaceLandmarkerOptions, minTrackingConfidence) == 72);
static_assert(offsetof(MpFaceLandmarkerOptions, outputFaceBlendshapes) == 76);
static_assert(offsetof(MpFaceLandmarkerOptions, outputFacialTransformationMatrixes) == 77);
static_assert(offsetof(MpFaceLandmarkerOptions, reserved78) == 78);
static_assert(offsetof(MpFaceLandmarkerOptions, resultCallback) == 80);
static_assert(sizeof(MpFaceLandmarkerOptions) == 88);
static_assert(offsetof(MpNormalizedLandmark, x) == 0);
static_assert(offsetof(MpNormalizedLandmark, y) == 4);
static_assert(offsetof(MpNormalizedLandmark, z) == 8);
static_assert(offsetof(MpNormalizedLandmark, visibility) == 12);
static_assert(offsetof(MpNormalizedLandmark, presence) == 16);
static_assert(offsetof(MpNormalizedLandmark, hasVisibility) == 20);
static_assert(offsetof(MpNormalizedLandmark, hasPresence) == 21);
static_assert(offsetof(MpNormalizedLandmark, name) == 24);
static_assert(offsetof(MpNormalizedLandmark, reserved32) == 32);
static_assert(sizeof(MpNormalizedLandmark) == 40);
static_assert(offsetof(MpLandmarkList, landmarks) == 0);
static_assert(offsetof(MpLandmarkList, count) == 8);
static_assert(sizeof(MpLandmarkList) == 16);
static_assert(offsetof(MpFaceLandmarkerResult, faces) == 0);
static_assert(offsetof(MpFaceLandmarkerResult, faceCount) == 8);
static_assert(offsetof(MpFaceLandmarkerResult, blendshapes) == 16);
static_assert(offsetof(MpFaceLandmarkerResult, blendshapeCount) == 24);
static_assert(offsetof(MpFaceLandmarkerResult, matrices) == 32);
static_assert(offsetof(MpFaceLandmarkerResult, matrixCount) == 40);
static_assert(sizeof(MpFaceLandmarkerResult) == 48);

#if defined(_WIN32)
#define MP_EXPORT __declspec(dllexport)
#else
#define MP_EXPORT __attribute__((visibility("default")))
#endif

// Every function returns 0 on success; on failure a text in *error that MpErrorFree frees.
MP_EXPORT int32_t MpImageCreateFromUint8Data(int32_t format, int32_t width, int32_t height, const uint8_t* pixels,
                                             int32_t byteCount, MpImage* image, char** error);
MP_EXPORT int32_t MpImageFree(MpImage image);
MP_EXPORT int32_t MpFaceLandmarkerCreate(const MpFaceLandmarkerOptions* options, MpFaceLandmarker* landmarker,
                                         char** error);
MP_EXPORT int32_t MpFaceLandmarkerDetectImage(MpFaceLandmarker landmarker, MpImage image,
                                              const void* processingOptions, MpFaceLandmarkerResult* result,
                                              char** error);
MP_EXPORT int32_t MpFaceLandmarkerDetectForVideo(MpFaceLandmarker landmarker, MpImage image,
                                                 const void* processingOptions, int64_t timestampMs,
                                                 MpFaceLandmarkerResult* result, char** error);
MP_EXPORT int32_t MpFaceLandmarkerCloseResult(MpFaceLandmarkerResult* result);
MP_EXPORT int32_t MpFaceLandmarkerClose(MpFaceLandmarker landmarker, char** error);
MP_EXPORT int32_t MpErrorFree(char* error);

}  // extern "C"
