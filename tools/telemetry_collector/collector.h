#pragma once
// A telemetry backend for the demo and for trying the producer by hand: a loopback
// endpoint that answers every batch with 200 and {} and keeps each one in arrival order.
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/host_calls_http.h"

namespace tesmira::tools {

class TelemetryCollector {
 public:
  struct Batch {
    std::chrono::steady_clock::time_point arrived;
    std::string path;
    std::string body;
  };

  TelemetryCollector();
  bool listening() const { return server_.listening(); }
  // The producer's --telemetry-endpoint for this collector.
  std::string url() const { return server_.url("/api/telemetryBatch"); }
  std::vector<Batch> batches() const;
  // The batches in arrival order; a body that is not JSON is kept as text.
  nlohmann::json batchesJson() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Batch> batches_;
  testing::LoopbackHttpServer server_;  // last: its threads stop before the batches go
};

}  // namespace tesmira::tools
