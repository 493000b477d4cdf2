#pragma once
// Direct3D 11 test helpers, written against the Windows API only so product tests use
// them too. One device per test process: device creation and kernel builds are slow
// on the CPU rasteriser.
#include <d3d11_4.h>
#include <d3dcompiler.h>
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tesmira/d3d11_testing.h"

namespace tesmira::gputest {

using Microsoft::WRL::ComPtr;

struct Gpu {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  std::map<const void*, ComPtr<ID3D11ComputeShader>> kernels;
};

inline Gpu*& gpuSlot() {
  static Gpu* gpu = nullptr;
  return gpu;
}

// Releases the shared device before the process ends, and fails the run when the
// validation layer (TESMIRA_VK_VALIDATION=1) reported anything.
class GpuEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    delete gpuSlot();
    gpuSlot() = nullptr;
    EXPECT_EQ(platform::d3d11::validationMessageCount(), 0u) << platform::d3d11::firstValidationMessage();
  }
};
inline const bool kGpuEnvironment = (::testing::AddGlobalTestEnvironment(new GpuEnvironment), true);

inline HRESULT createDevice(ID3D11Device** device, ID3D11DeviceContext** context) {
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
  return D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                           D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT, levels, 2,
                           D3D11_SDK_VERSION, device, nullptr, context);
}

inline Gpu& gpu() {
  if (!gpuSlot()) {
    auto* g = new Gpu;
    HRESULT hr = createDevice(&g->device, &g->context);
    if (FAILED(hr)) ADD_FAILURE() << "D3D11CreateDevice failed: " << std::hex << hr;
    gpuSlot() = g;
  }
  return *gpuSlot();
}

inline ComPtr<ID3DBlob> compile(std::string_view source, const char* target = "cs_5_0",
                                std::string* messages = nullptr, HRESULT* result = nullptr) {
  ComPtr<ID3DBlob> code, errors;
  HRESULT hr = D3DCompile(source.data(), source.size(), nullptr, nullptr, nullptr, "main", target,
                          D3DCOMPILE_ENABLE_STRICTNESS, 0, &code, &errors);
  if (messages)
    *messages = errors ? std::string(static_cast<const char*>(errors->GetBufferPointer()), errors->GetBufferSize()) : "";
  if (result) *result = hr;
  return code;
}

// Compiles a kernel once per process.
inline ID3D11ComputeShader* kernel(std::string_view source) {
  auto& slot = gpu().kernels[source.data()];
  if (!slot) {
    std::string messages;
    auto code = compile(source, "cs_5_0", &messages);
    if (!code) {
      ADD_FAILURE() << "D3DCompile failed: " << messages;
      return nullptr;
    }
    HRESULT hr = gpu().device->CreateComputeShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &slot);
    if (FAILED(hr)) ADD_FAILURE() << "CreateComputeShader failed: " << std::hex << hr;
  }
  return slot.Get();
}

inline UINT bytesPerTexel(DXGI_FORMAT format) { return format == DXGI_FORMAT_R32G32B32A32_FLOAT ? 16 : 4; }

inline D3D11_TEXTURE2D_DESC textureDesc(UINT width, UINT height, DXGI_FORMAT format, D3D11_USAGE usage, UINT bind,
                                        UINT cpu) {
  return {width, height, 1, 1, format, {1, 0}, usage, bind, cpu, 0};
}

// A texture holding `bytes` (tightly packed rows), made through a staging upload for DEFAULT usage.
inline ComPtr<ID3D11Texture2D> texture(UINT width, UINT height, DXGI_FORMAT format, UINT bind,
                                       const void* bytes = nullptr, D3D11_USAGE usage = D3D11_USAGE_DEFAULT) {
  ComPtr<ID3D11Texture2D> t;
  auto desc = textureDesc(width, height, format, usage, bind, usage == D3D11_USAGE_DYNAMIC ? D3D11_CPU_ACCESS_WRITE : 0);
  D3D11_SUBRESOURCE_DATA data{bytes, width * bytesPerTexel(format), 0};
  HRESULT hr = gpu().device->CreateTexture2D(&desc, bytes ? &data : nullptr, &t);
  EXPECT_EQ(hr, S_OK);
  return t;
}

inline ComPtr<ID3D11ShaderResourceView> srv(ID3D11Resource* resource) {
  ComPtr<ID3D11ShaderResourceView> v;
  EXPECT_EQ(gpu().device->CreateShaderResourceView(resource, nullptr, &v), S_OK);
  return v;
}

inline ComPtr<ID3D11UnorderedAccessView> uav(ID3D11Resource* resource) {
  ComPtr<ID3D11UnorderedAccessView> v;
  EXPECT_EQ(gpu().device->CreateUnorderedAccessView(resource, nullptr, &v), S_OK);
  return v;
}

