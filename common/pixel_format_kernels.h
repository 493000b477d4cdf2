#pragma once
// The conversions of pixel_format.h with the kernel named, so each kernel the
// machine can run is checked against the formulas, not only the one it picks.
#include <cstddef>
#include <cstdint>

namespace tesmira::pixel_kernels {

enum class Level { Scalar, Sse2, Avx2 };

// The fastest kernel this CPU runs; the public conversions use it.
Level best();
bool available(Level level);
const char* name(Level level);

void bgr24ToNv12(Level level, const uint8_t* bgr, size_t stride, uint32_t width, uint32_t height, uint8_t* nv12);
void bgr32ToNv12(Level level, const uint8_t* bgra, size_t stride, uint32_t width, uint32_t height, uint8_t* nv12);
void nv12ToRgb32(Level level, const uint8_t* nv12, uint32_t width, uint32_t height, uint8_t* bgra);

}  // namespace tesmira::pixel_kernels
