#pragma once
// The demo's view of the processes on the road: the agent it starts, and the producer
// that the agent starts and stops, seen through ToolHelp snapshots.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tesmira::demo {

using Clock = std::chrono::steady_clock;

struct Program {
  HANDLE process = nullptr;  // nullptr when it did not start
  DWORD id = 0;
};

// Starts `program` with `arguments`, with the demo's environment.
Program spawnProgram(const std::filesystem::path& program, const std::vector<std::wstring>& arguments = {});
// Terminates it, waits for its end and closes its handle.
void killProgram(Program& program);

// Watches for processes running `program`: when each appeared and when it went.
class ProcessWatch {
 public:
  struct Run {
    DWORD pid;
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
