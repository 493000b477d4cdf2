#include "common/environment.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tesmira::environmentBeginsWith;
using tesmira::environmentValue;

constexpr const wchar_t* kName = L"TESMIRA_ENVIRONMENT_TEST";

class EnvironmentTest : public ::testing::Test {
 protected:
  void TearDown() override { SetEnvironmentVariableW(kName, nullptr); }
  static void set(const std::wstring& value) { ASSERT_TRUE(SetEnvironmentVariableW(kName, value.c_str())); }
};

TEST_F(EnvironmentTest, ValuesUpTo259CharactersAreRead) {
  EXPECT_FALSE(environmentValue(kName));
  set(L"");
  EXPECT_FALSE(environmentValue(kName));  // empty counts as unset
  set(L"C:\\ProgramData");
  EXPECT_EQ(environmentValue(kName), std::wstring(L"C:\\ProgramData"));
  const std::wstring longest(MAX_PATH - 1, L'a');
  set(longest);
  EXPECT_EQ(environmentValue(kName), longest);
  set(longest + L"b");  // would not fit the buffer with its terminator
  EXPECT_FALSE(environmentValue(kName));
}

TEST_F(EnvironmentTest, BeginsWithLooksAtTheFirstCharacterOnly) {
  EXPECT_FALSE(environmentBeginsWith(kName, L'1'));
  const struct {
    const wchar_t* value;
    bool one;
    bool zero;
  } cases[] = {{L"1", true, false}, {L"10", true, false}, {L"0", false, true}, {L"true", false, false}, {L"", false, false}};
  for (const auto& c : cases) {
    set(c.value);
    EXPECT_EQ(environmentBeginsWith(kName, L'1'), c.one);
    EXPECT_EQ(environmentBeginsWith("TESMIRA_ENVIRONMENT_TEST", '1'), c.one);
    EXPECT_EQ(environmentBeginsWith(kName, L'0'), c.zero);
  }
  set(L"1" + std::wstring(MAX_PATH, L'x'));  // too long for the buffer: not read at all
  EXPECT_FALSE(environmentBeginsWith(kName, L'1'));
}

}  // namespace
