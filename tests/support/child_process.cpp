#include "tests/support/child_process.h"

#include "common/command_line.h"

namespace tesmira::testing {

ChildProcess::ChildProcess(const std::vector<std::wstring>& args) {
  std::wstring commandLine = joinCommandLine(args);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  id_ = info.dwProcessId;
}

ChildProcess::~ChildProcess() {
  terminate();
  if (process_) CloseHandle(process_);
}

std::optional<DWORD> ChildProcess::wait(DWORD timeoutMs) {
  if (!process_ || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!GetExitCodeProcess(process_, &code)) return std::nullopt;
  return code;
}

void ChildProcess::terminate() {
  if (!process_ || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) return;
  TerminateProcess(process_, 1);
  WaitForSingleObject(process_, INFINITE);
}

}  // namespace tesmira::testing
