#pragma once
// A producer-sized machine: ProgramData and APPDATA under the test's machine root,
// a repo-root fixture with every data file the options check, and log reading.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/environment.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::testing {

class ProducerTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    SetEnvironmentVariableW(L"ProgramData", (root() / "ProgramData").wstring().c_str());
    SetEnvironmentVariableW(L"APPDATA", (root() / "AppData").wstring().c_str());
    SetEnvironmentVariableW(L"TESMIRA_LANDMARK_FREE", nullptr);
  }

  std::filesystem::path logPath() const { return root() / "ProgramData" / "Tesmira" / "Logs" / "vcam-producer.log"; }

  // Log messages without their time stamps.
  std::vector<std::string> logMessages() const {
    std::vector<std::string> lines;
    std::ifstream in(logPath());
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line.size() > 20 ? line.substr(20) : line);
    }
    return lines;
  }
  size_t logCount(const std::string& message) const {
    size_t n = 0;
    for (const auto& line : logMessages()) n += line == message;
    return n;
  }
  size_t logCountStartingWith(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& line : logMessages()) n += line.rfind(prefix, 0) == 0;
    return n;
  }

  static void touch(const std::filesystem::path& file, const std::string& text = {}) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }

  // The data folder the set-up builds (models, masks, calibration, libmediapipe.dll): a repo
  // root the retouch context is built from.
  static std::filesystem::path dataRepoRoot() { return builtDataFolder(); }

  // A copy of the built data folder: it passes every existence check of the options and
  // its landmark library and models load.
  std::filesystem::path makeRepoRoot(const std::string& name = "repo") const {
    const auto repo = root() / name;
    copyBuiltData(repo);
    return repo;
  }
};

}  // namespace tesmira::testing
