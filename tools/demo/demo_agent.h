#pragma once
// The agent's part of the demo: the capture modes it publishes before "Tesmira" is
// opened, and the consumer it names while the application reads the camera.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/channels.h"

namespace tesmira::demo {

// The consumer scan leaves the system's own programs ("tesmira...") out, so the demo, which
// is the application, runs under another name: false when this process started that run
// (its exit code in `exitCode`), true when it is the run.
bool runUnderApplicationName(int& exitCode);

struct CapabilityPublication {
  bool published = false;
  double afterAgentStartMs = 0;
  std::vector<CameraCapability> modes;
};

// The capabilities channel's sequence now (0 when the channel cannot be opened).
uint32_t capabilitySequence();
// Waits until the sequence differs from `before`, at most `timeout`.
CapabilityPublication waitForCapabilities(uint32_t before, std::chrono::steady_clock::time_point agentStarted,
                                          std::chrono::milliseconds timeout);
std::string modeText(const CameraCapability& mode);
bool isPublishedMode(const CapabilityPublication& publication, uint32_t width, uint32_t height);

// Watches the consumers channel from another thread: when it first names this program
// after the application opened the camera, and when its count drops to 0 after the close.
class ConsumerWatch {
 public:
  explicit ConsumerWatch(std::chrono::steady_clock::time_point opened);
  ~ConsumerWatch();
  ConsumerWatch(const ConsumerWatch&) = delete;
  ConsumerWatch& operator=(const ConsumerWatch&) = delete;
  void closed(std::chrono::steady_clock::time_point at);
  // Waits (at most `timeout`) until the count went to 0 after the close.
  void waitForEmpty(std::chrono::milliseconds timeout);
  // The summary's lines about the consumers channel.
  std::string summary() const;

 private:
  void poll();

  const std::chrono::steady_clock::time_point opened_;
  const std::string ownKey_;
  mutable std::mutex mutex_;
  std::optional<std::chrono::steady_clock::time_point> closed_;
  std::optional<double> namedMs_, emptyMs_;
  std::u16string displayName_;
  std::string key_;
  uint32_t packaged_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tesmira::demo
