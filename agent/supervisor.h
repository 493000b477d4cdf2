#pragma once
// One pass of the agent's supervision loop: settings, camera index into the control
// channel, demand from the heartbeat ticks, and the producer started, restarted and stopped.
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/agent_settings.h"
#include "common/channels.h"

namespace tesmira::agent {

inline constexpr uint64_t kAgentDemandWindowMs = 2500;
inline constexpr DWORD kPassIntervalMs = 500;

// The control channel as the agent sees it: opened, never created, kept once mapped.
class ControlChannel {
 public:
  virtual ~ControlChannel() = default;
  // The mapped block, or nullptr while no service has created the channel.
  virtual VcamControlBlock* map() = 0;
};

// The one producer process the agent owns.
class ProducerControl {
 public:
  virtual ~ProducerControl() = default;
  virtual bool running() const = 0;
  // The recorded producer's process has ended (a wait with time-out 0 is signalled).
  virtual bool exited() = 0;
  virtual bool exists(const std::filesystem::path& program) = 0;
  // Starts the program in arguments[0]; 0 or the Win32 error of the failed start.
  virtual DWORD start(const std::vector<std::wstring>& arguments) = 0;
  // Terminates a recorded producer (exit code 0), waits up to 3000 ms, clears the record.
  virtual void stop() = 0;
  virtual std::wstring errorText(DWORD code) = 0;
};

// Capture modes and consumer applications published for the media source and the producer.
class SessionPublisher {
 public:
  virtual ~SessionPublisher() = default;
  virtual void publishCapabilities(int32_t cameraIndex) {}
  virtual void trackConsumers(bool demandIsFresh, uint64_t streamStartTick) {}
};

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void line(const std::wstring& message) = 0;
};

// Demand: the newer heartbeat is non-zero, not in the future and at most 2500 ms old.
bool heartbeatIsFresh(uint64_t tick, uint64_t nowMs);

class Supervisor {
 public:
  Supervisor(SettingsKey& settings, ControlChannel& control, ProducerControl& producer,
             SessionPublisher& publisher, LogSink& log, std::filesystem::path agentFolder);

  void runPass();
  uint64_t lastDemandMs() const { return lastDemandMs_; }

 private:
  void startProducer(const AgentSettings& settings);

  SettingsKey& settings_;
  ControlChannel& control_;
  ProducerControl& producer_;
  SessionPublisher& publisher_;
  LogSink& log_;
  std::filesystem::path agentFolder_;
  uint64_t lastDemandMs_ = 0;
  bool idleLogged_ = false;
};

}  // namespace tesmira::agent
