#include "producer/options.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <system_error>

#include "common/bounded_json.h"

namespace tesmira {
namespace fs = std::filesystem;

namespace {

const std::string& nextArgument(size_t& index, const std::vector<std::string>& args, const std::string& option) {
  if (index + 1 < args.size()) return args[++index];
  throw std::runtime_error(option + " requires a value.");
}

std::string rtrim(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

std::string readTelemetryEndpointFile(const fs::path& repoRoot) {
  std::ifstream in(repoRoot / "telemetry-endpoint.txt", std::ios::binary);
  if (!in) return {};
  std::string line;
  std::getline(in, line);
  return rtrim(line);
}

void requireFile(fs::path& path, const std::string& role) {
  path = fs::absolute(path);
  if (!fs::exists(path)) throw std::runtime_error(role + " not found: " + utf8Path(path));
}

}  // namespace

std::string utf8Path(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string toLowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

InferenceProvider parseProvider(const std::string& name) {
  std::string lower = toLowerAscii(name);
  if (lower == "cpu") return kProviderCpu;
  if (lower == "directml" || lower == "dml" || lower == "gpu") return kProviderDirectMl;
  if (lower == "cuda") return kProviderCuda;
  throw std::runtime_error("Unknown provider '" + name + "'. Use cpu, directml, or cuda.");
}

std::string providerName(InferenceProvider provider) {
  switch (provider) {
    case kProviderDirectMl:
      return "directml";
    case kProviderCuda:
      return "cuda";
    default:
      return "cpu";
  }
}

void printUsage(const std::string& programName, std::ostream& out) {
  out << "Usage: " << programName << " [--video path | --camera] [--provider cpu|directml|cuda]\n"
      << "       [--repo-root path] [--max-width px] [--mirror] [--no-loop] [--bypass]\n"
      << "       [--split] [--headless-frames n] [--camera-index n]\n"
      << "       [--still image.png] [--stamp-seq] [--still-fps n]\n"
      << "       [--camera-backend dshow|msmf|auto] [--landmark-lead-ms n]\n"
      << "       [--min-tracking-confidence n] [--mediapipe-lib path] [--face-task path]\n"
      << "       [--landmark-detector-model path] [--landmark-mesh-model path]\n"
      << "       [--calibration path] [--telemetry-endpoint loopback-url]\n";
  out.flush();
}

bool isRepoRoot(const fs::path& folder) {
  std::error_code ec;
  return fs::exists(folder / "models" / "retouch.onnx", ec) &&
         fs::exists(folder / "app" / "base" / "Sources" / "Prismwell", ec);
}

fs::path findRepoRoot() {
  fs::path folder = fs::current_path();
  for (;;) {
    if (isRepoRoot(folder)) return folder;
    fs::path parent = folder.parent_path();
    if (parent == folder || parent.empty()) throw std::runtime_error("Could not find repo root. Pass --repo-root <path>.");
    folder = parent;
  }
}

fs::path defaultMediaPipeLibPath(const fs::path& repoRoot) {
  fs::path beside = repoRoot / "libmediapipe.dll";
  std::error_code ec;
  bool found = fs::exists(beside, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) throw fs::filesystem_error("exists", beside, ec);
  if (found) return beside;
  return repoRoot / ".venv_landmark_bench" / "Lib" / "site-packages" / "mediapipe" / "tasks" / "c" / "libmediapipe.dll";
}

std::string readBackendTelemetryUrl(const fs::path& repoRoot) {
  std::string url;
  try {
    const auto document = readBoundedJsonFile(repoRoot / "local-backend.json");
    if (!document.is_object()) return {};
    auto it = document.find("backendBaseUrl");
    if (it == document.end()) return {};
    url = it->get<std::string>();
  } catch (...) {
    return {};
  }
  while (!url.empty() && (url.back() == '/' || std::isspace(static_cast<unsigned char>(url.back())))) url.pop_back();
  if (url.empty()) return {};
  return url + "/api/telemetryBatch";
}

ProducerOptions parseOptions(const std::vector<std::string>& args) {
  ProducerOptions o;
  fs::path givenRepoRoot;
  bool repoRootGiven = false;

  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string& { return nextArgument(i, args, arg); };
    if (arg == "--help" || arg == "-h") {
      printUsage(args.empty() ? std::string() : args[0], std::cout);
      throw HelpRequested{};
    } else if (arg == "--repo-root") {
      givenRepoRoot = fs::path(value());
      repoRootGiven = true;
    } else if (arg == "--video") {
      o.videoPath = fs::path(value());
      o.sourceIsCamera = false;
    } else if (arg == "--camera") {
      o.sourceIsCamera = true;
      o.loop = true;
    } else if (arg == "--camera-index") {
      o.cameraIndex = parseIntArgument(value());
      o.sourceIsCamera = true;
      o.loop = true;
    } else if (arg == "--provider") {
      o.provider = parseProvider(value());
    } else if (arg == "--camera-backend") {
      o.cameraBackend = toLowerAscii(value());
      if (o.cameraBackend != "dshow" && o.cameraBackend != "msmf" && o.cameraBackend != "auto") {
        throw std::runtime_error("--camera-backend must be dshow, msmf, or auto.");
      }
    } else if (arg == "--max-width") {
      o.maxWidth = parseIntArgument(value());
    } else if (arg == "--headless-frames") {
      o.headlessFrames = parseIntArgument(value());
    } else if (arg == "--landmark-lead-ms") {
      o.landmarkLeadMs = parseDoubleArgument(value());
    } else if (arg == "--min-tracking-confidence") {
      o.minTrackingConfidence = parseFloatArgument(value());
    } else if (arg == "--mirror") {
      o.mirror = true;
      o.mirrorExplicit = true;
    } else if (arg == "--no-mirror") {
      o.mirror = false;
      o.mirrorExplicit = true;
    } else if (arg == "--no-loop") {
      o.loop = false;
    } else if (arg == "--bypass") {
      o.bypass = true;
    } else if (arg == "--still") {
      o.stillPath = fs::path(value());
    } else if (arg == "--stamp-seq") {
      o.stampSeq = true;
    } else if (arg == "--still-fps") {
      o.stillFps = parseDoubleArgument(value());
    } else if (arg == "--split") {
      o.split = true;
    } else if (arg == "--mediapipe-lib") {
      o.mediaPipeLibPath = fs::path(value());
    } else if (arg == "--face-task") {
      o.faceTaskPath = fs::path(value());
    } else if (arg == "--calibration") {
      o.calibrationPath = fs::path(value());
    } else if (arg == "--telemetry-endpoint") {
      o.telemetryEndpoint = value();
    } else if (arg == "--skin-model") {
      o.skinModelPath = fs::path(value());
    } else if (arg == "--teeth-model") {
      o.teethModelPath = fs::path(value());
    } else if (arg == "--landmark-detector-model") {
      o.landmarkDetectorModelPath = fs::path(value());
    } else if (arg == "--landmark-mesh-model") {
      o.landmarkMeshModelPath = fs::path(value());
    } else if (!arg.empty() && arg[0] != '-' && o.videoPath.empty()) {
      o.videoPath = fs::path(arg);
    } else {
      throw std::runtime_error("Unknown argument: " + arg);
    }
  }

  o.repoRoot = fs::weakly_canonical(repoRootGiven ? givenRepoRoot : findRepoRoot());
  if (o.telemetryEndpoint.empty()) {
    o.telemetryEndpoint = readBackendTelemetryUrl(o.repoRoot);
    if (o.telemetryEndpoint.empty()) o.telemetryEndpoint = readTelemetryEndpointFile(o.repoRoot);
  }
  if (!o.sourceIsCamera && o.videoPath.empty()) o.videoPath = o.repoRoot / "12151229_3840_2160_60fps.mp4";
  if (o.landmarkLeadMs < 0.0) o.landmarkLeadMs = o.sourceIsCamera ? 33.0 : 0.0;
  o.landmarkLeadMs = std::clamp(o.landmarkLeadMs, 0.0, 120.0);
  o.minTrackingConfidence = std::clamp(o.minTrackingConfidence, 0.0f, 1.0f);

  const fs::path models = o.repoRoot / "models";
  auto orDefault = [](fs::path& path, fs::path fallback) {
    if (path.empty()) path = std::move(fallback);
  };
  orDefault(o.skinModelPath, models / "retouch.onnx");
  orDefault(o.teethModelPath, models / "teeth_whitening.onnx");
  orDefault(o.faceTaskPath, models / "face_landmarker.task");
  orDefault(o.landmarkDetectorModelPath, models / "mp_landmarker" / "onnx" / "face_detector.onnx");
  orDefault(o.landmarkMeshModelPath, models / "mp_landmarker" / "onnx" / "face_landmarks_detector.onnx");
  orDefault(o.calibrationPath, models / "calibration" / "mediapipe_crop_calibration.json");
  if (o.mediaPipeLibPath.empty()) o.mediaPipeLibPath = defaultMediaPipeLibPath(o.repoRoot);

  o.resourcesDir = o.repoRoot / "app" / "base" / "Sources" / "Prismwell" / "Resources";
  o.facemaskPath = o.resourcesDir / "facemask.png";
  o.skinMaskPath = o.resourcesDir / "skin_mask.png";
  o.teethMaskPath = o.resourcesDir / "teeth_whitening_mask.png";
  o.lookupPath = o.resourcesDir / "lookup.png";

  if (!o.sourceIsCamera) requireFile(o.videoPath, "video");
  if (!o.stillPath.empty()) requireFile(o.stillPath, "still image");
  if (o.stillFps <= 0.0) o.stillFps = 30.0;
  requireFile(o.skinModelPath, "skin model");
  requireFile(o.teethModelPath, "teeth model");
  requireFile(o.faceTaskPath, "MediaPipe face task");
  requireFile(o.calibrationPath, "MediaPipe calibration");
  requireFile(o.mediaPipeLibPath, "MediaPipe Tasks DLL");
  for (fs::path* resource : {&o.facemaskPath, &o.skinMaskPath, &o.teethMaskPath, &o.lookupPath}) {
    requireFile(*resource, resource->filename().string());
  }
  for (const char* atlas : kToneAtlasNames) {
    fs::path path = o.resourcesDir / atlas;
    requireFile(path, atlas);
  }
  return o;
}

ProducerOptions parseCommandLine(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (argc == 1) args.emplace_back("--camera");
  ProducerOptions options = parseOptions(args);
  if (options.stillPath.empty() && !options.sourceIsCamera) options.sourceIsCamera = true;
  return options;
}

}  // namespace tesmira
