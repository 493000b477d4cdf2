#include "producer/kernel_objects.h"

#include <windows.h>
#include <sddl.h>

#include <string>

#include "common/channels.h"

namespace tesmira {
namespace {

// A security descriptor built from SDDL, freed on scope exit; none when the text is refused.
class SecurityFromSddl {
 public:
  explicit SecurityFromSddl(const wchar_t* sddl) {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor_, nullptr)) {
      descriptor_ = nullptr;
    }
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
  }
  ~SecurityFromSddl() {
    if (descriptor_) LocalFree(descriptor_);
  }
  SecurityFromSddl(const SecurityFromSddl&) = delete;
  SecurityFromSddl& operator=(const SecurityFromSddl&) = delete;
  SECURITY_ATTRIBUTES* get() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

std::wstring scoped(const wchar_t* prefix, const wchar_t* name) { return std::wstring(prefix) + name; }

}  // namespace

MappedChannel openOrCreateChannel(const wchar_t* name, size_t bytes, DWORD* lastError) {
  MappedChannel channel;
  DWORD error = 0;
  {
    SecurityFromSddl security(kChannelSddl);
    for (const wchar_t* prefix : {kGlobalPrefix, kLocalPrefix}) {
      channel.mapping = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, scoped(prefix, name).c_str());
      if (channel.mapping) break;
      error = GetLastError();
    }
    for (const wchar_t* prefix : {kGlobalPrefix, kLocalPrefix}) {
      if (channel.mapping) break;
      channel.mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, security.get(), PAGE_READWRITE, DWORD(uint64_t(bytes) >> 32),
                                           DWORD(bytes & 0xFFFFFFFFu), scoped(prefix, name).c_str());
      if (!channel.mapping) error = GetLastError();
    }
  }
  if (channel.mapping) {
    channel.view = MapViewOfFile(channel.mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes);
    if (!channel.view) {
      error = GetLastError();
      CloseHandle(channel.mapping);
      channel.mapping = nullptr;
    }
  }
  if (lastError) *lastError = channel.view ? 0 : error;
  return channel;
}

MappedChannel openChannelReadOnly(const wchar_t* name, size_t bytes) {
  for (const wchar_t* prefix : {kGlobalPrefix, kLocalPrefix}) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, scoped(prefix, name).c_str());
    if (!mapping) continue;
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, bytes);
    if (view) return {mapping, view};
    CloseHandle(mapping);
  }
  return {};
}

void closeMapping(MappedChannel& channel) {
  if (channel.view) UnmapViewOfFile(channel.view);
  if (channel.mapping) CloseHandle(channel.mapping);
  channel = {};
}

HANDLE openOrCreateFrameReadyEvent() {
  SecurityFromSddl security(kFrameReadyEventSddl);
  for (const wchar_t* prefix : {kGlobalPrefix, kLocalPrefix}) {
    if (HANDLE event = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, scoped(prefix, kFrameReadyEventName).c_str())) {
      return event;
    }
  }
  for (const wchar_t* prefix : {kGlobalPrefix, kLocalPrefix}) {
    if (HANDLE event = CreateEventW(security.get(), FALSE, FALSE, scoped(prefix, kFrameReadyEventName).c_str())) {
      return event;
    }
  }
  return nullptr;
}

void signalEvent(HANDLE event) {
  if (event) SetEvent(event);
}

void closeHandle(HANDLE& handle) {
  if (handle) CloseHandle(handle);
  handle = nullptr;
}

}  // namespace tesmira
