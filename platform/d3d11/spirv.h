#pragma once
// The little the layer reads and changes in the SPIR-V that D3DCompile makes.
#include <cstdint>
#include <string>
#include <vector>

namespace tesmira::platform::d3d11 {

// Register classes as binding ranges: b0.. at 0, s0.. at 16, t0.. at 32, u0.. at 160.
constexpr uint32_t kConstantBufferBase = 0;
constexpr uint32_t kSamplerBase = 16;
constexpr uint32_t kShaderResourceBase = 32;
constexpr uint32_t kUnorderedAccessBase = 160;
constexpr uint32_t kUnorderedAccessEnd = 224;

enum class DescriptorKind { SampledImage, StorageImage, Sampler, UniformBuffer, StorageBuffer };

struct ShaderBinding {
  uint32_t binding;
  DescriptorKind kind;
};

struct ShaderInterface {
  std::vector<ShaderBinding> bindings;
  bool readsStorageImage = false;
};

// Reads the resource bindings of a compute module; false (with a reason) when the
// words are not a module this layer made.
bool reflectModule(const uint32_t* words, size_t count, ShaderInterface& out, std::string& error);

// Gives every written-only storage image the format Unknown (a view of any format
// may then be bound, as in Direct3D) and declares StorageImageWriteWithoutFormat.
// Fails for a module that reads a storage image of a format other than one
// 32-bit channel, which cs_5_0 refuses as well.
bool rewriteStorageImageFormats(std::vector<uint32_t>& words, std::string& error);

}  // namespace tesmira::platform::d3d11
