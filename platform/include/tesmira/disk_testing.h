#pragma once
// Test hook: the free bytes GetDiskFreeSpaceExW reports on this machine (all its
// processes), whatever the host's disk has. Product code never includes this header.
#include <cstdint>
#include <optional>

#include "../minwindef.h"

namespace tesmira::platform::disktesting {

// nullopt: the host disk's own figures again.
TESMIRA_EXPORT void setFreeBytes(std::optional<uint64_t> bytes);

}  // namespace tesmira::platform::disktesting
