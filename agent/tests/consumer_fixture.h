#pragma once
// The user's webcam consent store and applications running under chosen names, as the
// consumer scan finds them on a machine.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/consumers.h"
#include "tesmira/platform_testing.h"
#include "tests/support/child_process.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::agent::testing {

// Writes one value under HKCU\...\ConsentStore\webcam\<subkey>.
inline void setConsentValue(const std::wstring& subkey, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  const std::wstring path = std::wstring(kWebcamConsentKey) + L"\\" + subkey;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

inline void setConsent(const std::wstring& subkey, uint64_t start, uint64_t stop) {
  setConsentValue(subkey, L"LastUsedTimeStart", REG_QWORD, &start, sizeof(start));
  setConsentValue(subkey, L"LastUsedTimeStop", REG_QWORD, &stop, sizeof(stop));
}

// The consent key of a desktop application at this path, as Windows names it.
inline std::wstring desktopConsentKey(const std::filesystem::path& program) {
  std::wstring name = L"C:" + program.wstring();
  for (wchar_t& c : name) {
    if (c == L'/' || c == L'\\') c = L'#';
  }
  return std::wstring(kNonPackagedSubkey) + L"\\" + name;
}

inline uint64_t fileTimeNow() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// Copies of the test application, running under the names the tests give them.
class RunningApps {
 public:
  // Without a folder: "apps" in the machine root of the moment the first one runs.
  RunningApps() = default;
  explicit RunningApps(std::filesystem::path folder) : folder_(std::move(folder)) {}

  // Starts the application as `name` and waits until a process snapshot lists it.
  std::filesystem::path run(const std::string& name) {
    if (folder_.empty()) folder_ = std::filesystem::path(tesmira::platform::machineRoot()) / "apps";
    std::filesystem::create_directories(folder_);
    const std::filesystem::path program = folder_ / name;
    std::filesystem::copy_file(tesmira::testing::siblingExecutable("agent_test_app"), program,
                               std::filesystem::copy_options::overwrite_existing);
    apps_.push_back(std::make_unique<tesmira::testing::ChildProcess>(std::vector<std::wstring>{program.wstring()}));
    EXPECT_TRUE(apps_.back()->started());
    const std::wstring listed = exeNameFromPath(program.wstring());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!runningProcessNames().count(listed) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(runningProcessNames().count(listed)) << name;
    return program;
  }
  void stopAll() { apps_.clear(); }

 private:
  std::filesystem::path folder_;
  std::vector<std::unique_ptr<tesmira::testing::ChildProcess>> apps_;
};

}  // namespace tesmira::agent::testing
