#pragma once
// A scriptable stand-in for the face landmarker library, for tests of the programs that load
// it: what it answers and what it was handed. Each built variant keeps its own state.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/mediapipe/face_landmarker_api.h"

struct MpStandInState {
  // What the next calls answer. Faces hold normalised x, y, z per landmark.
  std::vector<std::vector<std::array<float, 3>>> faces;
  int32_t imageStatus = 0;
  int32_t detectStatus = 0;
  bool nullErrorText = false;  // failures hand out no text
  std::string failureText = "stand-in failure";
  bool textOnSuccess = false;  // a text also with status 0

  // What it was handed.
  MpFaceLandmarkerOptions options{};
  std::string taskPath;
  std::string optionsText40;
  int creates = 0;
  int closes = 0;
  int imagesCreated = 0;
  int imagesFreed = 0;
  int videoCalls = 0;
  int imageCalls = 0;
  int resultsClosed = 0;
  int errorsMade = 0;
  int errorsFreed = 0;
  int32_t format = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t byteCount = 0;
  std::array<uint8_t, 3> firstPixel{};
  std::vector<int64_t> timestamps;
};

// Exported by every variant.
extern "C" MP_EXPORT MpStandInState* MpStandInStateOf();
