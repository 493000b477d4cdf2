#include "tools/demo/demo_landmarks.h"

#include <fstream>
#include <stdexcept>
#include <system_error>

#include "common/environment.h"

namespace tesmira::demo {
namespace {

// The number after " key=" in the line; 0 when it is absent.
unsigned long long field(const std::string& line, const std::string& key) {
  const size_t at = line.find(" " + key + "=");
  return at == std::string::npos ? 0 : std::stoull(line.substr(at + key.size() + 2));
}

}  // namespace

std::filesystem::path copyDataFolder(const std::filesystem::path& repo, const std::filesystem::path& folder) {
  const auto given = environmentValue(L"TESMIRA_DATA_DIR");
  const std::filesystem::path data = given ? std::filesystem::path(*given) : repo / ".cache" / "data";
  std::error_code ec;
  if (!std::filesystem::exists(data / "libmediapipe.dll", ec))
    throw std::runtime_error("the data folder is not built: " + data.string() + " (./tesmira build)");
  std::filesystem::create_directories(folder);
  std::filesystem::copy(data, folder,
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
  return folder;
}

std::string faceFramesLine(const std::filesystem::path& producerLog) {
  std::ifstream in(producerLog, std::ios::binary);
  unsigned long long face = 0, processed = 0;
  std::string landmarker = "none built";
  for (std::string line; std::getline(in, line);) {
    if (const size_t at = line.find("landmarker: "); at != std::string::npos) {
      landmarker = line.substr(at + 12);
      if (!landmarker.empty() && landmarker.back() == '\r') landmarker.pop_back();
    }
    if (line.find("vcam producer frames=") == std::string::npos) continue;
    face += field(line, "face");
    processed += field(line, "face") + field(line, "no-face") + field(line, "process-errors");
  }
  return "face frames: " + std::to_string(face) + " of " + std::to_string(processed) +
         " processed in the producer's statistics windows (landmarker: " + landmarker + ")";
}

}  // namespace tesmira::demo
