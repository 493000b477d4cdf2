#pragma once
// Child processes of this process, shared by the process and thread handles.
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kernel/waitable.h"
#include "minwindef.h"

namespace tesmira::platform::kernel {

class JobState;

class ProcessRecord {
 public:
  ProcessRecord(pid_t pid, int resumeFd);
  // A process this one did not start (OpenProcess): watched through its pidfd, never
  // reaped here. Null when no such process runs.
  static std::shared_ptr<ProcessRecord> openExisting(pid_t pid);
  ~ProcessRecord();

  pid_t pid() const { return pid_; }
  // Reaps the child when it has ended; true once it has.
  bool exited();
  DWORD exitCode();  // STILL_ACTIVE while it runs
  // Kills the child; false when it had already ended.
  bool terminate(DWORD code);
  // Lets a suspended child run; the previous suspend count (1, or 0 when it ran).
  DWORD resume();
  void joinJob(const std::shared_ptr<JobState>& job);
  // Blocks at most ns real nanoseconds or until the child ends.
  void block(uint64_t ns);

 private:
  std::mutex mutex_;
  pid_t pid_;
  int pidfd_;
  bool child_ = true;
  int resumeFd_;  // write end of the pipe a suspended child waits on; -1 once resumed
  bool exited_ = false;
  DWORD exitCode_;
  std::optional<DWORD> terminateCode_;
  std::weak_ptr<JobState> job_;
};

// Job objects know their members and whether closing the job kills them.
class JobState {
 public:
  void add(const std::shared_ptr<ProcessRecord>& process);
  void setKillOnClose(bool on);
  bool killOnClose();
  void closed();

 private:
  std::mutex mutex_;
  bool killOnClose_ = false;
  std::vector<std::weak_ptr<ProcessRecord>> members_;
};

struct SpawnRequest {
  std::string program;             // a Linux path that exists (executable unless fromCopy)
  std::vector<std::string> argv;   // argv[0] included
  std::vector<std::string> env;    // NAME=value
  std::string workingDirectory;    // empty: this process's
  bool suspended = false;
  bool newProcessGroup = false;
  bool detached = false;           // a session of its own, no terminal
  bool fromCopy = false;           // an ELF without execute permission: run from an executable copy
  int stdFds[3] = {-1, -1, -1};    // -1: inherit; -2: /dev/null
};

// Starts the child (fork and exec on a spawner thread that lives as long as this
// process, so that parent-death signals fire only when the process dies).
// Returns ERROR_SUCCESS or the Win32 error.
DWORD spawnProcess(const SpawnRequest& request, std::shared_ptr<ProcessRecord>& out);

// Builds a spawn request from CreateProcessW's arguments.
DWORD prepareSpawn(LPCWSTR applicationName, LPCWSTR commandLine, DWORD creationFlags, LPVOID environment,
                   LPCWSTR currentDirectory, const void* startupInfo, SpawnRequest& out);

// The child behind a process handle from CreateProcessW, or null.
std::shared_ptr<ProcessRecord> processOf(HANDLE handle);

// Puts handles for a started child into PROCESS_INFORMATION.
void publishProcess(const std::shared_ptr<ProcessRecord>& process, void* processInformation);

}  // namespace tesmira::platform::kernel
