#include "core/faults.h"

#include <map>
#include <mutex>

#include "tesmira/platform_testing.h"

namespace tesmira::platform::faults {
namespace {

struct Fault {
  uint32_t error;
  int remaining;  // -1: until cleared
};

std::mutex gMutex;
std::map<std::string, Fault>& table() {
  static auto* t = new std::map<std::string, Fault>;
  return *t;
}

}  // namespace

void inject(const std::string& site, uint32_t error, int count) {
  std::lock_guard lock(gMutex);
  table()[site] = Fault{error, count};
}

void clear(const std::string& site) {
  std::lock_guard lock(gMutex);
  table().erase(site);
}

void clearAll() {
  std::lock_guard lock(gMutex);
  table().clear();
}

std::optional<uint32_t> take(const std::string& site) {
  std::lock_guard lock(gMutex);
  auto it = table().find(site);
  if (it == table().end()) return std::nullopt;
  uint32_t error = it->second.error;
  if (it->second.remaining > 0 && --it->second.remaining == 0) table().erase(it);
  return error;
}

}  // namespace tesmira::platform::faults
