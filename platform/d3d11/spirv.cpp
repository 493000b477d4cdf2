#include "d3d11/spirv.h"

#include <map>
#include <set>

namespace tesmira::platform::d3d11 {
namespace {

constexpr uint32_t kMagic = 0x07230203;
constexpr uint32_t kHeaderWords = 5;

enum Op : uint32_t {
  OpCapability = 17,
  OpTypeImage = 25,
  OpTypeSampler = 26,
  OpTypeStruct = 30,
  OpTypePointer = 32,
  OpVariable = 59,
  OpLoad = 61,
  OpDecorate = 71,
  OpImageRead = 98,
};
constexpr uint32_t kDecorationBlock = 2;
constexpr uint32_t kDecorationBufferBlock = 3;
constexpr uint32_t kDecorationBinding = 33;
constexpr uint32_t kDecorationDescriptorSet = 34;
constexpr uint32_t kStorageUniformConstant = 0;
constexpr uint32_t kStorageUniform = 2;
constexpr uint32_t kStorageStorageBuffer = 12;
constexpr uint32_t kCapabilityStorageImageWriteWithoutFormat = 56;
constexpr uint32_t kFormatUnknown = 0;
constexpr uint32_t kFormatR32f = 3;
constexpr uint32_t kFormatR32i = 24;
constexpr uint32_t kFormatR32ui = 33;

// Calls f(offset, opcode, wordCount) for each instruction; false when malformed.
template <class F>
bool forEachInstruction(const uint32_t* words, size_t count, F&& f) {
  if (count < kHeaderWords || words[0] != kMagic) return false;
  size_t at = kHeaderWords;
  while (at < count) {
    uint32_t wordCount = words[at] >> 16;
    if (wordCount == 0 || at + wordCount > count) return false;
    f(at, words[at] & 0xffff, wordCount);
    at += wordCount;
  }
  return true;
}

struct ModuleFacts {
  std::map<uint32_t, uint32_t> binding, set;
  std::set<uint32_t> blocks, bufferBlocks, samplers;
  std::map<uint32_t, size_t> images;                            // type id -> instruction offset
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> pointers;   // id -> (storage class, pointee)
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> variables;  // id -> (pointer type, storage class)
  std::map<uint32_t, uint32_t> loads;                           // result id -> result type
  std::vector<uint32_t> readImages;                             // image type ids read
  bool hasWriteWithoutFormat = false;
  size_t firstCapability = 0;
};

bool gather(const uint32_t* w, size_t count, ModuleFacts& m) {
  std::vector<uint32_t> readOperands;
  bool ok = forEachInstruction(w, count, [&](size_t at, uint32_t op, uint32_t n) {
    switch (op) {
      case OpCapability:
        if (!m.firstCapability) m.firstCapability = at;
        if (n >= 2 && w[at + 1] == kCapabilityStorageImageWriteWithoutFormat) m.hasWriteWithoutFormat = true;
        break;
      case OpDecorate:
        if (n >= 4 && w[at + 2] == kDecorationBinding) m.binding[w[at + 1]] = w[at + 3];
        if (n >= 4 && w[at + 2] == kDecorationDescriptorSet) m.set[w[at + 1]] = w[at + 3];
        if (n >= 3 && w[at + 2] == kDecorationBlock) m.blocks.insert(w[at + 1]);
        if (n >= 3 && w[at + 2] == kDecorationBufferBlock) m.bufferBlocks.insert(w[at + 1]);
        break;
      case OpTypeImage:
        if (n >= 9) m.images[w[at + 1]] = at;
        break;
      case OpTypeSampler:
        if (n >= 2) m.samplers.insert(w[at + 1]);
        break;
      case OpTypePointer:
        if (n >= 4) m.pointers[w[at + 1]] = {w[at + 2], w[at + 3]};
        break;
      case OpVariable:
        if (n >= 4) m.variables[w[at + 2]] = {w[at + 1], w[at + 3]};
        break;
      case OpLoad:
        if (n >= 4) m.loads[w[at + 2]] = w[at + 1];
        break;
      case OpImageRead:
        if (n >= 4) readOperands.push_back(w[at + 3]);
        break;
      default:
        break;
    }
  });
  for (uint32_t operand : readOperands) {
    auto load = m.loads.find(operand);
    m.readImages.push_back(load == m.loads.end() ? 0 : load->second);
  }
  return ok;
}

}  // namespace

bool reflectModule(const uint32_t* words, size_t count, ShaderInterface& out, std::string& error) {
  ModuleFacts m;
  if (!gather(words, count, m)) {
    error = "not a SPIR-V module";
    return false;
  }
  out = {};
  out.readsStorageImage = !m.readImages.empty();
  for (const auto& [id, variable] : m.variables) {
    auto [pointerType, storage] = variable;
    if (storage != kStorageUniformConstant && storage != kStorageUniform && storage != kStorageStorageBuffer) continue;
    auto binding = m.binding.find(id);
    if (binding == m.binding.end()) continue;
    if (m.set.count(id) && m.set[id] != 0) {
      error = "descriptor set other than 0";
      return false;
    }
    auto pointer = m.pointers.find(pointerType);
    if (pointer == m.pointers.end()) continue;
    uint32_t pointee = pointer->second.second;
    DescriptorKind kind;
    if (m.images.count(pointee)) {
      uint32_t sampled = words[m.images[pointee] + 7];
      kind = sampled == 2 ? DescriptorKind::StorageImage : DescriptorKind::SampledImage;
    } else if (m.samplers.count(pointee)) {
      kind = DescriptorKind::Sampler;
    } else if (storage == kStorageStorageBuffer || m.bufferBlocks.count(pointee)) {
      kind = DescriptorKind::StorageBuffer;
    } else if (m.blocks.count(pointee)) {
      kind = DescriptorKind::UniformBuffer;
    } else {
      error = "unsupported resource type";
      return false;
    }
    out.bindings.push_back({binding->second, kind});
  }
  return true;
}

bool rewriteStorageImageFormats(std::vector<uint32_t>& words, std::string& error) {
  ModuleFacts m;
  if (!gather(words.data(), words.size(), m)) {
    error = "not a SPIR-V module";
    return false;
  }
  std::set<uint32_t> read(m.readImages.begin(), m.readImages.end());
  bool rewritten = false;
  for (const auto& [id, at] : m.images) {
    if (words[at + 7] != 2) continue;
    uint32_t& format = words[at + 8];
    if (read.count(id) || read.count(0)) {
      if (format != kFormatR32f && format != kFormatR32i && format != kFormatR32ui) {
        error = "error: typed unordered-access loads are only allowed for single-component 32-bit element types";
        return false;
      }
      continue;
    }
    if (format != kFormatUnknown) {
      format = kFormatUnknown;
      rewritten = true;
    }
  }
  if (rewritten && !m.hasWriteWithoutFormat) {
    size_t at = m.firstCapability ? m.firstCapability : kHeaderWords;
    words.insert(words.begin() + at, {(2u << 16) | OpCapability, kCapabilityStorageImageWriteWithoutFormat});
  }
  return true;
}

}  // namespace tesmira::platform::d3d11
