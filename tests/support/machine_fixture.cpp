#include "tests/support/machine_fixture.h"

#include <fstream>
#include <sstream>
#include <system_error>

#include "common/environment.h"
#include "common/executable_paths.h"
#include "tesmira/platform_testing.h"
#include "tests/support/host_calls.h"

namespace tesmira::testing {

void MachineTest::SetUp() {
  root_ = makeTemporaryFolder("tesmira-machine-");
  ASSERT_FALSE(root_.empty());
  platform::setMachineRoot(root_.string());
}

void MachineTest::TearDown() {
  if (GetEnvironmentVariableW(L"TESMIRA_KEEP_MACHINE", nullptr, 0) == 0) {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
}

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::filesystem::path siblingExecutable(const std::string& name) {
  return executableDirectory() / name;
}

std::filesystem::path builtDataFolder() {
  if (const auto dir = environmentValue(L"TESMIRA_DATA_DIR")) return *dir;
  return std::filesystem::path(TESMIRA_SOURCE_DIR) / ".cache" / "data";
}

std::filesystem::path mediaFolder() {
  if (const auto dir = environmentValue(L"TESMIRA_MEDIA_DIR")) return *dir;
  return std::filesystem::path(TESMIRA_SOURCE_DIR) / ".cache" / "media";
}

void copyBuiltData(const std::filesystem::path& folder) {
  const auto data = builtDataFolder();
  std::error_code ec;
  if (!std::filesystem::exists(data / "libmediapipe.dll", ec)) {
    ADD_FAILURE() << "the data folder is not built: " << data.string() << " (tools/setup/build-data.sh)";
    return;
  }
  std::filesystem::create_directories(folder, ec);
  std::filesystem::copy(data, folder,
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) ADD_FAILURE() << "could not copy the data folder to " << folder.string() << ": " << ec.message();
}

}  // namespace tesmira::testing
