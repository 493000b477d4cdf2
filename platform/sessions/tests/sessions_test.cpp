#include <gtest/gtest.h>
#include <userenv.h>
#include <windows.h>
#include <wtsapi32.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/machine_fixture.h"

namespace {
namespace fs = std::filesystem;

class SessionsTest : public tesmira::testing::MachineTest {
 protected:
  void describe(const std::string& text) {
    fs::create_directories(root() / "sessions");
    std::ofstream(root() / "sessions" / "sessions.json", std::ios::trunc) << text;
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"TESMIRA_SERVICE", nullptr);
    MachineTest::TearDown();
  }
};

TEST_F(SessionsTest, EnumerationListsServicesFirstThenTheDescribedSessionsInOrder) {
  describe(R"({"sessions": [{"id": 2, "station": "RDP-Tcp#1", "state": "active", "user": "bob"},
                            {"id": 1, "station": "Console", "state": "disconnected", "user": "alice"},
                            {"id": 65536, "station": "RDP-Tcp", "state": "listen"}]})");
  PWTS_SESSION_INFOW list = nullptr;
  DWORD count = 0;
  ASSERT_TRUE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count));
  ASSERT_EQ(count, 4u);
  const struct {
    DWORD id;
    const wchar_t* station;
    WTS_CONNECTSTATE_CLASS state;
  } expected[] = {{0, L"Services", WTSDisconnected},
                  {2, L"RDP-Tcp#1", WTSActive},
                  {1, L"Console", WTSDisconnected},
                  {65536, L"RDP-Tcp", WTSListen}};
  for (DWORD i = 0; i < count; ++i) {
    EXPECT_EQ(list[i].SessionId, expected[i].id);
    EXPECT_EQ(std::wstring(list[i].pWinStationName), expected[i].station);
    EXPECT_EQ(list[i].State, expected[i].state);
  }
  WTSFreeMemory(list);
}

TEST_F(SessionsTest, MalformedDescriptionsAreErrors) {
  for (const char* text : {"nope", "{}", R"({"sessions": [{"id": 1, "state": "sleeping"}]})",
                           R"({"sessions": [{"id": -1, "state": "active"}]})",
                           R"({"sessions": [{"id": 1, "state": "active", "user": 7}]})"}) {
    SCOPED_TRACE(text);
    describe(text);
    PWTS_SESSION_INFOW list = nullptr;
    DWORD count = 0;
    EXPECT_FALSE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
  }
}

TEST_F(SessionsTest, UserTokensNeedThePrivilegeAndAUser) {
  describe(R"({"sessions": [{"id": 1, "state": "active", "user": "alice"}, {"id": 5, "state": "listen"}]})");
  struct Row {
    const char* label;
    bool privileged;
    ULONG session;
    DWORD error;
  } rows[] = {{"no privilege", false, 1, ERROR_PRIVILEGE_NOT_HELD},
              {"a user's session", true, 1, 0},
              {"no user", true, 5, ERROR_NO_TOKEN},
              {"services", true, 0, ERROR_NO_TOKEN}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    SetEnvironmentVariableW(L"TESMIRA_SERVICE", row.privileged ? L"1" : nullptr);
    HANDLE token = nullptr;
    const BOOL ok = WTSQueryUserToken(row.session, &token);
    EXPECT_EQ(ok ? 0u : GetLastError(), row.error);
    if (ok) CloseHandle(token);
  }
}

TEST_F(SessionsTest, TheEnvironmentBlockIsTheUsersNeverTheCallers) {
  describe(R"({"sessions": [{"id": 3, "state": "active", "user": "alice"}]})");
  SetEnvironmentVariableW(L"TESMIRA_SERVICE", L"1");
  HANDLE token = nullptr;
  ASSERT_TRUE(WTSQueryUserToken(3, &token));
  LPVOID block = nullptr;
  ASSERT_TRUE(CreateEnvironmentBlock(&block, token, FALSE));
  std::vector<std::wstring> entries;
  for (auto* p = static_cast<const wchar_t*>(block); *p; p += std::wcslen(p) + 1) entries.emplace_back(p);
  DestroyEnvironmentBlock(block);
  CloseHandle(token);
  auto has = [&](const std::wstring& entry) {
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
  };
  EXPECT_TRUE(has(L"USERNAME=alice"));
  EXPECT_TRUE(has(L"TESMIRA_SESSION_ID=3"));
  EXPECT_TRUE(has(L"APPDATA=" + (root() / "Users" / "alice" / "AppData" / "Roaming").wstring()));
  EXPECT_TRUE(has(L"ProgramData=" + (root() / "ProgramData").wstring()));
  EXPECT_TRUE(has(L"TESMIRA_MACHINE_ROOT=" + root().wstring()));
  for (const auto& entry : entries) EXPECT_NE(entry.rfind(L"TESMIRA_SERVICE", 0), 0u) << std::string(entry.begin(), entry.end());
}

}  // namespace
