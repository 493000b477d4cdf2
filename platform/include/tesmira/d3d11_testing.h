#pragma once
// Test hooks of the Direct3D 11 layer. Product code never includes this header.
#include <cstdint>
#include <string>

#include "../minwindef.h"

namespace tesmira::platform::d3d11 {

// Which Vulkan device D3D11CreateDevice takes: "auto" (a GPU first, else the CPU
// rasteriser), "gpu", "cpu" or "none" (no device: DXGI_ERROR_UNSUPPORTED). The
// default comes from TESMIRA_D3D11_ADAPTER, else "auto".
TESMIRA_EXPORT void setAdapterChoice(const std::string& choice);

// While held, recorded work is not handed to the queue (flushes and query polls
// keep it back), so a test sees queries that are not ready yet. A Map that must
// wait hands it over regardless.
TESMIRA_EXPORT void holdQueue(bool hold);

// Messages of the Vulkan validation layer seen so far in this process (the layer is
// on when TESMIRA_VK_VALIDATION=1), and the first of them.
TESMIRA_EXPORT uint64_t validationMessageCount();
TESMIRA_EXPORT std::string firstValidationMessage();

// Whether the code a compile produced reads an unordered-access texture.
TESMIRA_EXPORT bool codeReadsStorageImage(const void* code, size_t bytes);

}  // namespace tesmira::platform::d3d11

namespace tesmira::platform::faults {
// As faults::inject, after letting `skip` calls of the site through: reaches the n-th
// Direct3D object a constructor makes.
TESMIRA_EXPORT void injectAfter(const std::string& site, uint32_t error, int skip, int count = 1);
}  // namespace tesmira::platform::faults
