#pragma once
// The source reader's conversion of device frames into the type it delivers.
#include <cstddef>
#include <cstdint>

#include "../mfdevices/camera_device.h"

namespace tesmira::platform::mfreader {

enum class OutputFormat : uint32_t { NV12, RGB32 };

// Bytes of one tightly packed frame; 0 when the format cannot hold that size
// (NV12 needs even sides).
uint64_t outputBytes(OutputFormat format, uint32_t width, uint32_t height);

// Writes `frame` tightly packed into `destination` (NV12: width-byte rows; RGB32:
// B, G, R, 255 per pixel). False, writing nothing, when the frame is shorter than
// its rows, its stride is below its width, or the output does not fit.
bool convertFrame(const cameras::CameraFrame& frame, OutputFormat format, uint8_t* destination, size_t capacity);

}  // namespace tesmira::platform::mfreader
