#pragma once
// The service's broker: creates the six shared-memory channels and the frame-ready
// event, seeds every channel whose header is not current, and holds it all until the
// service stops, so that the channels outlive every producer, media source and agent.
#include <windows.h>

#include <string>

#include "common/channel.h"

namespace tesmira {

// Each channel's mapping, and its view once every object exists.
struct SharedChannelSet {
  MappedChannel settings;
  MappedChannel capabilities;
  MappedChannel control;
  MappedChannel frame;
  MappedChannel consumers;
  MappedChannel producerStatus;
  HANDLE frameReadyEvent = nullptr;
  std::wstring failedStep;  // empty until a creation fails

  SharedChannelSet() = default;
  ~SharedChannelSet();
  SharedChannelSet(const SharedChannelSet&) = delete;
  SharedChannelSet& operator=(const SharedChannelSet&) = delete;
};

// True when every object was created; on a failure the set keeps what came before
// it, failedStep names the step and the log says why.
bool createSharedChannels(SharedChannelSet& set);
// Unmaps and closes whatever the set holds; safe on a partly filled set.
void closeSharedChannels(SharedChannelSet& set);

}  // namespace tesmira
