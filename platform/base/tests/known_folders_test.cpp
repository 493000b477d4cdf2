#include <shlobj.h>
#include <spawn.h>
#include <sys/wait.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tesmira/platform_testing.h"
#include "tests/support/child_main.h"
#include "tests/support/machine_fixture.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::wstring knownFolder(REFKNOWNFOLDERID id, HRESULT* result = nullptr) {
  PWSTR path = reinterpret_cast<PWSTR>(1);
  HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, &path);
  if (result) *result = hr;
  std::wstring text = path ? std::wstring(path) : std::wstring();
  CoTaskMemFree(path);
  return text;
}

class KnownFoldersTest : public tesmira::testing::MachineTest {
 protected:
  void TearDown() override {
    ::unsetenv("USERNAME");
    MachineTest::TearDown();
  }
};

TEST_F(KnownFoldersTest, FoldersLiveUnderTheMachineRoot) {
  ::setenv("USERNAME", "alice", 1);
  struct Case {
    const KNOWNFOLDERID& id;
    fs::path relative;
  } cases[] = {
      {FOLDERID_ProgramData, "ProgramData"},
      {FOLDERID_RoamingAppData, "Users/alice/AppData/Roaming"},
      {FOLDERID_LocalAppData, "Users/alice/AppData/Local"},
  };
  for (const auto& c : cases) {
    fs::path folder(knownFolder(c.id));
    EXPECT_EQ(folder, root() / c.relative);
    EXPECT_TRUE(fs::is_directory(folder));
  }
}

TEST_F(KnownFoldersTest, UserDefaultsToUser) {
  ::unsetenv("USERNAME");
  EXPECT_EQ(fs::path(knownFolder(FOLDERID_LocalAppData)), root() / "Users/user/AppData/Local");
}

TEST_F(KnownFoldersTest, FailuresGiveNoPath) {
  HRESULT hr = S_OK;
  tesmira::platform::faults::inject("SHGetKnownFolderPath", E_FAIL, 1);
  EXPECT_EQ(knownFolder(FOLDERID_ProgramData, &hr), L"");
  EXPECT_EQ(hr, E_FAIL);
  tesmira::platform::faults::inject("SHGetKnownFolderPath", ERROR_PATH_NOT_FOUND, 1);
  knownFolder(FOLDERID_ProgramData, &hr);
  EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  const GUID unknown = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(knownFolder(unknown, &hr), L"");
  EXPECT_EQ(hr, E_INVALIDARG);
  EXPECT_EQ(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, nullptr), E_INVALIDARG);
}

TEST_F(KnownFoldersTest, TempPathEndsInASeparator) {
  const char* saved = std::getenv("TMPDIR");
  std::string keep = saved ? saved : "";
  struct Case {
    const char* tmpdir;
    const wchar_t* expected;
  } cases[] = {{"/var/tmp/x", L"/var/tmp/x/"}, {"/var/tmp/y/", L"/var/tmp/y/"}, {nullptr, L"/tmp/"}};
  for (const auto& c : cases) {
    if (c.tmpdir) ::setenv("TMPDIR", c.tmpdir, 1);
    else ::unsetenv("TMPDIR");
    WCHAR buffer[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, buffer);
    EXPECT_EQ(std::wstring(buffer, n), c.expected);
    EXPECT_EQ(GetTempPathW(n, buffer), n + 1);  // no room for the terminator
  }
  if (saved) ::setenv("TMPDIR", keep.c_str(), 1);
}

// Each child writes its own mark into the same file of its machine's ProgramData.
TESMIRA_CHILD_MAIN(writeProgramDataMark) {
  fs::path folder(knownFolder(FOLDERID_ProgramData));
  std::ofstream(folder / "mark.txt") << args.at(0);
  return 0;
}

TEST_F(KnownFoldersTest, TwoMachinesAtOnceKeepTheirOwnFiles) {
  fs::path roots[2] = {root() / "one", root() / "two"};
  pid_t children[2];
  for (int k = 0; k < 2; ++k) {
    fs::create_directories(roots[k]);
    auto argv = tesmira::testing::childArgv("writeProgramDataMark", {"machine-" + std::to_string(k)});
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::string rootVariable = "TESMIRA_MACHINE_ROOT=" + roots[k].string();
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) {
      if (std::string(*e).rfind("TESMIRA_MACHINE_ROOT=", 0) != 0) env.push_back(*e);
    }
    env.push_back(rootVariable.data());
    env.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&children[k], cargv[0], nullptr, nullptr, cargv.data(), env.data()), 0);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(tesmira::testing::readFile(roots[0] / "ProgramData/mark.txt"), "machine-0");
  EXPECT_EQ(tesmira::testing::readFile(roots[1] / "ProgramData/mark.txt"), "machine-1");
  EXPECT_FALSE(fs::exists(root() / "ProgramData/mark.txt"));
}

}  // namespace
