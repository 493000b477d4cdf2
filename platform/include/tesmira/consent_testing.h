#pragma once
// Test hook: what the user's webcam consent store holds for this process's executable
// (the entry the frame server and source reader stand-ins write). Product code never
// includes this header.
#include <cstdint>
#include <optional>

#include "../minwindef.h"

namespace tesmira::platform::consenttesting {

struct CameraUse {
  uint64_t lastUsedTimeStart = 0;  // FILETIME units; 0 when the value is missing
  uint64_t lastUsedTimeStop = 0;
};

// Nothing when the store has no key for this executable.
TESMIRA_EXPORT std::optional<CameraUse> ownCameraUse();

}  // namespace tesmira::platform::consenttesting
