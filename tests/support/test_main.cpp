#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "tesmira/platform_testing.h"
#include "tests/support/child_main.h"

namespace tesmira::testing {
namespace {

std::map<std::string, ChildMain>& children() {
  static std::map<std::string, ChildMain> m;
  return m;
}

constexpr const char* kChildFlag = "--tesmira-child";

std::string selfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

// Every test leaves the process as the next one expects it, whatever its fixture: a clock
// left ahead or an armed fault would otherwise leak into the tests after it in one binary.
class RestoreLayerState : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo&) override {
    platform::faults::clearAll();
    platform::testclock::reset();
  }
};

}  // namespace

bool registerChildMain(const std::string& name, ChildMain main) {
  children()[name] = std::move(main);
  return true;
}

std::vector<std::string> childArgv(const std::string& name, const std::vector<std::string>& args) {
  std::vector<std::string> argv{selfPath(), kChildFlag, name};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::wstring childCommandLine(const std::string& name, const std::vector<std::string>& args) {
  // Arguments here are test-made and never hold quotes or trailing backslashes.
  std::wstring line;
  for (const auto& a : childArgv(name, args)) {
    if (!line.empty()) line += L' ';
    line += L'"';
    line += std::wstring(a.begin(), a.end());
    line += L'"';
  }
  return line;
}

}  // namespace tesmira::testing

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], tesmira::testing::kChildFlag) == 0) {
    auto& registry = tesmira::testing::children();
    auto it = registry.find(argv[2]);
    if (it == registry.end()) return 127;
    return it->second(std::vector<std::string>(argv + 3, argv + argc));
  }
  ::testing::InitGoogleMock(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new tesmira::testing::RestoreLayerState);
  return RUN_ALL_TESTS();
}
