#pragma once
// Scalar C++ references of the compositor's eight kernels, computed as the GPU does:
// textures hold 0..1 floats (BGR in xyz), bilinear samples clamp to the edge, and the
// results are the values before the unorm store.
#include <array>
#include <cstdint>
#include <vector>

#include "producer/engine/compositor_constants.h"

namespace tesmira::reference {

using Texel = std::array<float, 4>;

struct Image {
  int width = 0;
  int height = 0;
  std::vector<Texel> texels;

  Image() = default;
  Image(int w, int h, Texel fill = {0, 0, 0, 0}) : width(w), height(h), texels(size_t(w) * h, fill) {}
  Texel& at(int x, int y) { return texels[size_t(y) * width + x]; }
  const Texel& at(int x, int y) const { return texels[size_t(y) * width + x]; }
  // Bilinear, clamp addressing, mip level 0.
  Texel sample(float u, float v) const;
};

// The unorm byte a store of v gives: saturate (NaN to 0), then round to nearest.
uint8_t unorm(float v);
std::vector<uint8_t> unormBytes(const Image& image);
// 8-bit RGBA or BGRA bytes as the view returns them (red, green, blue, alpha).
Image fromRgba8(const uint8_t* bytes, int w, int h);
Image fromBgra8(const uint8_t* bytes, int w, int h, bool opaque);

// `out` starts as the frame (the compositor copies it there first).
void delta(const Image& frame, const Image& deltaTex, const Params& p, Image& out);
Image composite(const Image& crop, const Image& field, const std::vector<float>& mask, const CompositeParams& p);
void residentPaste(const Image& frame, const Image& finalCrop, const Image& crop, const Params& p, Image& out);
Image nv12(const Image& src, const Nv12Params& p);
Image copyCameraFrame(const Image& src, const FrameCopyParams& p);
Image cas(const Image& src, const CasParams& p);
Image tone(const Image& src, const Image& lut, const ToneParams& p);
Image perspective(const Image& src, const std::vector<std::array<float, 2>>& field, const PerspectiveParams& p);

}  // namespace tesmira::reference
