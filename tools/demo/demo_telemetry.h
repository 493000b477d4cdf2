#pragma once
// The demo's telemetry step: a collector stands in for the backend, the producer finds it
// through telemetry-endpoint.txt in its repo root, and the summary says what arrived.
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "tools/telemetry_collector/collector.h"

namespace tesmira::demo {

class DemoTelemetry {
 public:
  // Starts the collector, writes its URL to repoRoot\telemetry-endpoint.txt and gives the
  // processes the demo starts the demo user's AppData inside the machine folder.
  explicit DemoTelemetry(const std::filesystem::path& repoRoot);

  // Leaves output\telemetry.json (the batches in arrival order) and returns the summary's
  // telemetry section, measured: batches, events and their states, the time from the first
  // live frame to the first event, and the checks on every event and on the local queue.
  // firstLiveMs: the first live frame, in milliseconds after opened.
  std::string finish(const std::filesystem::path& output, uint32_t frameWidth, uint32_t frameHeight,
                     std::chrono::steady_clock::time_point opened, std::optional<double> firstLiveMs) const;

 private:
  tools::TelemetryCollector collector_;
  std::filesystem::path queueFile_;
};

}  // namespace tesmira::demo
