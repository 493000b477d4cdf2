#include "core/faults.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "tesmira/d3d11_testing.h"
#include "tesmira/platform_testing.h"

namespace tesmira::platform::faults {
namespace {

struct Fault {
  uint32_t error;
  int remaining;  // -1: until cleared
  int skip = 0;   // calls that pass before the first failure
};

std::mutex gMutex;

// TESMIRA_FAULTS="site=error[:count];..." arms faults in a process that a test cannot
// reach in-process (a service the service manager started, say).
void armFromEnvironment(std::map<std::string, Fault>& table) {
  const char* text = std::getenv("TESMIRA_FAULTS");
  if (!text) return;
  std::string all(text);
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find(';', start);
    if (end == std::string::npos) end = all.size();
    const std::string entry = all.substr(start, end - start);
    start = end + 1;
    const size_t eq = entry.rfind('=');
    if (eq == std::string::npos || eq == 0) continue;
    const std::string value = entry.substr(eq + 1);
    char* rest = nullptr;
    const unsigned long error = std::strtoul(value.c_str(), &rest, 0);
    int count = -1;
    if (rest && *rest == ':') count = int(std::strtol(rest + 1, nullptr, 10));
    table[entry.substr(0, eq)] = Fault{uint32_t(error), count};
  }
}

std::map<std::string, Fault>& table() {
  static auto* t = [] {
    auto* made = new std::map<std::string, Fault>;
    armFromEnvironment(*made);
    return made;
  }();
  return *t;
}

}  // namespace

void inject(const std::string& site, uint32_t error, int count) {
  std::lock_guard lock(gMutex);
  table()[site] = Fault{error, count};
}

void injectAfter(const std::string& site, uint32_t error, int skip, int count) {
  std::lock_guard lock(gMutex);
  table()[site] = Fault{error, count, skip};
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
  if (it->second.skip > 0) {
    --it->second.skip;
    return std::nullopt;
  }
  uint32_t error = it->second.error;
  if (it->second.remaining > 0 && --it->second.remaining == 0) table().erase(it);
  return error;
}

}  // namespace tesmira::platform::faults
