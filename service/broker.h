#pragma once
// The service's broker: creates the six shared-memory channels and the frame-ready
// event, seeds every channel whose header is not current, and holds it all until the
// service stops, so that the channels outlive every producer, media source and agent.
#include <windows.h>

#include <string>

namespace tesmira {

struct SharedChannelSet {
  HANDLE settings = nullptr;
  HANDLE capabilities = nullptr;
  HANDLE control = nullptr;
  HANDLE frame = nullptr;
  HANDLE consumers = nullptr;
  HANDLE producerStatus = nullptr;
  HANDLE frameReadyEvent = nullptr;
  void* settingsView = nullptr;
  void* capabilitiesView = nullptr;
  void* controlView = nullptr;
  void* frameView = nullptr;
  void* consumersView = nullptr;
  void* producerStatusView = nullptr;
  std::wstring failedStep;  // empty until a creation fails
};

// Creates (or joins) the page-file mapping, Global\ then Local\, with the channels' SDDL.
HANDLE createChannelMapping(const wchar_t* name, size_t size);

// True when every object was created; on a failure the set keeps what came before
// it, failedStep names the step and the log says why.
bool createSharedChannels(SharedChannelSet& set);
// Unmaps and closes whatever the set holds; safe on a partly filled set.
void closeSharedChannels(SharedChannelSet& set);

}  // namespace tesmira
