#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/machine_fixture.h"

namespace {

class EnvironmentTest : public tesmira::testing::MachineTest {
 protected:
  void TearDown() override {
    ::unsetenv("TesmiraProbe");
    ::unsetenv("TESMIRA_OTHER");
    MachineTest::TearDown();
  }
};

TEST_F(EnvironmentTest, GetFollowsTheBufferSizeRules) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"TesmiraProbe", L"value"));
  WCHAR buffer[16];
  EXPECT_EQ(GetEnvironmentVariableW(L"TesmiraProbe", buffer, 16), 5u);
  EXPECT_EQ(std::wstring(buffer), L"value");
  EXPECT_EQ(GetEnvironmentVariableW(L"TesmiraProbe", buffer, 5), 6u);  // too small: size with terminator
  EXPECT_EQ(GetEnvironmentVariableW(L"TesmiraProbe", nullptr, 0), 6u);
  EXPECT_EQ(GetEnvironmentVariableW(L"TesmiraProbe", buffer, 6), 5u);
}

TEST_F(EnvironmentTest, NamesCompareWithoutCase) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"TesmiraProbe", L"x"));
  WCHAR buffer[16];
  EXPECT_EQ(GetEnvironmentVariableW(L"TESMIRAPROBE", buffer, 16), 1u);
  // Setting under another case replaces the one variable.
  ASSERT_TRUE(SetEnvironmentVariableW(L"tesmiraprobe", L"yz"));
  EXPECT_STREQ(std::getenv("TesmiraProbe"), "yz");
}

TEST_F(EnvironmentTest, MissingAndDeletedVariables) {
  WCHAR buffer[16];
  SetLastError(0);
  EXPECT_EQ(GetEnvironmentVariableW(L"TESMIRA_NOT_SET_ANYWHERE", buffer, 16), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ENVVAR_NOT_FOUND));
  ASSERT_TRUE(SetEnvironmentVariableW(L"TesmiraProbe", L"x"));
  ASSERT_TRUE(SetEnvironmentVariableW(L"TesmiraProbe", nullptr));
  EXPECT_EQ(GetEnvironmentVariableW(L"TesmiraProbe", buffer, 16), 0u);
  EXPECT_FALSE(SetEnvironmentVariableW(L"A=B", L"x"));
}

TEST_F(EnvironmentTest, ExpandReplacesDefinedReferencesOnly) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"TesmiraProbe", L"C:\\Data"));
  struct Case {
    const wchar_t* in;
    const wchar_t* out;
  } cases[] = {
      {L"%TesmiraProbe%\\x", L"C:\\Data\\x"},
      {L"%tesmiraprobe%", L"C:\\Data"},
      {L"%NOT_DEFINED_X%\\y", L"%NOT_DEFINED_X%\\y"},
      {L"100% sure", L"100% sure"},
      {L"%%TesmiraProbe%", L"%C:\\Data"},
      {L"a%%b", L"a%%b"},
      {L"", L""},
  };
  for (const auto& c : cases) {
    WCHAR buffer[64];
    DWORD needed = ExpandEnvironmentStringsW(c.in, buffer, 64);
    EXPECT_EQ(std::wstring(buffer), c.out) << c.in;
    EXPECT_EQ(needed, std::wstring(c.out).size() + 1);
    EXPECT_EQ(ExpandEnvironmentStringsW(c.in, nullptr, 0), needed);
  }
}

}  // namespace
