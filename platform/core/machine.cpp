#include "core/machine.h"

#include <cstdlib>
#include <mutex>
#include <system_error>

#include "tesmira/platform_testing.h"

namespace tesmira::platform {
namespace {

constexpr const char* kRootVariable = "TESMIRA_MACHINE_ROOT";
constexpr const char* kDefaultRoot = "/var/lib/tesmira-machine";

}  // namespace

std::string machineRoot() {
  const char* value = std::getenv(kRootVariable);
  return value && *value ? std::string(value) : std::string(kDefaultRoot);
}

void setMachineRoot(const std::string& path) { ::setenv(kRootVariable, path.c_str(), 1); }

std::filesystem::path machinePath(const std::filesystem::path& relative) {
  std::filesystem::path full = std::filesystem::path(machineRoot()) / relative;
  std::error_code ec;
  std::filesystem::create_directories(full, ec);
  return full;
}

}  // namespace tesmira::platform
