#pragma once
// What tests need from the host that the Windows layer cannot express: a host
// tool's output, file permissions, a fresh temporary folder, Ctrl-C or a kill for
// a process known only by its id, whether such a process is still there, and a
// child whose standard output and error go to files. Outside platform/, this file
// alone calls the host system directly.
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tesmira::testing {

// What a shell command prints on standard output (a host tool such as nm).
std::string commandOutput(const std::string& command);

// The file's permission bits as the layer set them from a security descriptor
// (0xFFFFFFFF when it cannot be read).
uint32_t permissionBits(const std::filesystem::path& file);

// A new, empty folder in the system's temporary folder; empty on failure.
std::filesystem::path makeTemporaryFolder(const std::string& prefix);

// Ctrl-C as the console delivers it to the process.
bool sendCtrlC(DWORD processId);
// Ends a process the test did not start itself (a grandchild).
void killProcess(DWORD processId);
// True once the process has exited, also while nobody has reaped it yet.
bool processGone(DWORD processId);

// Runs work on a thread of its own with a stack of stackBytes (Windows gives a main
// thread 1 MiB), and waits for it; false when no such thread could start.
bool runOnStackOf(size_t stackBytes, const std::function<void()>& work);

// A child whose standard output and error are written to files.
class OutputCapturingChild {
 public:
  OutputCapturingChild(const std::vector<std::string>& args, const std::filesystem::path& output,
                       const std::filesystem::path& errors);
  ~OutputCapturingChild();  // kills and reaps a child still running
  OutputCapturingChild(const OutputCapturingChild&) = delete;
  OutputCapturingChild& operator=(const OutputCapturingChild&) = delete;

  bool started() const { return pid_ > 0; }
  DWORD id() const { return DWORD(pid_); }
  // The exit code (128 + the signal for a signal), or -1 while it still runs after timeoutMs.
  int wait(DWORD timeoutMs = INFINITE);

 private:
  int pid_ = -1;
  int exitCode_ = -1;
};

}  // namespace tesmira::testing
