#pragma once
#include <cstdint>
#include <optional>

#include "minwindef.h"

namespace tesmira::platform::security {

// The Linux permission bits (owner, group, other; rwx) that a parsed descriptor's DACL
// grants. LocalSystem and Administrators are the owner's share; every other trustee
// (users, services, everyone) is the group's and others'. A folder that may be read may
// be traversed. nullopt when the pointer is not a descriptor of ours or has no DACL.
std::optional<uint32_t> modeFor(PSECURITY_DESCRIPTOR descriptor, bool folder);

// Elevated when the effective user is root, unless TESMIRA_ELEVATED says otherwise:
// "1" forces elevated, "0" forces not elevated (inherited by child processes).
bool processIsElevated();

}  // namespace tesmira::platform::security
