#include "common/channel.h"

#include <windows.h>
#include <sddl.h>

namespace tesmira {
namespace {

// A security descriptor built from SDDL, freed on scope exit; none when there is no
// text or the text is refused, so the object gets the default security.
class SecurityFromSddl {
 public:
  explicit SecurityFromSddl(const wchar_t* sddl) {
    if (sddl && !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor_, nullptr)) {
      descriptor_ = nullptr;
    }
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
  }
  // Freeing keeps the last error: callers report the creation's failure after this.
  ~SecurityFromSddl() {
    if (!descriptor_) return;
    const DWORD error = GetLastError();
    LocalFree(descriptor_);
    SetLastError(error);
  }
  SecurityFromSddl(const SecurityFromSddl&) = delete;
  SecurityFromSddl& operator=(const SecurityFromSddl&) = delete;
  SECURITY_ATTRIBUTES* get() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

HANDLE createPageFileMapping(SECURITY_ATTRIBUTES* security, size_t bytes, const wchar_t* scopedName) {
  return CreateFileMappingW(INVALID_HANDLE_VALUE, security, PAGE_READWRITE, DWORD(uint64_t(bytes) >> 32),
                            DWORD(bytes & 0xFFFFFFFFu), scopedName);
}

// Maps the whole channel read/write; without a view the handle is closed and
// *error holds the reason.
void mapReadWrite(MappedChannel& channel, size_t bytes, DWORD& error) {
  if (!channel.mapping) return;
  channel.view = MapViewOfFile(channel.mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes);
  if (!channel.view) {
    error = GetLastError();
    channel.close();
  }
}

}  // namespace

void MappedChannel::close() {
  if (view) UnmapViewOfFile(view);
  if (mapping) CloseHandle(mapping);
  view = nullptr;
  mapping = nullptr;
}

MappedChannel openOrCreateChannel(const wchar_t* name, size_t bytes, DWORD* lastError, const wchar_t* sddl) {
  MappedChannel channel;
  DWORD error = 0;
  {
    SecurityFromSddl security(sddl);
    firstScopedName(name, [&](const wchar_t* scopedName) {
      channel.mapping = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, scopedName);
      if (!channel.mapping) error = GetLastError();
      return channel.mapping != nullptr;
    });
    if (!channel.mapping) {
      firstScopedName(name, [&](const wchar_t* scopedName) {
        channel.mapping = createPageFileMapping(security.get(), bytes, scopedName);
        if (!channel.mapping) error = GetLastError();
        return channel.mapping != nullptr;
      });
    }
  }
  mapReadWrite(channel, bytes, error);
  if (lastError) *lastError = channel.view ? 0 : error;
  return channel;
}

HANDLE createChannelMapping(const wchar_t* name, size_t bytes, const wchar_t* sddl, const wchar_t** prefixUsed) {
  SecurityFromSddl security(sddl);
  HANDLE mapping = nullptr;
  const wchar_t* prefix = firstScopedName(name, [&](const wchar_t* scopedName) {
    mapping = createPageFileMapping(security.get(), bytes, scopedName);
    return mapping != nullptr;
  });
  if (prefixUsed) *prefixUsed = prefix;
  return mapping;
}

MappedChannel createChannel(const wchar_t* name, size_t bytes, const wchar_t* sddl, const wchar_t** prefixUsed) {
  MappedChannel channel(createChannelMapping(name, bytes, sddl, prefixUsed), nullptr);
  if (channel.mapping) channel.view = MapViewOfFile(channel.mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes);
  return channel;
}

HANDLE openExistingEvent(const wchar_t* name, DWORD access) {
  HANDLE event = nullptr;
  firstScopedName(name, [&](const wchar_t* scopedName) {
    event = OpenEventW(access, FALSE, scopedName);
    return event != nullptr;
  });
  return event;
}

HANDLE createEvent(const wchar_t* name, const wchar_t* sddl) {
  SecurityFromSddl security(sddl);
  HANDLE event = nullptr;
  firstScopedName(name, [&](const wchar_t* scopedName) {
    event = CreateEventW(security.get(), FALSE, FALSE, scopedName);
    return event != nullptr;
  });
  return event;
}

HANDLE openOrCreateEvent(const wchar_t* name, DWORD access, const wchar_t* sddl) {
  if (HANDLE event = openExistingEvent(name, access)) return event;
  return createEvent(name, sddl);
}

}  // namespace tesmira
