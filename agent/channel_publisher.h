#pragma once
// The agent's publications through the channels the service created: capture modes
// for the media source, consumer applications for the producer.
#include "agent/capabilities.h"
#include "agent/consumers.h"
#include "agent/supervisor.h"

namespace tesmira::agent {

class ChannelPublisher : public SessionPublisher {
 public:
  explicit ChannelPublisher(LogSink& log) : log_(log) {}
  void publishCapabilities(int32_t cameraIndex) override { agent::publishCapabilities(capabilities_, cameraIndex, log_); }
  void trackConsumers(bool demandIsFresh, uint64_t streamStartTick) override {
    agent::trackConsumers(consumers_, demandIsFresh, streamStartTick);
  }

 private:
  LogSink& log_;
  CapabilityPublication capabilities_;
  ConsumerTracker consumers_;
};

}  // namespace tesmira::agent
