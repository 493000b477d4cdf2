#pragma once
// The demo's view of the processes on the road: the agent it starts, and the producer
// that the agent starts and stops, seen through /proc.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace tesmira::demo {

using Clock = std::chrono::steady_clock;

// Starts `program` without arguments, with the demo's environment; -1 on failure.
pid_t spawnProgram(const std::filesystem::path& program);
void killProgram(pid_t pid);

// Watches for processes running `program`: when each appeared and when it went.
class ProcessWatch {
 public:
  struct Run {
    pid_t pid;
    Clock::time_point started;
    Clock::time_point ended;  // time_point{} while running
  };

  explicit ProcessWatch(std::filesystem::path program);
  ~ProcessWatch();
  std::vector<Run> runs() const;
  bool anyRunning() const;

 private:
  void poll();

  std::filesystem::path program_;
  mutable std::mutex mutex_;
  std::vector<Run> runs_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tesmira::demo
