#include "tools/demo/demo_processes.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <set>

extern char** environ;

namespace tesmira::demo {
namespace fs = std::filesystem;

pid_t spawnProgram(const fs::path& program) {
  const std::string path = program.string();
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  return pid;
}

void killProgram(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

namespace {

// Zombies count as gone: they have been ended and only wait for their parent.
bool alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z' && line[close + 2] != 'X';
}

std::set<pid_t> processesRunning(const fs::path& program) {
  std::set<pid_t> found;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    std::error_code linkError;
    if (fs::read_symlink(it->path() / "exe", linkError) == program && alive(std::stoi(name))) {
      found.insert(std::stoi(name));
    }
  }
  return found;
}

}  // namespace

ProcessWatch::ProcessWatch(fs::path program) : program_(fs::weakly_canonical(program)), thread_([this] { poll(); }) {}

ProcessWatch::~ProcessWatch() {
  stop_ = true;
  thread_.join();
}

void ProcessWatch::poll() {
  while (!stop_) {
    const std::set<pid_t> now = processesRunning(program_);
    const auto at = Clock::now();
    {
      std::lock_guard lock(mutex_);
      for (Run& run : runs_) {
        if (run.ended == Clock::time_point{} && !now.count(run.pid)) run.ended = at;
      }
      for (pid_t pid : now) {
        const bool known = std::any_of(runs_.begin(), runs_.end(), [&](const Run& r) {
          return r.pid == pid && r.ended == Clock::time_point{};
        });
        if (!known) runs_.push_back({pid, at, {}});
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<ProcessWatch::Run> ProcessWatch::runs() const {
  std::lock_guard lock(mutex_);
  return runs_;
}

bool ProcessWatch::anyRunning() const {
  std::lock_guard lock(mutex_);
  return std::any_of(runs_.begin(), runs_.end(), [](const Run& r) { return r.ended == Clock::time_point{}; });
}

}  // namespace tesmira::demo
