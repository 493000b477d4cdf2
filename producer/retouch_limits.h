#pragma once
// The perspective correction's field: one offset per cell of this grid over the frame.
#include <cstdint>

namespace tesmira {

inline constexpr int32_t kPerspectiveColumns = 96;
inline constexpr int32_t kPerspectiveRows = 54;

}  // namespace tesmira
