#include "producer/engine/onnx_provider.h"

#include <onnxruntime_session_options_config_keys.h>
#include <windows.h>

#include <algorithm>

namespace tesmira {
namespace {

using AppendProvider = OrtStatus*(ORT_API_CALL*)(OrtSessionOptions* options, int deviceId);

bool callAppend(Ort::SessionOptions& options, const char* exportName, std::string& reason) {
  HMODULE runtime = GetModuleHandleW(L"onnxruntime.dll");
  if (!runtime) runtime = LoadLibraryW(L"onnxruntime.dll");
  if (!runtime) {
    reason = "onnxruntime.dll is not loaded";
    return false;
  }
  auto append = reinterpret_cast<AppendProvider>(reinterpret_cast<void*>(GetProcAddress(runtime, exportName)));
  if (!append) {
    reason = std::string("onnxruntime.dll does not export ") + exportName;
    return false;
  }
  if (OrtStatus* status = append(options, 0)) {
    reason = Ort::GetApi().GetErrorMessage(status);
    Ort::GetApi().ReleaseStatus(status);
    return false;
  }
  return true;
}

}  // namespace

Ort::Env& onnxEnvironment() {
  static Ort::Env* const env = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "tesmira-producer");
  return *env;
}

OnnxSessionSetUp makeSessionSetUp(InferenceProvider requested, int cpuThreads) {
  OnnxSessionSetUp setUp;
  setUp.options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  setUp.options.SetIntraOpNumThreads(requested == kProviderCpu ? std::max(cpuThreads, 0) : 1);
  // Workers that spin between runs take the cores the compositor (a CPU rasteriser where there
  // is no GPU) and the application encoding our frames need.
  setUp.options.AddConfigEntry(kOrtSessionOptionsConfigAllowIntraOpSpinning, "0");
  setUp.options.AddConfigEntry(kOrtSessionOptionsConfigAllowInterOpSpinning, "0");
  setUp.fellBack = !appendExecutionProvider(setUp.options, requested, setUp.used, setUp.reason);
  return setUp;
}

bool appendExecutionProvider(Ort::SessionOptions& options, InferenceProvider requested, std::string& used,
                             std::string& reason) {
  if (requested == kProviderCpu) {
    used = "cpu";
    return true;
  }
  options.DisableMemPattern();
  options.SetExecutionMode(ExecutionMode::ORT_SEQUENTIAL);
  std::string why;
  bool ok = false;
  if (requested == kProviderDirectMl) {
    ok = callAppend(options, "OrtSessionOptionsAppendExecutionProvider_DML", why);
  } else if (requested == kProviderCuda) {
    ok = callAppend(options, "OrtSessionOptionsAppendExecutionProvider_CUDA", why);
  }
  if (ok) {
    used = requested == kProviderDirectMl ? "directml" : "cuda";
    return true;
  }
  reason = why;
  used = "cpu";
  return false;
}

}  // namespace tesmira
