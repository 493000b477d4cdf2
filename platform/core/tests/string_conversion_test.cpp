#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(StringConversion, Utf8RoundTripsAndCountsTheTerminatorWhenAskedTo) {
  const wchar_t* text = L"caf\u00e9 \u2014 \U0001F600";
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  ASSERT_EQ(bytes, 3 + 2 + 1 + 3 + 1 + 4 + 1);  // "caf", e-acute, blank, em dash, blank, emoji, zero
  std::string narrow(size_t(bytes), '\0');
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), bytes, nullptr, nullptr), bytes);
  EXPECT_EQ(narrow.back(), '\0');
  int chars = MultiByteToWideChar(CP_UTF8, 0, narrow.data(), -1, nullptr, 0);
  std::wstring back(size_t(chars), L'\0');
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, narrow.data(), -1, back.data(), chars), chars);
  EXPECT_EQ(std::wstring(back.c_str()), std::wstring(text));
}

TEST(StringConversion, RefusesBadArgumentsAndShortBuffers) {
  char small[2];
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"abc", 3, small, 2, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(WideCharToMultiByte(1252, 0, L"abc", 3, nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(StringConversion, BrokenUtf8BecomesReplacementCharacters) {
  const char broken[] = {'a', char(0xE2), char(0x80), 'b'};  // truncated three-byte sequence
  wchar_t out[8] = {};
  int n = MultiByteToWideChar(CP_UTF8, 0, broken, 4, out, 8);
  ASSERT_GE(n, 3);
  EXPECT_EQ(out[0], L'a');
  EXPECT_EQ(out[1], wchar_t(0xFFFD));
  EXPECT_EQ(out[n - 1], L'b');
}

}  // namespace
