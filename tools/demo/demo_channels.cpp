#include "tools/demo/demo_channels.h"

namespace tesmira::demo {
namespace {

// Writes the layout's seed unless the block already holds its current header.
template <class Block>
void seed(void* view, const Block& fresh) {
  auto* block = static_cast<Block*>(view);
  if (!hasCurrentHeader(*block)) *block = fresh;
}

}  // namespace

HeldChannels::~HeldChannels() {
  if (event_) CloseHandle(event_);
}

std::wstring HeldChannels::create() {
  struct ChannelSpec {
    const wchar_t* name;
    size_t size;
  };
  const ChannelSpec specs[kCount] = {
      {kVcamCapabilitiesChannelName, sizeof(VcamCapabilitiesBlock)},
      {kRetouchSettingsChannelName, sizeof(RetouchSettingsBlock)},
      {kVcamControlChannelName, sizeof(VcamControlBlock)},
      {kFrameChannelName, kFrameChannelBytes},
      {kVcamConsumersChannelName, sizeof(VcamConsumersBlock)},
      {kProducerStatusChannelName, sizeof(ProducerStatusBlock)},
  };
  // Global\ needs the service's privilege; a user's demo lands in Local\ as the broker would.
  for (int i = 0; i < kCount; ++i) {
    const wchar_t* prefix = nullptr;
    channels_[i] = createChannel(specs[i].name, specs[i].size, nullptr, &prefix);
    if (!channels_[i].mapping) return std::wstring(L"creating the mapping ") + specs[i].name + L" failed";
    if (i == 0) prefix_ = prefix;
    if (!channels_[i].view) return std::wstring(L"mapping a view of ") + specs[i].name + L" failed";
  }
  event_ = createEvent(kFrameReadyEventName, nullptr);
  if (!event_) return L"creating the frame-ready event failed";

  seed(channels_[kSettings].view, freshRetouchSettingsBlock());
  seed(channels_[kCapabilities].view, freshVcamCapabilitiesBlock());
  seed(channels_[kControl].view, freshVcamControlBlock());
  seed(channels_[kConsumers].view, freshVcamConsumersBlock());
  seed(channels_[kStatus].view, freshProducerStatusBlock());
  if (!hasCurrentHeader(*frame())) seedFrameHeader(*frame());
  return {};
}

}  // namespace tesmira::demo
