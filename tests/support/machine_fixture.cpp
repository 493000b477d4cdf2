#include "tests/support/machine_fixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "tesmira/platform_testing.h"

namespace tesmira::testing {

void MachineTest::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tesmira-machine-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  ASSERT_NE(made, nullptr);
  root_ = made;
  platform::setMachineRoot(root_.string());
}

void MachineTest::TearDown() {
  platform::faults::clearAll();
  platform::testclock::release();
  if (!std::getenv("TESMIRA_KEEP_MACHINE")) {
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
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return self.parent_path() / name;
}

}  // namespace tesmira::testing
