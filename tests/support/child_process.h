#pragma once
// A child process for tests, started, awaited and ended through the layer.
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tesmira::testing {

class ChildProcess {
 public:
  // The program is args[0]; every argument is quoted on the command line.
  explicit ChildProcess(const std::vector<std::wstring>& args);
  ~ChildProcess();  // terminates a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return process_ != nullptr; }
  DWORD id() const { return id_; }
  // Its exit code once it has exited within timeoutMs; nothing while it still runs.
  std::optional<DWORD> wait(DWORD timeoutMs = INFINITE);
  void terminate();

 private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

}  // namespace tesmira::testing
