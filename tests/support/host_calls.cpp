#include "tests/support/host_calls.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

extern char** environ;

namespace tesmira::testing {

std::string commandOutput(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return output;
  char chunk[512];
  while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
  ::pclose(pipe);
  return output;
}

uint32_t permissionBits(const std::filesystem::path& file) {
  struct stat info {};
  return ::stat(file.c_str(), &info) == 0 ? uint32_t(info.st_mode & 0777) : 0xFFFFFFFFu;
}

std::filesystem::path makeTemporaryFolder(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
  const char* made = ::mkdtemp(pattern.data());
  return made ? std::filesystem::path(made) : std::filesystem::path();
}

bool sendCtrlC(DWORD processId) { return ::kill(pid_t(processId), SIGINT) == 0; }

void killProcess(DWORD processId) { ::kill(pid_t(processId), SIGKILL); }

bool processGone(DWORD processId) {
  std::ifstream stat("/proc/" + std::to_string(processId) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const auto close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z' || line[close + 2] == 'X';
}

OutputCapturingChild::OutputCapturingChild(const std::vector<std::string>& args, const std::filesystem::path& output,
                                           const std::filesystem::path& errors) {
  std::vector<std::string> owned = args;
  std::vector<char*> argv;
  for (auto& arg : owned) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&files);
}

OutputCapturingChild::~OutputCapturingChild() {
  if (pid_ > 0 && exitCode_ < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int OutputCapturingChild::wait(DWORD timeoutMs) {
  if (pid_ <= 0 || exitCode_ >= 0) return exitCode_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, timeoutMs == INFINITE ? 0 : WNOHANG);
    if (done == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exitCode_;
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool runOnStackOf(size_t stackBytes, const std::function<void()>& work) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, stackBytes);
  pthread_t thread;
  const auto body = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  const bool started =
      pthread_create(&thread, &attributes, body, const_cast<std::function<void()>*>(&work)) == 0;
  pthread_attr_destroy(&attributes);
  if (started) pthread_join(thread, nullptr);
  return started;
}

}  // namespace tesmira::testing
