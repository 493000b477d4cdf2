#include "tests/support/machine_fixture.h"

#include <fstream>
#include <sstream>
#include <system_error>

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
  platform::faults::clearAll();
  platform::testclock::release();
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

}  // namespace tesmira::testing
