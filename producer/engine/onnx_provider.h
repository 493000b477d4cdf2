#pragma once
// Execution provider choice shared by the retouch models and the ONNX landmarker.
#include <onnxruntime_cxx_api.h>

#include <string>

#include "producer/options.h"

namespace tesmira {

// Appends the requested provider to the options. True when it (or the CPU, when that was
// asked) is in place; otherwise `reason` says why, and `used` reads "cpu".
bool appendExecutionProvider(Ort::SessionOptions& options, InferenceProvider requested, std::string& used,
                             std::string& reason);

}  // namespace tesmira
