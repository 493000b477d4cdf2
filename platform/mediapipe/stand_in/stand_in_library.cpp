// Built once whole and once per variant: MP_STAND_IN_WITHOUT_<function> leaves that export
// out; MP_STAND_IN_FAILING_CREATE refuses every landmarker.
#include <cstdlib>
#include <cstring>

#include "platform/mediapipe/stand_in/stand_in_state.h"

namespace {

MpStandInState& state() {
  static MpStandInState s;
  return s;
}

char* makeError(const std::string& text) {
  if (state().nullErrorText) return nullptr;
  ++state().errorsMade;
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

[[maybe_unused]] int landmarkerToken = 0;

struct Image {
  int32_t width;
  int32_t height;
};

int32_t fill(MpFaceLandmarkerResult* result, char** error) {
  MpStandInState& s = state();
  if (s.detectStatus != 0) {
    *error = makeError(s.failureText);
    return s.detectStatus;
  }
  if (s.textOnSuccess) *error = makeError("note");
  if (s.faces.empty()) return 0;
  result->faceCount = uint32_t(s.faces.size());
  result->faces = new MpLandmarkList[s.faces.size()];
  for (size_t f = 0; f < s.faces.size(); ++f) {
    const auto& points = s.faces[f];
    result->faces[f].count = uint32_t(points.size());
    result->faces[f].landmarks = points.empty() ? nullptr : new MpNormalizedLandmark[points.size()]{};
    for (size_t i = 0; i < points.size(); ++i) {
      result->faces[f].landmarks[i].x = points[i][0];
      result->faces[f].landmarks[i].y = points[i][1];
      result->faces[f].landmarks[i].z = points[i][2];
    }
  }
  return 0;
}

}  // namespace

extern "C" {

MpStandInState* MpStandInStateOf() { return &state(); }

#ifndef MP_STAND_IN_WITHOUT_MpImageCreateFromUint8Data
int32_t MpImageCreateFromUint8Data(int32_t format, int32_t width, int32_t height, const uint8_t* pixels,
                                   int32_t byteCount, MpImage* image, char** error) {
  MpStandInState& s = state();
  s.format = format;
  s.width = width;
  s.height = height;
  s.byteCount = byteCount;
  if (pixels && byteCount >= 3) std::memcpy(s.firstPixel.data(), pixels, 3);
  if (s.imageStatus != 0) {
    *error = makeError(s.failureText);
    return s.imageStatus;
  }
  ++s.imagesCreated;
  *image = new Image{width, height};
  return 0;
}
#endif

#ifndef MP_STAND_IN_WITHOUT_MpImageFree
int32_t MpImageFree(MpImage image) {
  ++state().imagesFreed;
  delete static_cast<Image*>(image);
  return 0;
}
#endif

#ifndef MP_STAND_IN_WITHOUT_MpFaceLandmarkerCreate
int32_t MpFaceLandmarkerCreate(const MpFaceLandmarkerOptions* options, MpFaceLandmarker* landmarker, char** error) {
  MpStandInState& s = state();
  s.options = *options;
  s.taskPath = options->modelAssetPath ? options->modelAssetPath : "";
  s.optionsText40 = options->displayNamesLocale ? options->displayNamesLocale : "";
#ifdef MP_STAND_IN_FAILING_CREATE
  *error = makeError("stand-in refuses the task");
  return 3;
#else
  ++s.creates;
  *landmarker = &landmarkerToken;
  (void)error;
  return 0;
#endif
}
#endif

#ifndef MP_STAND_IN_WITHOUT_MpFaceLandmarkerDetectImage
int32_t MpFaceLandmarkerDetectImage(MpFaceLandmarker, MpImage, const void*, MpFaceLandmarkerResult* result,
                                    char** error) {
  ++state().imageCalls;
  return fill(result, error);
}
#endif

#ifndef MP_STAND_IN_WITHOUT_MpFaceLandmarkerDetectForVideo
int32_t MpFaceLandmarkerDetectForVideo(MpFaceLandmarker, MpImage, const void*, int64_t timestampMs,
                                       MpFaceLandmarkerResult* result, char** error) {
  ++state().videoCalls;
  state().timestamps.push_back(timestampMs);
  return fill(result, error);
}
#endif

#ifndef MP_STAND_IN_WITHOUT_MpFaceLandmarkerCloseResult
int32_t MpFaceLandmarkerCloseResult(MpFaceLandmarkerResult* result) {
  ++state().resultsClosed;
  for (uint32_t f = 0; f < result->faceCount && result->faces; ++f) delete[] result->faces[f].landmarks;
  delete[] result->faces;
  result->faces = nullptr;
  result->faceCount = 0;
  return 0;
}
#endif

#ifndef MP_STAND_IN_WITHOUT_MpFaceLandmarkerClose
int32_t MpFaceLandmarkerClose(MpFaceLandmarker, char**) {
  ++state().closes;
  return 0;
}
#endif

#ifndef MP_STAND_IN_WITHOUT_MpErrorFree
int32_t MpErrorFree(char* error) {
  ++state().errorsFreed;
  std::free(error);
  return 0;
}
#endif

}  // extern "C"
