#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tesmira/platform_testing.h"
#include "tests/support/child_main.h"
#include "tests/support/machine_fixture.h"

namespace {

using tesmira::testing::childCommandLine;

class PipesTest : public tesmira::testing::MachineTest {};

// Child: writes its first argument, n times, to standard output and standard error.
TESMIRA_CHILD_MAIN(writeBoth) {
  const int times = std::stoi(args.at(1));
  for (int i = 0; i < times; ++i) {
    std::fputs(args.at(0).c_str(), stdout);
    std::fputs(args.at(0).c_str(), stderr);
  }
  return 0;
}

struct Output {
  std::string bytes;
  DWORD endError = 0;
  DWORD largestRead = 0;
};

Output readToEnd(HANDLE readEnd, DWORD chunk) {
  Output out;
  std::string buffer(chunk, '\0');
  DWORD got = 0;
  while (ReadFile(readEnd, buffer.data(), chunk, &got, nullptr)) {
    out.bytes.append(buffer.data(), got);
    out.largestRead = std::max(out.largestRead, got);
  }
  out.endError = GetLastError();
  return out;
}

TEST_F(PipesTest, AChildWritesBothStreamsIntoOnePipeAndTheEndIsABrokenPipe) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &sa, 0));
  ASSERT_TRUE(SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0));
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(writeEnd, &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, DWORD(HANDLE_FLAG_INHERIT));

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = INVALID_HANDLE_VALUE;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  std::wstring commandLine = childCommandLine("writeBoth", {"0123456789abcdef", "1000"});
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                             nullptr, &si, &pi));
  CloseHandle(writeEnd);
  const Output out = readToEnd(readEnd, 4096);
  EXPECT_EQ(out.bytes.size(), 32000u);
  EXPECT_EQ(out.bytes.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_LE(out.largestRead, 4096u);
  EXPECT_EQ(out.endError, DWORD(ERROR_BROKEN_PIPE));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  CloseHandle(readEnd);
}

TEST_F(PipesTest, PipesAreNotInheritableUnlessAskedAndClosingTheWriteEndEndsThem) {
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  DWORD flags = 1;
  ASSERT_TRUE(GetHandleInformation(writeEnd, &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  CloseHandle(writeEnd);
  char byte;
  DWORD got = 7;
  EXPECT_FALSE(ReadFile(readEnd, &byte, 1, &got, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BROKEN_PIPE));
  EXPECT_EQ(got, 0u);
  CloseHandle(readEnd);
}

TEST_F(PipesTest, BadArgumentsAndInjectedFailures) {
  char byte;
  DWORD got = 0;
  struct Case {
    const char* name;
    HANDLE handle;
    DWORD error;
  };
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const Case cases[] = {
      {"null handle", nullptr, ERROR_INVALID_HANDLE},
      {"not a pipe", event, ERROR_INVALID_HANDLE},
      {"pseudo handle", INVALID_HANDLE_VALUE, ERROR_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(ReadFile(c.handle, &byte, 1, &got, nullptr)) << c.name;
    EXPECT_EQ(GetLastError(), c.error) << c.name;
  }
  CloseHandle(event);
  HANDLE r = nullptr, w = nullptr;
  EXPECT_FALSE(CreatePipe(nullptr, &w, nullptr, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  tesmira::platform::faults::inject("CreatePipe", ERROR_TOO_MANY_OPEN_FILES, 1);
  EXPECT_FALSE(CreatePipe(&r, &w, nullptr, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_TOO_MANY_OPEN_FILES));
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  CloseHandle(r);
  CloseHandle(w);
}

}  // namespace
