#pragma once
// The producer's one ONNX Runtime set-up: the process-wide environment, the session options
// every model gets, and the execution provider choice behind them.
#include <onnxruntime_cxx_api.h>

#include <string>

#include "producer/options.h"

namespace tesmira {

// The runtime's environment, made once for the whole process and never destroyed: its
// logging and thread pools are process-wide, and a session may outlive any owner of ours.
Ort::Env& onnxEnvironment();

// Options of one model's sessions and the provider they ended up on.
struct OnnxSessionSetUp {
  Ort::SessionOptions options;
  std::string used = "cpu";
  // True when the requested provider is not in place; `reason` says why.
  bool fellBack = false;
  std::string reason;
};

// Full graph optimisation; cpuThreads intra-op threads on the CPU provider (0 for the
// runtime's default), one when a GPU provider does the work; then the requested provider,
// or the CPU with the reason when it is unavailable.
OnnxSessionSetUp makeSessionSetUp(InferenceProvider requested, int cpuThreads = 0);

// Appends the requested provider to the options. True when it (or the CPU, when that was
// asked) is in place; otherwise `reason` says why, and `used` reads "cpu".
bool appendExecutionProvider(Ort::SessionOptions& options, InferenceProvider requested, std::string& used,
                             std::string& reason);

}  // namespace tesmira
