#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// FormatMessageW as the product calls it; empty when the system has no text.
std::wstring systemText(DWORD code, DWORD language = 0x400) {
  LPWSTR buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, language, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::wstring text = n ? std::wstring(buffer, n) : std::wstring();
  if (buffer) LocalFree(buffer);
  return text;
}

struct Known {
  DWORD code;
  const wchar_t* text;
};

class KnownMessage : public ::testing::TestWithParam<Known> {};

TEST_P(KnownMessage, IsTheSystemTextWithItsLineBreak) {
  EXPECT_EQ(systemText(GetParam().code), std::wstring(GetParam().text) + L"\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Codes, KnownMessage,
    ::testing::Values(Known{0, L"The operation completed successfully."}, Known{2, L"The system cannot find the file specified."},
                      Known{5, L"Access is denied."}, Known{1056, L"An instance of the service is already running."},
                      // Win32 codes wrapped as HRESULTs read the Win32 text.
                      Known{0x80070005, L"Access is denied."},
                      Known{0x800706BA, L"The RPC server is unavailable."},
                      Known{0x80004005, L"Unspecified error"}, Known{0x80004002, L"No such interface supported"},
                      Known{0xC00D3E85, L"The request is invalid because Shutdown() has been called."},
                      Known{0xC00D36B2, L"The request is invalid in the current state."},
                      // Inserts are left as written when asked to be ignored.
                      Known{193, L"%1 is not a valid Win32 application."}));

TEST(FormatMessageW, UnknownCodesHaveNoText) {
  for (DWORD code : {DWORD(0x12345), DWORD(0xC00DFFFF), DWORD(0x8007FFFF), DWORD(0xFFFFFFFF)}) {
    SetLastError(0);
    EXPECT_EQ(systemText(code), L"") << std::hex << code;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));
  }
}

TEST(FormatMessageW, OtherLanguagesAreNotInstalled) {
  EXPECT_EQ(systemText(5, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)), L"Access is denied.\r\n");
  EXPECT_EQ(systemText(5, 0x407), L"");  // German
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST(FormatMessageW, CallerBufferFollowsTheSizeRule) {
  WCHAR buffer[64];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0, buffer, 64, nullptr),
            19u);
  EXPECT_EQ(std::wstring(buffer), L"Access is denied.\r\n");
  // 19 characters need 20 with the terminator.
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0, buffer, 19, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
