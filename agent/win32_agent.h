#pragma once
// The agent's supervision seams over the Windows API: the registry key, the control
// channel mapping, the producer process in its job, and the log file.
#include <windows.h>

#include "agent/supervisor.h"
#include "common/channel.h"

namespace tesmira::agent {

inline constexpr const wchar_t* kAgentMutexName = L"Local\\TesmiraAgentSingleton";
inline constexpr DWORD kProducerStopWaitMs = 3000;

class RegistrySettingsKey : public SettingsKey {
 public:
  LSTATUS query(const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) override;
};

// mapVcamControl: opens "Global\" then "Local\", maps 80 bytes, keeps the view once mapped.
class MappedControlChannel : public ControlChannel {
 public:
  MappedControlChannel() = default;
  MappedControlChannel(const MappedControlChannel&) = delete;
  MappedControlChannel& operator=(const MappedControlChannel&) = delete;
  VcamControlBlock* map() override;

 private:
  MappedChannel channel_;
};

struct ProducerProcess {
  HANDLE process = nullptr;
  HANDLE thread = nullptr;
  DWORD processId = 0;
  DWORD threadId = 0;
  bool running = false;
};

// Producers run in a kill-on-close job (when there is one), so they die with the agent.
class JobProducerControl : public ProducerControl {
 public:
  explicit JobProducerControl(HANDLE job) : job_(job) {}
  JobProducerControl(const JobProducerControl&) = delete;
  JobProducerControl& operator=(const JobProducerControl&) = delete;
  ~JobProducerControl() override;

  bool running() const override { return record_.running; }
  bool exited() override;
  bool exists(const std::filesystem::path& program) override;
  DWORD start(const std::vector<std::wstring>& arguments) override;
  void stop() override;
  std::wstring errorText(DWORD code) override;
  const ProducerProcess& record() const { return record_; }

 private:
  HANDLE job_;
  ProducerProcess record_;
};

class FileLog : public LogSink {
 public:
  void line(const std::wstring& message) override;
};

// An anonymous job whose only limit is kill-on-job-close; nullptr when it cannot be made.
HANDLE createKillOnCloseJob();

// The whole program: singleton, job, then a pass every 500 ms, forever.
int runAgent();

}  // namespace tesmira::agent
