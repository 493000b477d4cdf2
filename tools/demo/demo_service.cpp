#include "tools/demo/demo_service.h"

namespace tesmira::demo {

std::wstring BrokerChannels::create() {
  if (!createSharedChannels(set_)) return L"the broker failed at " + set_.failedStep;
  if (!set_.frameView || !set_.producerStatusView || !set_.capabilitiesView) return L"a channel could not be mapped";
  // Global\ needs the service's privilege; a user's demo lands in Local\ as the broker would.
  HANDLE global = OpenFileMappingW(FILE_MAP_READ, FALSE, (std::wstring(kGlobalPrefix) + kFrameChannelName).c_str());
  prefix_ = global ? kGlobalPrefix : kLocalPrefix;
  if (global) CloseHandle(global);
  return {};
}

}  // namespace tesmira::demo
