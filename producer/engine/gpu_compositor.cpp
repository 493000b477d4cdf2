#include "producer/engine/gpu_compositor.h"

#include <stdexcept>

namespace tesmira {

std::unique_ptr<GpuCompositor> createGpuCompositor() {
  // No compositor is built yet: the set-up meets what a machine without a hardware
  // device gives and takes its CPU fall-back.
  throw std::runtime_error("D3D11CreateDevice(compositor) failed with HRESULT 0x887A0004");
}

}  // namespace tesmira
