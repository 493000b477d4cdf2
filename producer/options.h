#pragma once
// The producer's command line: options, defaults, the repo root and its data files.
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "common/argument_numbers.h"
#include "producer/retouch_settings.h"

namespace tesmira {

enum InferenceProvider : int32_t { kProviderCpu = 0, kProviderDirectMl = 1, kProviderCuda = 2 };

struct ProducerOptions {
  std::filesystem::path repoRoot;
  std::filesystem::path videoPath;
  std::filesystem::path stillPath;
  std::filesystem::path skinModelPath;
  std::filesystem::path teethModelPath;
  std::filesystem::path faceTaskPath;
  std::filesystem::path landmarkDetectorModelPath;
  std::filesystem::path landmarkMeshModelPath;
  std::filesystem::path calibrationPath;
  std::filesystem::path mediaPipeLibPath;
  std::filesystem::path facemaskPath;
  std::filesystem::path skinMaskPath;
  std::filesystem::path teethMaskPath;
  std::filesystem::path lookupPath;
  std::filesystem::path resourcesDir;
  std::string telemetryEndpoint;
  InferenceProvider provider = kProviderCpu;
  std::string cameraBackend = "dshow";
  int32_t maxWidth = 1280;
  int32_t headlessFrames = 0;
  double landmarkLeadMs = -1.0;
  float minTrackingConfidence = 0.5f;
  bool sourceIsCamera = false;
  int32_t cameraIndex = 0;
  bool mirror = false;
  bool mirrorExplicit = false;
  bool loop = true;
  bool split = false;
  bool bypass = false;
  bool stampSeq = false;
  double stillFps = 30.0;
  RetouchSettings retouchDefaults;
};

// --help / -h: the usage went to standard output; the process ends with exit code 0.
struct HelpRequested {};

// Throws std::runtime_error with the user-facing text for every bad option or
// missing file, HelpRequested for --help.
ProducerOptions parseCommandLine(int argc, char** argv);
ProducerOptions parseOptions(const std::vector<std::string>& args);

InferenceProvider parseProvider(const std::string& name);
std::string providerName(InferenceProvider provider);
void printUsage(const std::string& programName, std::ostream& out);

std::filesystem::path findRepoRoot();
bool isRepoRoot(const std::filesystem::path& folder);
std::filesystem::path defaultMediaPipeLibPath(const std::filesystem::path& repoRoot);
std::string readBackendTelemetryUrl(const std::filesystem::path& repoRoot);
std::string toLowerAscii(std::string text);
// A path as UTF-8 text, for messages and log lines.
std::string utf8Path(const std::filesystem::path& path);

}  // namespace tesmira
