#include "tools/telemetry_collector/collector.h"

namespace tesmira::tools {

TelemetryCollector::TelemetryCollector() {
  server_.setResponder([this](const testing::HttpRequestRecord& request) {
    std::lock_guard lock(mutex_);
    batches_.push_back({std::chrono::steady_clock::now(), request.target, request.body});
    return testing::HttpAnswer{200, {{"Content-Type", "application/json"}}, "{}"};
  });
}

std::vector<TelemetryCollector::Batch> TelemetryCollector::batches() const {
  std::lock_guard lock(mutex_);
  return batches_;
}

nlohmann::json TelemetryCollector::batchesJson() const {
  nlohmann::json all = nlohmann::json::array();
  for (const auto& batch : batches()) {
    nlohmann::json body = nlohmann::json::parse(batch.body, nullptr, false);
    all.push_back(body.is_discarded() ? nlohmann::json(batch.body) : body);
  }
  return all;
}

}  // namespace tesmira::tools
