#include "service/broker.h"

#include "common/channel.h"
#include "common/channels.h"
#include "common/error_text.h"
#include "common/file_log.h"

namespace tesmira {
namespace {

struct ChannelStep {
  const wchar_t* word;  // as the step name and the log line say it
  const wchar_t* name;
  size_t size;
  MappedChannel SharedChannelSet::*channel;
};

// Creation order; the seeding order differs and is spelled out below.
const ChannelStep kSteps[] = {
    {L"capabilities", kVcamCapabilitiesChannelName, sizeof(VcamCapabilitiesBlock), &SharedChannelSet::capabilities},
    {L"settings", kRetouchSettingsChannelName, sizeof(RetouchSettingsBlock), &SharedChannelSet::settings},
    {L"control", kVcamControlChannelName, sizeof(VcamControlBlock), &SharedChannelSet::control},
    {L"frame", kFrameChannelName, kFrameChannelBytes, &SharedChannelSet::frame},
    {L"consumers", kVcamConsumersChannelName, sizeof(VcamConsumersBlock), &SharedChannelSet::consumers},
    {L"producer-status", kProducerStatusChannelName, sizeof(ProducerStatusBlock), &SharedChannelSet::producerStatus},
};
enum StepIndex { kCapabilities, kSettings, kControl, kFrame, kConsumers, kProducerStatus };

// Maps the channel's view into the set; a view that cannot be mapped leaves the
// channel unseeded and is not reported.
void* mapInto(SharedChannelSet& set, const ChannelStep& step) {
  MappedChannel& channel = set.*step.channel;
  channel.view = MapViewOfFile(channel.mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, step.size);
  return channel.view;
}

// A live header keeps everything after it; anything else gets the whole seed.
template <class Block>
void seedBlock(SharedChannelSet& set, StepIndex index, const Block& seed) {
  auto* block = static_cast<Block*>(mapInto(set, kSteps[index]));
  if (block && !hasCurrentHeader(*block)) *block = seed;
}

}  // namespace

bool createSharedChannels(SharedChannelSet& set) {
  for (const ChannelStep& step : kSteps) {
    MappedChannel& channel = set.*step.channel;
    channel = MappedChannel(createChannelMapping(step.name, step.size, kChannelSddl), nullptr);
    if (!channel.mapping) {
      const DWORD error = GetLastError();
      set.failedStep = std::wstring(L"create ") + step.word + L" mapping";
      appendLogLine(std::wstring(L"broker: failed to create ") + step.word + L" mapping: " + win32ErrorToText(error));
      return false;
    }
  }
  set.frameReadyEvent = createEvent(kFrameReadyEventName, kFrameReadyEventSddl);
  if (!set.frameReadyEvent) {
    const DWORD error = GetLastError();
    set.failedStep = L"create frame-ready event";
    appendLogLine(L"broker: failed to create frame-ready event: " + win32ErrorToText(error));
    return false;
  }

  seedBlock(set, kSettings, freshRetouchSettingsBlock());
  seedBlock(set, kCapabilities, freshVcamCapabilitiesBlock());
  seedBlock(set, kControl, freshVcamControlBlock());
  seedBlock(set, kConsumers, freshVcamConsumersBlock());
  seedBlock(set, kProducerStatus, freshProducerStatusBlock());
  // Only the frame head is seeded: the slots and pixels are megabytes that no reader
  // trusts without a published slot.
  if (auto* frame = static_cast<RetouchFrameHeader*>(mapInto(set, kSteps[kFrame]))) {
    if (!hasCurrentHeader(*frame)) seedFrameHeader(*frame);
  }

  appendLogLine(L"broker: shared IPC objects created, seeded and held");
  return true;
}

SharedChannelSet::~SharedChannelSet() { closeSharedChannels(*this); }

void closeSharedChannels(SharedChannelSet& set) {
  set.consumers.close();
  set.producerStatus.close();
  set.capabilities.close();
  if (set.frameReadyEvent) CloseHandle(set.frameReadyEvent);
  set.frameReadyEvent = nullptr;
  set.frame.close();
  set.control.close();
  set.settings.close();
}

}  // namespace tesmira
