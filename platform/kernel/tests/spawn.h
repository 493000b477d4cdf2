#pragma once
// Starts this test binary again as a child (see child_main.h) with plain
// posix_spawn, so that kernel-object tests do not lean on CreateProcessW.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "tests/support/child_main.h"

extern char** environ;

namespace tesmira::testing {

inline pid_t spawnChild(const std::string& name, const std::vector<std::string>& args = {}) {
  std::vector<std::string> argv = childArgv(name, args);
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, raw[0], nullptr, nullptr, raw.data(), environ) != 0) return -1;
  return pid;
}

// The child's exit status, or 128 + signal when a signal ended it.
inline int waitChild(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

}  // namespace tesmira::testing
