// Channels for builds whose platform does not offer named mappings and events yet:
// each name is a zeroed block shared by everything in this process, as a fresh
// Local\ mapping would be. The console handler and timer period do nothing.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/channels.h"
#include "producer/kernel_objects.h"

namespace tesmira {
namespace {

struct Block {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
};

std::mutex gBlocksMutex;
std::map<std::wstring, Block>& blocks() {
  static std::map<std::wstring, Block> named;
  return named;
}

constexpr DWORD kFileNotFound = 2;       // ERROR_FILE_NOT_FOUND
constexpr DWORD kAccessDenied = 5;       // ERROR_ACCESS_DENIED: a view larger than the object

void* viewOf(const wchar_t* name, size_t bytes, bool create, DWORD* error) {
  std::lock_guard lock(gBlocksMutex);
  const std::wstring key = std::wstring(kLocalPrefix) + name;
  auto it = blocks().find(key);
  if (it == blocks().end()) {
    if (!create) {
      *error = kFileNotFound;
      return nullptr;
    }
    Block block{std::make_unique<uint8_t[]>(bytes), bytes};
    std::memset(block.bytes.get(), 0, bytes);
    it = blocks().emplace(key, std::move(block)).first;
  }
  if (bytes > it->second.size) {
    *error = kAccessDenied;
    return nullptr;
  }
  return it->second.bytes.get();
}

}  // namespace

MappedChannel openOrCreateChannel(const wchar_t* name, size_t bytes, DWORD* lastError) {
  DWORD error = 0;
  void* view = viewOf(name, bytes, true, &error);
  if (lastError) *lastError = error;
  return {view, view};
}

MappedChannel openChannelReadOnly(const wchar_t* name, size_t bytes) {
  DWORD error = 0;
  void* view = viewOf(name, bytes, false, &error);
  return {view, view};
}

void closeMapping(MappedChannel& channel) { channel = {}; }
HANDLE openOrCreateFrameReadyEvent() { return nullptr; }
void signalEvent(HANDLE) {}
void closeHandle(HANDLE& handle) { handle = nullptr; }
void installConsoleHandler(ConsoleHandler) {}
void beginTimerPeriod() {}
void endTimerPeriod() {}

}  // namespace tesmira
