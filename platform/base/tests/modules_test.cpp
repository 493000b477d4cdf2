#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/core/strings.h"
#include "platform/base/modules.h"
#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

using tesmira::testing::siblingExecutable;

std::wstring modulePath() { return tesmira::platform::fromUtf8(siblingExecutable("tesmira_test_module.dll").string()); }

class ModulesTest : public tesmira::testing::MachineTest {};

TEST_F(ModulesTest, LoadsAModuleByPathAndFindsItsExport) {
  HMODULE module = LoadLibraryW(modulePath().c_str());
  ASSERT_NE(module, nullptr);
  auto answer = reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(module, "tesmiraTestModuleAnswer")));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);

  SetLastError(0);
  EXPECT_EQ(GetProcAddress(module, "noSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));

  WCHAR name[1024];
  DWORD n = GetModuleFileNameW(module, name, 1024);
  EXPECT_EQ(std::wstring(name, n), modulePath());
  EXPECT_EQ(GetModuleHandleW(L"TESMIRA_TEST_MODULE.DLL"), module);
  EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ModulesTest, WindowsStylePathsReachTheSameFile) {
  std::wstring path = modulePath();
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  HMODULE module = LoadLibraryExW((L"C:" + path).c_str(), nullptr, 0);
  ASSERT_NE(module, nullptr);
  FreeLibrary(module);
}

TEST_F(ModulesTest, FailuresSetTheirCodes) {
  struct Case {
    const wchar_t* name;
    DWORD error;
  } cases[] = {
      {L"/nonexistent/folder/missing.dll", ERROR_MOD_NOT_FOUND},
      {L"notregistered-system.dll", ERROR_MOD_NOT_FOUND},
      {L"", ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(c.name), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  // Not a shared object at all.
  std::wstring bogus = tesmira::platform::fromUtf8((root() / "bogus.dll").string());
  FILE* f = std::fopen((root() / "bogus.dll").c_str(), "w");
  std::fputs("MZ", f);
  std::fclose(f);
  EXPECT_EQ(LoadLibraryW(bogus.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));
}

TEST_F(ModulesTest, RegisteredSystemNameResolvesToThePlatformLibrary) {
  tesmira::platform::registerSystemModule(L"TesmiraBaseTest.dll");
  HMODULE module = LoadLibraryW(L"tesmirabasetest.DLL");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, "GetTickCount64")),
            reinterpret_cast<void*>(&GetTickCount64));
  EXPECT_EQ(GetModuleHandleW(L"tesmirabasetest.dll"), module);
  EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ModulesTest, InjectedFaultMakesAModuleMissing) {
  tesmira::platform::registerSystemModule(L"mfsensorgroup.dll");
  tesmira::platform::faults::inject("LoadLibraryW.mfsensorgroup.dll", ERROR_MOD_NOT_FOUND);
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(L"MFSensorGroup.dll"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
  tesmira::platform::faults::clearAll();
  HMODULE module = LoadLibraryW(L"MFSensorGroup.dll");
  EXPECT_NE(module, nullptr);
  FreeLibrary(module);
}

TEST_F(ModulesTest, ModuleFileNameTruncatesLikeWindows) {
  WCHAR full[1024];
  DWORD length = GetModuleFileNameW(nullptr, full, 1024);
  ASSERT_GT(length, 4u);
  EXPECT_EQ(full[length], L'\0');

  WCHAR small[4] = {L'x', L'x', L'x', L'x'};
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 4), 4u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::wstring(small), std::wstring(full, 3));

  // Exactly the length: no room for the terminator, so still truncated.
  std::wstring exact(length, L'?');
  EXPECT_EQ(GetModuleFileNameW(nullptr, exact.data(), length), length);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(ModulesTest, HandleFromAnAddressNamesItsModule) {
  HMODULE module = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(&GetTickCount64), &module));
  WCHAR name[1024];
  DWORD n = GetModuleFileNameW(module, name, 1024);
  EXPECT_NE(std::wstring(name, n).find(L"libtesmira_platform"), std::wstring::npos);
}

}  // namespace
