#include "tools/demo/demo_channels.h"

#include <atomic>
#include <cstring>

namespace tesmira::demo {
namespace {

struct ChannelSpec {
  const wchar_t* name;
  size_t size;
};

HANDLE createMapping(const std::wstring& name, size_t size) {
  return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, DWORD(size), name.c_str());
}

}  // namespace

HeldChannels::~HeldChannels() {
  for (int i = 0; i < kCount; ++i) {
    if (views_[i]) UnmapViewOfFile(views_[i]);
    if (mappings_[i]) CloseHandle(mappings_[i]);
  }
  if (event_) CloseHandle(event_);
}

std::wstring HeldChannels::create() {
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
    for (const wchar_t* prefix : {kGlobalPrefix, kLocalPrefix}) {
      mappings_[i] = createMapping(std::wstring(prefix) + specs[i].name, specs[i].size);
      if (mappings_[i]) {
        if (i == 0) prefix_ = prefix;
        break;
      }
    }
    if (!mappings_[i]) return std::wstring(L"creating the mapping ") + specs[i].name + L" failed";
    views_[i] = MapViewOfFile(mappings_[i], FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, specs[i].size);
    if (!views_[i]) return std::wstring(L"mapping a view of ") + specs[i].name + L" failed";
  }
  for (const wchar_t* prefix : {kGlobalPrefix, kLocalPrefix}) {
    event_ = CreateEventW(nullptr, FALSE, FALSE, (std::wstring(prefix) + kFrameReadyEventName).c_str());
    if (event_) break;
  }
  if (!event_) return L"creating the frame-ready event failed";

  auto* settings = static_cast<RetouchSettingsBlock*>(views_[kSettings]);
  if (settings->magic != kRetouchSettingsMagic || settings->version != kRetouchSettingsVersion) {
    *settings = RetouchSettingsBlock{kRetouchSettingsMagic, kRetouchSettingsVersion, 0, 0.75f, 0.25f, 0.65f, 0.45f,
                                     0.22f, 0.25f, 1.0f, 0, 0.0f, 0, 0.55f};
  }
  auto* capabilities = static_cast<VcamCapabilitiesBlock*>(views_[kCapabilities]);
  if (capabilities->magic != kVcamCapabilitiesMagic || capabilities->version != kVcamCapabilitiesVersion) {
    std::memset(capabilities, 0, sizeof(*capabilities));
    capabilities->magic = kVcamCapabilitiesMagic;
    capabilities->version = kVcamCapabilitiesVersion;
  }
  VcamControlBlock* control = this->control();
  if (control->magic != kVcamControlMagic || control->version != kVcamControlVersion) {
    *control = freshVcamControlBlock();
  }
  auto* consumers = static_cast<VcamConsumersBlock*>(views_[kConsumers]);
  if (consumers->magic != kVcamConsumersMagic || consumers->version != kVcamConsumersVersion) {
    std::memset(consumers, 0, sizeof(*consumers));
    consumers->magic = kVcamConsumersMagic;
    consumers->version = kVcamConsumersVersion;
  }
  ProducerStatusBlock* status = this->status();
  if (status->magic != kProducerStatusMagic || status->version != kProducerStatusVersion) {
    *status = ProducerStatusBlock{};
    status->magic = kProducerStatusMagic;
    status->version = kProducerStatusVersion;
  }
  RetouchFrameHeader* frame = this->frame();
  if (frame->magic != kFrameMagic || frame->version != kFrameVersion) {
    frame->magic = kFrameMagic;
    frame->version = kFrameVersion;
    frame->frameCounter = 0;
    std::atomic_ref<uint32_t>(frame->latestSlot).exchange(kNoSlot);
  }
  return {};
}

}  // namespace tesmira::demo