inline ComPtr<ID3D11Buffer> constantBuffer(const void* bytes, UINT size) {
  ComPtr<ID3D11Buffer> b;
  D3D11_BUFFER_DESC desc{(size + 15) / 16 * 16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER,
                         D3D11_CPU_ACCESS_WRITE, 0, 0};
  EXPECT_EQ(gpu().device->CreateBuffer(&desc, nullptr, &b), S_OK);
  D3D11_MAPPED_SUBRESOURCE m;
  EXPECT_EQ(gpu().context->Map(b.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &m), S_OK);
  std::memcpy(m.pData, bytes, size);
  gpu().context->Unmap(b.Get(), 0);
  return b;
}

inline ComPtr<ID3D11SamplerState> linearClampSampler() {
  D3D11_SAMPLER_DESC s{D3D11_FILTER_MIN_MAG_MIP_LINEAR, D3D11_TEXTURE_ADDRESS_CLAMP, D3D11_TEXTURE_ADDRESS_CLAMP,
                       D3D11_TEXTURE_ADDRESS_CLAMP, 0, 0, D3D11_COMPARISON_NEVER, {0, 0, 0, 0}, 0, D3D11_FLOAT32_MAX};
  ComPtr<ID3D11SamplerState> sampler;
  EXPECT_EQ(gpu().device->CreateSamplerState(&s, &sampler), S_OK);
  return sampler;
}

// Writes tightly packed rows into a mapped subresource at its row pitch.
inline void writeRows(const D3D11_MAPPED_SUBRESOURCE& m, const void* bytes, size_t rowBytes, UINT rows) {
  for (UINT y = 0; y < rows; ++y)
    std::memcpy(static_cast<uint8_t*>(m.pData) + size_t(y) * m.RowPitch, static_cast<const uint8_t*>(bytes) + y * rowBytes,
                rowBytes);
}

// The texture's texels, tightly packed, through a staging copy and a READ map.
inline std::vector<uint8_t> readBack(ID3D11Texture2D* source) {
  D3D11_TEXTURE2D_DESC desc;
  source->GetDesc(&desc);
  auto stagingDesc = textureDesc(desc.Width, desc.Height, desc.Format, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
  ComPtr<ID3D11Texture2D> staging;
  EXPECT_EQ(gpu().device->CreateTexture2D(&stagingDesc, nullptr, &staging), S_OK);
  gpu().context->CopyResource(staging.Get(), source);
  D3D11_MAPPED_SUBRESOURCE m;
  std::vector<uint8_t> out(size_t(desc.Width) * desc.Height * bytesPerTexel(desc.Format));
  if (gpu().context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &m) != S_OK) {
    ADD_FAILURE() << "Map(READ) failed";
    return out;
  }
  size_t rowBytes = size_t(desc.Width) * bytesPerTexel(desc.Format);
  for (UINT y = 0; y < desc.Height; ++y)
    std::memcpy(out.data() + y * rowBytes, static_cast<const uint8_t*>(m.pData) + size_t(y) * m.RowPitch, rowBytes);
  gpu().context->Unmap(staging.Get(), 0);
  return out;
}

// One dispatch of `shader` over groups of 8x8 covering width x height, then the
// bindings cleared as the compositor does.
struct Bindings {
  std::vector<ID3D11ShaderResourceView*> srvs;
  ID3D11SamplerState* sampler = nullptr;
  ID3D11Buffer* constants = nullptr;
  ID3D11UnorderedAccessView* target = nullptr;
};

inline void dispatch(ID3D11ComputeShader* shader, const Bindings& b, UINT width, UINT height) {
  auto* c = gpu().context.Get();
  c->CSSetShader(shader, nullptr, 0);
  if (!b.srvs.empty()) c->CSSetShaderResources(0, UINT(b.srvs.size()), b.srvs.data());
  if (b.sampler) c->CSSetSamplers(0, 1, &b.sampler);
  if (b.constants) c->CSSetConstantBuffers(0, 1, &b.constants);
  c->CSSetUnorderedAccessViews(0, 1, &b.target, nullptr);
  c->Dispatch((width + 7) / 8, (height + 7) / 8, 1);
  ID3D11UnorderedAccessView* noUav = nullptr;
  c->CSSetUnorderedAccessViews(0, 1, &noUav, nullptr);
  std::vector<ID3D11ShaderResourceView*> none(b.srvs.size(), nullptr);
  if (!none.empty()) c->CSSetShaderResources(0, UINT(none.size()), none.data());
}

}  // namespace tesmira::gputest
