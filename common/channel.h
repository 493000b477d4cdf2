#pragma once
// Named shared-memory channels and events as every program opens them: the name
// order, the mapped-view handle, the header check and the heartbeat rule.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "common/channels.h"

namespace tesmira {

// Tries `attempt` with "Global\<name>", then "Local\<name>", until one returns true;
// the prefix that worked, or nullptr when both were refused. Every named object of
// the system is looked up through here, so the order lives in one place.
template <class Attempt>
const wchar_t* firstScopedName(const wchar_t* name, Attempt&& attempt) {
  for (const wchar_t* prefix : {kGlobalPrefix, kLocalPrefix}) {
    if (attempt((std::wstring(prefix) + name).c_str())) return prefix;
  }
  return nullptr;
}

// A mapping handle and its view; both null when the channel is unavailable. Move-only:
// it unmaps and closes what it holds exactly once. Read the two fields, never set them.
struct MappedChannel {
  HANDLE mapping = nullptr;
  void* view = nullptr;

  MappedChannel() = default;
  MappedChannel(HANDLE mappingHandle, void* mappedView) : mapping(mappingHandle), view(mappedView) {}
  ~MappedChannel() { close(); }
  MappedChannel(MappedChannel&& other) noexcept
      : mapping(std::exchange(other.mapping, nullptr)), view(std::exchange(other.view, nullptr)) {}
  MappedChannel& operator=(MappedChannel&& other) noexcept {
    if (this != &other) {
      close();
      mapping = std::exchange(other.mapping, nullptr);
      view = std::exchange(other.view, nullptr);
    }
    return *this;
  }
  MappedChannel(const MappedChannel&) = delete;
  MappedChannel& operator=(const MappedChannel&) = delete;

  // Unmaps the view and closes the handle, each only if present.
  void close();
  template <class Block>
  Block* as() const {
    return static_cast<Block*>(view);
  }
};
inline void closeMapping(MappedChannel& channel) { channel.close(); }

// Opens an existing channel (Global\ then Local\) with `access` (FILE_MAP_READ, or with
// FILE_MAP_WRITE) and maps `bytes`; never creates one. A name whose mapping cannot be
// mapped, or whose view `accept` refuses, is closed and the next one tried.
template <class Accept>
MappedChannel openExistingChannel(const wchar_t* name, DWORD access, size_t bytes, Accept&& accept) {
  MappedChannel found;
  firstScopedName(name, [&](const wchar_t* scopedName) {
    MappedChannel channel(OpenFileMappingW(access, FALSE, scopedName), nullptr);
    if (!channel.mapping) return false;
    channel.view = MapViewOfFile(channel.mapping, access, 0, 0, bytes);
    if (!channel.view || !accept(static_cast<const void*>(channel.view))) return false;
    found = std::move(channel);
    return true;
  });
  return found;
}
inline MappedChannel openExistingChannel(const wchar_t* name, DWORD access, size_t bytes) {
  return openExistingChannel(name, access, bytes, [](const void*) { return true; });
}

// Opens an existing channel for reading and writing, Global\ then Local\; when neither
// exists, creates a page-file mapping of `bytes` with the security descriptor `sddl`
// (default security when it is null or refused), Global\ then Local\; then maps a
// read/write view of `bytes`. Without a view *lastError (when given) holds the Win32
// code of the last failed step, else 0.
MappedChannel openOrCreateChannel(const wchar_t* name, size_t bytes, DWORD* lastError = nullptr,
                                  const wchar_t* sddl = kChannelSddl);

// Creates (or, as CreateFileMappingW does, joins) a page-file mapping of `bytes` with
// `sddl` (default security when it is null or refused): Global\ first, Local\ only when
// that returns no handle. Null on failure, GetLastError() then tells the last attempt's
// reason; *prefixUsed (when given) receives the prefix of the name that worked.
HANDLE createChannelMapping(const wchar_t* name, size_t bytes, const wchar_t* sddl,
                            const wchar_t** prefixUsed = nullptr);

// createChannelMapping, then maps it read/write.
// The handle is kept when only the view fails (view null); *prefixUsed (when given)
// receives the prefix of the name that worked.
MappedChannel createChannel(const wchar_t* name, size_t bytes, const wchar_t* sddl,
                            const wchar_t** prefixUsed = nullptr);

// The named event with `access`, Global\ then Local\; null when neither opens.
HANDLE openExistingEvent(const wchar_t* name, DWORD access);
// An auto-reset, non-signalled event: opened as above when one exists, else created with
// `sddl`, Global\ then Local\; null when all four attempts fail.
HANDLE openOrCreateEvent(const wchar_t* name, DWORD access, const wchar_t* sddl);
// Auto-reset, not signalled, created (or joined) with `sddl`, Global\ then Local\; null
// when both fail, GetLastError() then tells why.
HANDLE createEvent(const wchar_t* name, const wchar_t* sddl);

// The channel's magic and version as its layout gives them; other processes write
// the block, so each word is read once with a relaxed atomic load.
template <class Block>
bool hasCurrentHeader(const Block& block) {
  const auto word = [](const uint32_t& field) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(field)).load(std::memory_order_relaxed);
  };
  return word(block.magic) == ChannelLayout<Block>::magic && word(block.version) == ChannelLayout<Block>::version;
}
// The same for raw bytes: false for no view and for fewer bytes than the whole channel.
template <class Block>
bool hasCurrentHeader(const void* view, size_t bytes) {
  return view && bytes >= ChannelLayout<Block>::bytes && hasCurrentHeader(*static_cast<const Block*>(view));
}

// A heartbeat tick counts while it is set, not later than `nowTick` and at most
// `windowMs` old. Each reader names its own window.
constexpr bool tickIsFresh(uint64_t tick, uint64_t nowTick, uint64_t windowMs) {
  return tick != 0 && tick <= nowTick && nowTick - tick <= windowMs;
}

}  // namespace tesmira
