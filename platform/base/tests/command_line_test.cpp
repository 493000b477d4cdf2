#include <shellapi.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/machine_fixture.h"

namespace {

std::vector<std::wstring> split(const wchar_t* line) {
  int count = -1;
  LPWSTR* argv = CommandLineToArgvW(line, &count);
  EXPECT_NE(argv, nullptr);
  std::vector<std::wstring> out;
  if (!argv) return out;
  for (int i = 0; i < count; ++i) out.emplace_back(argv[i]);
  EXPECT_EQ(argv[count], nullptr);
  EXPECT_EQ(LocalFree(argv), nullptr);
  return out;
}

struct SplitCase {
  const wchar_t* line;
  std::vector<std::wstring> args;
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, GivesTheDocumentedArguments) { EXPECT_EQ(split(GetParam().line), GetParam().args); }

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitTest,
    ::testing::Values(
        SplitCase{L"prog a b", {L"prog", L"a", L"b"}},
        SplitCase{L"prog  \t a\t\tb  ", {L"prog", L"a", L"b"}},
        SplitCase{L"\"C:\\Program Files\\x.exe\" a", {L"C:\\Program Files\\x.exe", L"a"}},
        // The program name keeps backslashes and quotes literally.
        SplitCase{L"C:\\dir\\a\"b x", {L"C:\\dir\\a\"b", L"x"}},
        SplitCase{L"\"C:\\dir\\\\\" x", {L"C:\\dir\\\\", L"x"}},
        SplitCase{L"p \"a b\" c", {L"p", L"a b", L"c"}},
        SplitCase{L"p a\\\\b", {L"p", L"a\\\\b"}},                 // backslashes without a quote
        SplitCase{L"p a\\\\\"b c\"", {L"p", L"a\\b c"}},           // 2n + quote: n, quote toggles
        SplitCase{L"p a\\\\\\\"b", {L"p", L"a\\\"b"}},             // 2n+1 + quote: n and a literal quote
        SplitCase{L"p \"a\\\"b\"", {L"p", L"a\"b"}},
        SplitCase{L"p \"C:\\dir\\\\\" next", {L"p", L"C:\\dir\\", L"next"}},
        SplitCase{L"p \"\" x", {L"p", L"", L"x"}},
        SplitCase{L"p \"a\"\"b\" c", {L"p", L"a\"b c"}},            // "" in quotes: quote, quoting ends
        SplitCase{L"p a\"b c\"d", {L"p", L"ab cd"}},
        SplitCase{L"p \"unterminated arg", {L"p", L"unterminated arg"}},
        SplitCase{L" p", {L"", L"p"}}));

TEST(CommandLineToArgvW, EmptyLineGivesTheModulePath) {
  WCHAR self[1024];
  DWORD n = GetModuleFileNameW(nullptr, self, 1024);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(split(L""), std::vector<std::wstring>{std::wstring(self, n)});
}

TEST(CommandLineToArgvW, NullCountIsRefused) {
  SetLastError(0);
  EXPECT_EQ(CommandLineToArgvW(L"a b", nullptr), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

}  // namespace
