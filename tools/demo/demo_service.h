#pragma once
// The service's side of the demo, as an administrator meets it: an install folder laid out
// as the installer would, `install` run there, the channels the service created opened
// (never created), the agent relaunched in the user's session as LocalSystem would, and
// `uninstall` at the end, with what each step said and how long it took.
#include <windows.h>
#include <winsvc.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/channel.h"
#include "common/channels.h"

namespace tesmira::demo {

// The six channels as the service created them, opened for reading and writing; the demo
// holds them as any other process of the road would.
class ServiceChannels {
 public:
  // Empty on success, else the channels that do not exist (nothing is created).
  std::wstring open();

  RetouchFrameHeader* frame() const { return channel(kFrame).as<RetouchFrameHeader>(); }
  const uint8_t* frameBytes() const { return static_cast<const uint8_t*>(channel(kFrame).view); }
  RetouchSettingsBlock* settings() const { return channel(kSettings).as<RetouchSettingsBlock>(); }
  ProducerStatusBlock* status() const { return channel(kStatus).as<ProducerStatusBlock>(); }
  VcamCapabilitiesBlock* capabilities() const { return channel(kCapabilities).as<VcamCapabilitiesBlock>(); }
  const std::wstring& prefixUsed() const { return prefix_; }

 private:
  enum Index { kCapabilities, kSettings, kControl, kFrame, kConsumers, kStatus, kCount };
  const MappedChannel& channel(Index i) const { return channels_[i]; }

  std::array<MappedChannel, kCount> channels_;
  std::wstring prefix_;
};

struct ServiceDemoPaths {
  std::filesystem::path tool, agent, producer, mediaSource;  // as built
  std::filesystem::path installFolder;                       // where the installer puts them
};

class ServiceDemo {
 public:
  explicit ServiceDemo(ServiceDemoPaths paths) : paths_(std::move(paths)) {}
  ~ServiceDemo();
  ServiceDemo(const ServiceDemo&) = delete;
  ServiceDemo& operator=(const ServiceDemo&) = delete;

  // Each step returns an empty string on success, else what failed.
  std::string layOut();
  // The installed copies, under their Windows names.
  std::filesystem::path installed(const wchar_t* name) const { return paths_.installFolder / name; }
  // Describes the machine's one user session: active, `user`, `sessionId`.
  std::string describeSession(const std::wstring& user, DWORD sessionId);
  std::string install();
  // relaunch-agent as LocalSystem; returns once the agent's log says "agent starting".
  std::string relaunchAgent();
  DWORD agentPid() const { return agentPid_; }
  std::chrono::steady_clock::time_point relaunched() const { return relaunched_; }
  // Ends the relaunched agent by its process id.
  std::string endAgent();
  // uninstall, then waits for STOPPED.
  std::string uninstall();

  // The summary's lines: output, statuses, log lines and the measured figures.
  std::string summary() const;
  std::string figures() const;

 private:
  struct Seen {
    double atMs;
    SERVICE_STATUS status;
  };
  void watch();
  std::optional<double> firstSeen(DWORD state) const;

  ServiceDemoPaths paths_;
  std::string installOutput_, uninstallOutput_;
  int installExit_ = -1, uninstallExit_ = -1;
  std::chrono::steady_clock::time_point watchStart_{};
  std::optional<double> installMs_, installStartedMs_, relaunchToAgentMs_;
  std::chrono::steady_clock::time_point relaunched_{};
  DWORD agentPid_ = 0;
  std::string agentEnd_;
  std::string recordedStatuses_;
  std::string serviceLog_;
  std::string session_;
  mutable std::mutex mutex_;
  std::vector<Seen> seen_;
  std::atomic<bool> stopWatch_{false};
  std::thread watcher_;
};

}  // namespace tesmira::demo
