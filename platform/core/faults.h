#pragma once
// Fault injection at the layer's call sites (see tesmira/platform_testing.h).
#include <cstdint>
#include <optional>
#include <string>

namespace tesmira::platform::faults {

// The error injected for this site, consuming one use; nullopt when none.
// Sites are named "<Function>" or "<Function>.<detail>", e.g. "CreateFileMappingW.Global".
std::optional<uint32_t> take(const std::string& site);

}  // namespace tesmira::platform::faults
