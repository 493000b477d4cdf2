#pragma once
// The ranges of the retouch settings' global effects, shared by whoever reads or applies them.
#include <cstdint>

namespace tesmira {

// Tone presets 1..kToneCount; 0 is natural (no tone).
inline constexpr int32_t kToneCount = 5;

// The perspective correction's field: one offset per cell of this grid over the frame.
inline constexpr int32_t kPerspectiveColumns = 96;
inline constexpr int32_t kPerspectiveRows = 54;

}  // namespace tesmira
