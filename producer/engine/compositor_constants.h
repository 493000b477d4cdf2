#pragma once
// Constant-buffer layouts of the compositor's compute kernels (all bound at b0): a
// GPU-side format, so every offset and size is pinned.
#include <cstddef>
#include <cstdint>

namespace tesmira {

// delta and residentPaste: the crop-from-frame affine and the region of interest.
struct Params {
  float m0[2];  // (a, b)
  float m1[2];  // (d, e)
  float mt[2];  // (c, f)
  int32_t roiMin[2];
  int32_t roiMax[2];  // exclusive
  int32_t cropDim[2];
  int32_t pad[2];
  uint8_t zero[8];
};
static_assert(offsetof(Params, m0) == 0);
static_assert(offsetof(Params, m1) == 8);
static_assert(offsetof(Params, mt) == 16);
static_assert(offsetof(Params, roiMin) == 24);
static_assert(offsetof(Params, roiMax) == 32);
static_assert(offsetof(Params, cropDim) == 40);
static_assert(offsetof(Params, pad) == 48);
static_assert(offsetof(Params, zero) == 56);
static_assert(sizeof(Params) == 64);

struct CompositeParams {
  float gain;
  int32_t maskBypass;
  int32_t cropDim[2];
  int32_t fieldDim[2];  // carried, not read by the kernel
  int32_t cpad[2];
};
static_assert(offsetof(CompositeParams, gain) == 0);
static_assert(offsetof(CompositeParams, maskBypass) == 4);
static_assert(offsetof(CompositeParams, cropDim) == 8);
static_assert(offsetof(CompositeParams, fieldDim) == 16);
static_assert(offsetof(CompositeParams, cpad) == 24);
static_assert(sizeof(CompositeParams) == 32);

// nv12: the frame's size and the first block (4x2 pixels) its threads pack; the paste
// build also reads the paste as in Params, the perspective build the field's grid.
struct Nv12Params {
  int32_t frameDim[2];
  int32_t blockMin[2];
  float m0[2];
  float m1[2];
  float mt[2];
  int32_t roiMin[2];
  int32_t roiMax[2];  // exclusive
  int32_t cropDim[2];
  int32_t gridSize[2];  // the perspective build's field: columns, rows
  int32_t gpad[2];
};
static_assert(offsetof(Nv12Params, frameDim) == 0);
static_assert(offsetof(Nv12Params, blockMin) == 8);
static_assert(offsetof(Nv12Params, m0) == 16);
static_assert(offsetof(Nv12Params, m1) == 24);
static_assert(offsetof(Nv12Params, mt) == 32);
static_assert(offsetof(Nv12Params, roiMin) == 40);
static_assert(offsetof(Nv12Params, roiMax) == 48);
static_assert(offsetof(Nv12Params, cropDim) == 56);
static_assert(offsetof(Nv12Params, gridSize) == 64);
static_assert(offsetof(Nv12Params, gpad) == 72);
static_assert(sizeof(Nv12Params) == 80);

// The paste build's parameters for the paste p: its threads start at the block that holds
// the region's first pixel.
inline Nv12Params nv12PasteParams(int frameWidth, int frameHeight, const Params& p) {
  Nv12Params n{{frameWidth, frameHeight}, {p.roiMin[0] / 4, p.roiMin[1] / 2}};
  for (int i = 0; i < 2; ++i) {
    n.m0[i] = p.m0[i];
    n.m1[i] = p.m1[i];
    n.mt[i] = p.mt[i];
    n.roiMin[i] = p.roiMin[i];
    n.roiMax[i] = p.roiMax[i];
    n.cropDim[i] = p.cropDim[i];
  }
  return n;
}

// The nv12 kernel's threads: one per 4x2 block of the frame, in groups of 32x1 (rows of
// threads run markedly faster than 8x8 squares on CPU rasterisers).
constexpr uint32_t kNv12GroupWidth = 32;
inline uint32_t nv12GroupsX(int frameWidth) { return (uint32_t(frameWidth / 4) + kNv12GroupWidth - 1) / kNv12GroupWidth; }
inline uint32_t nv12GroupsY(int frameHeight) { return uint32_t((frameHeight + 1) / 2); }

struct FrameCopyParams {
  int32_t frameDim[2];
  int32_t mirrorX;  // 1 mirror, 0 not
  int32_t pad;
};
static_assert(offsetof(FrameCopyParams, frameDim) == 0);
static_assert(offsetof(FrameCopyParams, mirrorX) == 8);
static_assert(offsetof(FrameCopyParams, pad) == 12);
static_assert(sizeof(FrameCopyParams) == 16);

struct CasParams {
  int32_t frameDim[2];
  float sharpness;  // 0 < sharpness <= 1
  float cpad;
};
static_assert(offsetof(CasParams, frameDim) == 0);
static_assert(offsetof(CasParams, sharpness) == 8);
static_assert(offsetof(CasParams, cpad) == 12);
static_assert(sizeof(CasParams) == 16);

struct ToneParams {
  int32_t frameDim[2];
  int32_t tpad[2];
};
static_assert(offsetof(ToneParams, frameDim) == 0);
static_assert(offsetof(ToneParams, tpad) == 8);
static_assert(sizeof(ToneParams) == 16);

struct PerspectiveParams {
  int32_t gridSize[2];  // columns, rows
  int32_t frameDim[2];
};
static_assert(offsetof(PerspectiveParams, gridSize) == 0);
static_assert(offsetof(PerspectiveParams, frameDim) == 8);
static_assert(sizeof(PerspectiveParams) == 16);

}  // namespace tesmira
