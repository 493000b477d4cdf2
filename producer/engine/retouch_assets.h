#pragma once
// Loaders for the engine's masks and colour lookup texture.
#include <opencv2/core.hpp>

#include <filesystem>

namespace tesmira {

// One plane as 32-bit floats in 0..1 (channel 0 red, 1 green, 2 blue; a one-channel file
// gives its only plane). Throws std::runtime_error.
cv::Mat loadImageChannel(const std::filesystem::path& path, int channel);
// The lookup texture as three 32-bit float planes in red, green, blue order, 0..1.
cv::Mat loadLookupTexture(const std::filesystem::path& path);

}  // namespace tesmira
