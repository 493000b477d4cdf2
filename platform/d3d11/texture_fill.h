#pragma once
// The layer's own way to fill a texture from the CPU, for Media Foundation's camera
// textures: the device's queue lock is taken even when protection is off.
#include <d3d11.h>

#include <cstdint>

namespace tesmira::platform::d3d11 {

// `texture`: a DEFAULT texture of this layer; rows of `pitch` bytes, at least width x 4.
HRESULT fillTexture(ID3D11Texture2D* texture, const uint8_t* rows, UINT pitch);

}  // namespace tesmira::platform::d3d11
