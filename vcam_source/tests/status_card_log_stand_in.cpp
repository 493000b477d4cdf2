// Stand-in for the common file logger while it is not built: the same file, one line per call.
#include <fstream>

#include "common/helpers.h"
#include "tesmira/platform_testing.h"

namespace tesmira {

std::filesystem::path serviceLogPath() {
  return std::filesystem::path(platform::machineRoot()) / "ProgramData/Tesmira/Logs/vcam-service.log";
}

void appendLogLine(const std::wstring& message) {
  std::filesystem::create_directories(serviceLogPath().parent_path());
  std::wofstream(serviceLogPath(), std::ios::app) << message << L"\n";
}

}  // namespace tesmira
