// The Direct3D 11 layer: device creation, resources, maps, copies, binding rules,
// dispatch limits, Direct3D's arithmetic rules, queries and injected faults.
#include <gmock/gmock.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <optional>
#include <set>

#include "platform/d3d11/gpu_tests/gpu_testing.h"
#include "tesmira/platform_testing.h"

namespace tesmira::gputest {
namespace {

using ::testing::Each;
using ::testing::ElementsAreArray;

// Writes `colour` into every texel of u0 within dim.
constexpr std::string_view kFill = R"(
RWTexture2D<unorm float4> dst : register(u0);
cbuffer P : register(b0) { int2 dim; int2 pad; float4 colour; };
[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) {
  if ((int)id.x >= dim.x || (int)id.y >= dim.y) return;
  dst[id.xy] = colour;
}
)";

// u0 = t0 texel by texel, over t0's size; writes one texel beyond on purpose when asked.
constexpr std::string_view kCopy = R"(
Texture2D<float4> src : register(t0);
RWTexture2D<unorm float4> dst : register(u0);
cbuffer P : register(b0) { int2 dim; int2 overshoot; };
[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) {
  if ((int)id.x >= dim.x + overshoot.x || (int)id.y >= dim.y + overshoot.y) return;
  dst[id.xy] = src.Load(int3(id.xy, 0));
}
)";

struct FillParams {
  int32_t dim[2];
  int32_t pad[2];
  float colour[4];
};
struct CopyParams {
  int32_t dim[2];
  int32_t overshoot[2];
};

std::vector<uint8_t> pattern(size_t bytes, uint8_t seed) {
  std::vector<uint8_t> v(bytes);
  for (size_t i = 0; i < bytes; ++i) v[i] = uint8_t(seed + i * 7 + i / 13);
  return v;
}

// What a caller's out pointer may hold before a call: never a live object.
template <class I>
I* stale() {
  return reinterpret_cast<I*>(uintptr_t{0x5ca1ab1e});
}

ComPtr<ID3D11Texture2D> target(UINT w, UINT h) {
  return texture(w, h, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS);
}

void fill(ID3D11Texture2D* t, UINT w, UINT h, std::array<float, 4> colour, ID3D11Buffer* reuse = nullptr) {
  FillParams p{{int32_t(w), int32_t(h)}, {0, 0}, {colour[0], colour[1], colour[2], colour[3]}};
  auto constants = reuse ? ComPtr<ID3D11Buffer>(reuse) : constantBuffer(&p, sizeof p);
  if (reuse) {
    D3D11_MAPPED_SUBRESOURCE m;
    ASSERT_EQ(gpu().context->Map(reuse, 0, D3D11_MAP_WRITE_DISCARD, 0, &m), S_OK);
    std::memcpy(m.pData, &p, sizeof p);
    gpu().context->Unmap(reuse, 0);
  }
  auto view = uav(t);
  dispatch(kernel(kFill), {{}, nullptr, constants.Get(), view.Get()}, w, h);
}

// ---- device ----

TEST(D3D11DeviceTest, MakesAFeatureLevel11DeviceWithItsContextAndAdapter) {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  D3D_FEATURE_LEVEL level{};
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
  ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0x820, levels, 2, D3D11_SDK_VERSION, &device,
                              &level, &context),
            S_OK);
  EXPECT_EQ(level, D3D_FEATURE_LEVEL_11_1);
  EXPECT_EQ(device->GetFeatureLevel(), D3D_FEATURE_LEVEL_11_1);
  ComPtr<ID3D11DeviceContext> again;
  device->GetImmediateContext(&again);
  EXPECT_EQ(again.Get(), context.Get());

  ComPtr<IDXGIDevice> dxgi;
  ASSERT_EQ(device->QueryInterface(IID_PPV_ARGS(&dxgi)), S_OK);
  ComPtr<IDXGIAdapter> adapter;
  ASSERT_EQ(dxgi->GetAdapter(&adapter), S_OK);
  DXGI_ADAPTER_DESC desc{};
  ASSERT_EQ(adapter->GetDesc(&desc), S_OK);
  EXPECT_NE(desc.Description[0], L'\0');
  std::wcout << L"Direct3D device: " << desc.Description << std::endl;
}

TEST(D3D11DeviceTest, RefusesWhatItCannotMake) {
  struct Case {
    const char* what;
    D3D_DRIVER_TYPE driver;
    std::vector<D3D_FEATURE_LEVEL> levels;
    UINT sdk;
    HRESULT expected;
  };
  const Case cases[] = {
      {"software driver", D3D_DRIVER_TYPE_WARP, {D3D_FEATURE_LEVEL_11_0}, 7, DXGI_ERROR_UNSUPPORTED},
      {"feature level 10 only", D3D_DRIVER_TYPE_HARDWARE, {D3D_FEATURE_LEVEL_10_0}, 7, DXGI_ERROR_UNSUPPORTED},
      {"other SDK version", D3D_DRIVER_TYPE_HARDWARE, {D3D_FEATURE_LEVEL_11_0}, 6, E_INVALIDARG},
  };
  for (const auto& c : cases) {
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    EXPECT_EQ(D3D11CreateDevice(nullptr, c.driver, nullptr, 0, c.levels.data(), UINT(c.levels.size()), c.sdk, &device,
                                nullptr, &context),
              c.expected)
        << c.what;
    EXPECT_FALSE(device) << c.what;
    EXPECT_FALSE(context) << c.what;
  }
}

TEST(D3D11DeviceTest, NoUsableDeviceIsUnsupportedAndAnInjectedFaultIsReturned) {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  platform::d3d11::setAdapterChoice("none");
  EXPECT_EQ(createDevice(&device, &context), DXGI_ERROR_UNSUPPORTED);
  platform::d3d11::setAdapterChoice("");
  EXPECT_FALSE(device);

  platform::faults::inject("D3D11CreateDevice", uint32_t(E_OUTOFMEMORY), 1);
  EXPECT_EQ(createDevice(&device, &context), E_OUTOFMEMORY);
  EXPECT_EQ(createDevice(&device, &context), S_OK);
}

// The Vulkan drivers (libvulkan_*.so) mapped into this process now.
std::set<std::string> mappedDrivers() {
  std::set<std::string> drivers;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    const auto slash = line.find('/');
    if (slash != std::string::npos && line.find("/libvulkan_", slash) != std::string::npos) drivers.insert(line.substr(slash));
  }
  return drivers;
}

// As a Direct3D runtime keeps its driver, the layer keeps the Vulkan instance: were the driver
// unloaded with the last device, a leak inside it would be reported against no module at exit.
TEST(D3D11DeviceTest, TheDriverStaysLoadedAfterTheLastDeviceIsReleased) {
  delete gpuSlot();
  gpuSlot() = nullptr;
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  if (FAILED(createDevice(&device, &context))) GTEST_SKIP() << "no Vulkan device";
  const auto drivers = mappedDrivers();
  ASSERT_FALSE(drivers.empty());
  context.Reset();
  device.Reset();
  EXPECT_EQ(mappedDrivers(), drivers);
  // A second device comes from the same instance.
  ASSERT_EQ(createDevice(&device, &context), S_OK);
  EXPECT_EQ(mappedDrivers(), drivers);
}

TEST(D3D11DeviceTest, MultithreadProtectionIsOneStateForDeviceAndContext) {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ASSERT_EQ(createDevice(&device, &context), S_OK);
  ComPtr<ID3D11Multithread> fromDevice, fromContext;
  ASSERT_EQ(device->QueryInterface(IID_PPV_ARGS(&fromDevice)), S_OK);
  ASSERT_EQ(context->QueryInterface(IID_PPV_ARGS(&fromContext)), S_OK);
  EXPECT_FALSE(fromContext->GetMultithreadProtected());
  EXPECT_FALSE(fromDevice->SetMultithreadProtected(TRUE));
  EXPECT_TRUE(fromContext->GetMultithreadProtected());
  EXPECT_TRUE(fromContext->SetMultithreadProtected(FALSE));
  EXPECT_FALSE(fromDevice->GetMultithreadProtected());
  fromDevice->Enter();
  fromContext->Enter();  // recursive
  fromContext->Leave();
  fromDevice->Leave();
}

// ---- creation refusals ----

TEST(D3D11ResourceTest, RefusesDescriptionsDirect3DRefuses) {
  const uint8_t texels[16 * 4] = {};
  D3D11_SUBRESOURCE_DATA data{texels, 16, 0};
  const UINT srv = D3D11_BIND_SHADER_RESOURCE, uavBind = D3D11_BIND_UNORDERED_ACCESS;
  struct Case {
    const char* what;
    std::optional<D3D11_TEXTURE2D_DESC> desc;
    bool withData;
  };
  const Case cases[] = {
      {"no description", std::nullopt, false},
      {"dynamic with unordered access",
       textureDesc(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DYNAMIC, srv | uavBind, D3D11_CPU_ACCESS_WRITE), false},
      {"immutable without data", textureDesc(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_IMMUTABLE, srv, 0), false},
      {"staging with a bind flag",
       textureDesc(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, srv, D3D11_CPU_ACCESS_READ), false},
      {"default with CPU access",
       textureDesc(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT, srv, D3D11_CPU_ACCESS_READ), false},
      {"dynamic without CPU write", textureDesc(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DYNAMIC, srv, 0), false},
      {"zero width", textureDesc(0, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT, srv, 0), false},
      {"format outside the subset", textureDesc(4, 4, DXGI_FORMAT_NV12, D3D11_USAGE_DEFAULT, srv, 0), false},
      {"unordered access on an alpha-less format",
       textureDesc(4, 4, DXGI_FORMAT_B8G8R8X8_UNORM, D3D11_USAGE_DEFAULT, uavBind, 0), false},
      {"row pitch shorter than a row", textureDesc(8, 2, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_IMMUTABLE, srv, 0),
       true},
  };
  // A refused call clears the out pointer, whatever the caller left in it.
  for (const auto& c : cases) {
    auto* t = stale<ID3D11Texture2D>();
    EXPECT_EQ(gpu().device->CreateTexture2D(c.desc ? &*c.desc : nullptr, c.withData ? &data : nullptr, &t),
              E_INVALIDARG)
        << c.what;
    EXPECT_EQ(t, nullptr) << c.what;
    if (t && t != stale<ID3D11Texture2D>()) t->Release();
  }

  struct BufferCase {
    const char* what;
    std::optional<D3D11_BUFFER_DESC> desc;
  };
  const BufferCase buffers[] = {
      {"no description", std::nullopt},
      {"constant buffer not a multiple of 16",
       D3D11_BUFFER_DESC{20, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0}},
      {"structured buffer without a stride",
       D3D11_BUFFER_DESC{64, D3D11_USAGE_DYNAMIC, srv, D3D11_CPU_ACCESS_WRITE,
                         D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 0}},
      {"dynamic buffer with unordered access",
       D3D11_BUFFER_DESC{64, D3D11_USAGE_DYNAMIC, uavBind, D3D11_CPU_ACCESS_WRITE,
                         D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 8}},
      {"immutable buffer without data",
       D3D11_BUFFER_DESC{64, D3D11_USAGE_IMMUTABLE, D3D11_BIND_CONSTANT_BUFFER, 0, 0, 0}},
  };
  for (const auto& c : buffers) {
    auto* b = stale<ID3D11Buffer>();
    EXPECT_EQ(gpu().device->CreateBuffer(c.desc ? &*c.desc : nullptr, nullptr, &b), E_INVALIDARG) << c.what;
    EXPECT_EQ(b, nullptr) << c.what;
    if (b && b != stale<ID3D11Buffer>()) b->Release();
  }
}

// Without an out pointer a call only checks: S_FALSE where it would make the object,
// else the same answer as a call that asks for it.
TEST(D3D11ResourceTest, WithoutAnOutPointerACallOnlyChecks) {
  const UINT srv = D3D11_BIND_SHADER_RESOURCE;
  const D3D11_SUBRESOURCE_DATA noBytes{nullptr, 16, 0};
  auto texture = [&](auto change) {
    auto d = textureDesc(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT, srv, 0);
    change(d);
    return d;
  };
  struct Case {
    const char* what;
    D3D11_TEXTURE2D_DESC desc;
    const D3D11_SUBRESOURCE_DATA* data;
    HRESULT expected;
  };
  const Case cases[] = {
      {"a texture it makes", texture([](auto&) {}), nullptr, S_OK},
      {"two mip levels", texture([](auto& d) { d.MipLevels = 2; }), nullptr, E_NOTIMPL},
      {"an array", texture([](auto& d) { d.ArraySize = 2; }), nullptr, E_NOTIMPL},
      {"multisampled", texture([](auto& d) { d.SampleDesc.Count = 4; }), nullptr, E_NOTIMPL},
      {"wider than 16384", texture([](auto& d) { d.Width = 16385; }), nullptr, E_INVALIDARG},
      {"a render target", texture([](auto& d) { d.BindFlags |= D3D11_BIND_RENDER_TARGET; }), nullptr, E_INVALIDARG},
      {"dynamic and bound nowhere",
       texture([](auto& d) {
         d.Usage = D3D11_USAGE_DYNAMIC;
         d.BindFlags = 0;
         d.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
       }),
       nullptr, E_INVALIDARG},
      {"initial data without bytes", texture([](auto&) {}), &noBytes, E_INVALIDARG},
  };
  for (const auto& c : cases) {
    ComPtr<ID3D11Texture2D> t;
    EXPECT_EQ(gpu().device->CreateTexture2D(&c.desc, c.data, &t), c.expected) << c.what;
    EXPECT_EQ(bool(t), c.expected == S_OK) << c.what;
    EXPECT_EQ(gpu().device->CreateTexture2D(&c.desc, c.data, nullptr), c.expected == S_OK ? S_FALSE : c.expected)
        << c.what;
  }

  struct BufferCase {
    const char* what;
    D3D11_BUFFER_DESC desc;
    HRESULT expected;
  };
  const BufferCase buffers[] = {
      {"a structured buffer it makes",
       {64, D3D11_USAGE_DYNAMIC, srv, D3D11_CPU_ACCESS_WRITE, D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 16}, S_OK},
      {"a shader-resource buffer that is not structured", {64, D3D11_USAGE_DYNAMIC, srv, D3D11_CPU_ACCESS_WRITE, 0, 0},
       E_NOTIMPL},
      {"a shared buffer", {64, D3D11_USAGE_DEFAULT, srv, 0, D3D11_RESOURCE_MISC_SHARED, 0}, E_NOTIMPL},
      {"a constant buffer over 64 KiB",
       {65536 + 16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0}, E_INVALIDARG},
      {"a dynamic buffer read by the CPU",
       {64, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_READ, 0, 0}, E_INVALIDARG},
  };
  for (const auto& c : buffers) {
    ComPtr<ID3D11Buffer> b;
    EXPECT_EQ(gpu().device->CreateBuffer(&c.desc, nullptr, &b), c.expected) << c.what;
    EXPECT_EQ(bool(b), c.expected == S_OK) << c.what;
    EXPECT_EQ(gpu().device->CreateBuffer(&c.desc, nullptr, nullptr), c.expected == S_OK ? S_FALSE : c.expected)
        << c.what;
  }
}

TEST(D3D11ResourceTest, ViewsNeedTheirBindFlagAndAStructuredBufferNeedsItsDescription) {
  auto t = texture(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
  ComPtr<ID3D11UnorderedAccessView> u;
  EXPECT_EQ(gpu().device->CreateUnorderedAccessView(t.Get(), nullptr, &u), E_INVALIDARG);

  D3D11_BUFFER_DESC desc{5184 * 8, D3D11_USAGE_DYNAMIC, D3D11_BIND_SHADER_RESOURCE, D3D11_CPU_ACCESS_WRITE,
                         D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 8};
  ComPtr<ID3D11Buffer> field;
  ASSERT_EQ(gpu().device->CreateBuffer(&desc, nullptr, &field), S_OK);
  ComPtr<ID3D11ShaderResourceView> view;
  EXPECT_EQ(gpu().device->CreateShaderResourceView(field.Get(), nullptr, &view), E_INVALIDARG);
  D3D11_SHADER_RESOURCE_VIEW_DESC v{};
  v.Format = DXGI_FORMAT_UNKNOWN;
  v.ViewDimension = D3D11_SRV_DIMENSION_BUFFER;
  v.Buffer.FirstElement = 0;
  v.Buffer.NumElements = 5185;
  EXPECT_EQ(gpu().device->CreateShaderResourceView(field.Get(), &v, &view), E_INVALIDARG);
  v.Buffer.NumElements = 5184;
  ASSERT_EQ(gpu().device->CreateShaderResourceView(field.Get(), &v, &view), S_OK);

  // A view hands back its resource, which answers for the texture interface.
  auto tv = srv(t.Get());
  ComPtr<ID3D11Resource> resource;
  tv->GetResource(&resource);
  ComPtr<ID3D11Texture2D> asTexture;
  ASSERT_EQ(resource->QueryInterface(IID_PPV_ARGS(&asTexture)), S_OK);
  EXPECT_EQ(asTexture.Get(), t.Get());
  ComPtr<ID3D11Buffer> asBuffer;
  EXPECT_EQ(resource->QueryInterface(IID_PPV_ARGS(&asBuffer)), E_NOINTERFACE);
}

TEST(D3D11ResourceTest, InjectedCreationFaultsFailTheNamedCallOnce) {
  const char* sites[] = {"ID3D11Device::CreateTexture2D", "ID3D11Device::CreateShaderResourceView"};
  auto desc = textureDesc(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE, 0);
  for (const char* site : sites) {
    ComPtr<ID3D11Texture2D> t;
    ASSERT_EQ(gpu().device->CreateTexture2D(&desc, nullptr, &t), S_OK);
    platform::faults::inject(site, uint32_t(E_OUTOFMEMORY), 1);
    ComPtr<ID3D11Texture2D> t2;
    ComPtr<ID3D11ShaderResourceView> v;
    HRESULT first = std::string(site).find("Texture") != std::string::npos
                        ? gpu().device->CreateTexture2D(&desc, nullptr, &t2)
                        : gpu().device->CreateShaderResourceView(t.Get(), nullptr, &v);
    EXPECT_EQ(first, E_OUTOFMEMORY) << site;
    EXPECT_EQ(gpu().device->CreateShaderResourceView(t.Get(), nullptr, &v), S_OK) << site;
  }
}

// ---- Map, copies ----

TEST(D3D11MapTest, MapRefusesWhatDirect3DRefuses) {
  auto* c = gpu().context.Get();
  auto plain = texture(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
  auto dynamic = texture(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE, nullptr, D3D11_USAGE_DYNAMIC);
  auto readDesc = textureDesc(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
  ComPtr<ID3D11Texture2D> readable;
  ASSERT_EQ(gpu().device->CreateTexture2D(&readDesc, nullptr, &readable), S_OK);
  struct Case {
    const char* what;
    ID3D11Resource* resource;
    D3D11_MAP type;
  };
  const Case cases[] = {
      {"READ of a default texture", plain.Get(), D3D11_MAP_READ},
      {"READ of a dynamic texture", dynamic.Get(), D3D11_MAP_READ},
      {"WRITE_DISCARD of a staging texture", readable.Get(), D3D11_MAP_WRITE_DISCARD},
      {"WRITE_DISCARD of a default texture", plain.Get(), D3D11_MAP_WRITE_DISCARD},
      {"WRITE of a read-only staging texture", readable.Get(), D3D11_MAP_WRITE},
  };
  for (const auto& k : cases) {
    D3D11_MAPPED_SUBRESOURCE m{reinterpret_cast<void*>(1), 1, 1};
    EXPECT_EQ(c->Map(k.resource, 0, k.type, 0, &m), E_INVALIDARG) << k.what;
    EXPECT_EQ(m.pData, nullptr) << k.what;
  }
  platform::faults::inject("ID3D11DeviceContext::Map", uint32_t(E_OUTOFMEMORY), 1);
  D3D11_MAPPED_SUBRESOURCE m;
  EXPECT_EQ(c->Map(readable.Get(), 0, D3D11_MAP_READ, 0, &m), E_OUTOFMEMORY);
  ASSERT_EQ(c->Map(readable.Get(), 0, D3D11_MAP_READ, 0, &m), S_OK);
  c->Unmap(readable.Get(), 0);
}

TEST(D3D11MapTest, TexelsGoUpAndComeBackExactlyInEveryFormat) {
  const DXGI_FORMAT formats[] = {DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_B8G8R8A8_UNORM,
                                 DXGI_FORMAT_R32G32B32A32_FLOAT, DXGI_FORMAT_R32_FLOAT};
  auto* c = gpu().context.Get();
  for (DXGI_FORMAT format : formats) {
    const UINT w = 13, h = 9, row = w * bytesPerTexel(format);
    auto bytes = pattern(size_t(row) * h, uint8_t(format));
    if (format == DXGI_FORMAT_R32G32B32A32_FLOAT || format == DXGI_FORMAT_R32_FLOAT) {
      auto* f = reinterpret_cast<float*>(bytes.data());
      for (size_t i = 0; i < bytes.size() / 4; ++i) f[i] = float(i) * 0.37f - 40.0f;
    }
    auto upDesc = textureDesc(w, h, format, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_WRITE);
    ComPtr<ID3D11Texture2D> up;
    ASSERT_EQ(gpu().device->CreateTexture2D(&upDesc, nullptr, &up), S_OK);
    D3D11_MAPPED_SUBRESOURCE m;
    ASSERT_EQ(c->Map(up.Get(), 0, D3D11_MAP_WRITE, 0, &m), S_OK);
    EXPECT_GE(m.RowPitch, row);
    writeRows(m, bytes.data(), row, h);
    c->Unmap(up.Get(), 0);
    auto onGpu = texture(w, h, format, D3D11_BIND_SHADER_RESOURCE);
    c->CopyResource(onGpu.Get(), up.Get());
    EXPECT_THAT(readBack(onGpu.Get()), ElementsAreArray(bytes)) << format;

    // The same through a dynamic texture and through initial data with a padded pitch.
    auto dyn = texture(w, h, format, D3D11_BIND_SHADER_RESOURCE, nullptr, D3D11_USAGE_DYNAMIC);
    ASSERT_EQ(c->Map(dyn.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &m), S_OK);
    writeRows(m, bytes.data(), row, h);
    c->Unmap(dyn.Get(), 0);
    EXPECT_THAT(readBack(dyn.Get()), ElementsAreArray(bytes)) << format;

    std::vector<uint8_t> padded(size_t(row + 12) * h);
    for (UINT y = 0; y < h; ++y) std::memcpy(padded.data() + y * (row + 12), bytes.data() + y * row, row);
    auto immDesc = textureDesc(w, h, format, D3D11_USAGE_IMMUTABLE, D3D11_BIND_SHADER_RESOURCE, 0);
    D3D11_SUBRESOURCE_DATA data{padded.data(), row + 12, 0};
    ComPtr<ID3D11Texture2D> imm;
    ASSERT_EQ(gpu().device->CreateTexture2D(&immDesc, &data, &imm), S_OK);
    EXPECT_THAT(readBack(imm.Get()), ElementsAreArray(bytes)) << format;
  }
}

TEST(D3D11CopyTest, CopySubresourceRegionCopiesTheBoxAndDropsOneOutsideEitherTexture) {
  const UINT w = 13, h = 9;
  auto bytes = pattern(w * h * 4, 3);
  auto src = texture(w, h, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE, bytes.data());
  auto dst = texture(w, h, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
  auto* c = gpu().context.Get();
  D3D11_BOX box{2, 1, 0, 7, 5, 1};
  c->CopySubresourceRegion(dst.Get(), 0, 4, 3, 0, src.Get(), 0, &box);
  std::vector<uint8_t> expected(w * h * 4, 0);
  for (UINT y = 0; y < 4; ++y)
    std::memcpy(&expected[((3 + y) * w + 4) * 4], &bytes[((1 + y) * w + 2) * 4], 5 * 4);
  EXPECT_THAT(readBack(dst.Get()), ElementsAreArray(expected));

  const D3D11_BOX outside[] = {{10, 0, 0, 14, 2, 1}, {0, 8, 0, 2, 10, 1}, {0, 0, 0, 2, 2, 2}};
  for (const auto& b : outside) c->CopySubresourceRegion(dst.Get(), 0, 0, 0, 0, src.Get(), 0, &b);
  c->CopySubresourceRegion(dst.Get(), 0, 12, 0, 0, src.Get(), 0, &box);  // lands beyond the destination
  c->CopySubresourceRegion(dst.Get(), 1, 0, 0, 0, src.Get(), 0, &box);   // no such subresource
  EXPECT_THAT(readBack(dst.Get()), ElementsAreArray(expected));

  // The capture's read-back: a region of a camera texture into a staging texture.
  auto readDesc = textureDesc(5, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
  ComPtr<ID3D11Texture2D> staging;
  ASSERT_EQ(gpu().device->CreateTexture2D(&readDesc, nullptr, &staging), S_OK);
  D3D11_BOX region{0, 0, 0, 5, 4, 1};
  c->CopySubresourceRegion(staging.Get(), 0, 0, 0, 0, src.Get(), 0, &region);
  D3D11_MAPPED_SUBRESOURCE m;
  ASSERT_EQ(c->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &m), S_OK);
  for (UINT y = 0; y < 4; ++y)
    EXPECT_EQ(std::memcmp(static_cast<uint8_t*>(m.pData) + y * m.RowPitch, &bytes[y * w * 4], 20), 0) << y;
  c->Unmap(staging.Get(), 0);
}

// ---- dispatch and binding rules ----

TEST(D3D11DispatchTest, WriteDiscardNeverChangesWhatRecordedWorkReads) {
  const UINT w = 13, h = 9;
  D3D11_BUFFER_DESC desc{sizeof(FillParams), D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
  ComPtr<ID3D11Buffer> constants;
  ASSERT_EQ(gpu().device->CreateBuffer(&desc, nullptr, &constants), S_OK);
  auto first = target(w, h), second = target(w, h);
  fill(first.Get(), w, h, {1, 0, 0, 1}, constants.Get());
  fill(second.Get(), w, h, {0, 0, 1, 1}, constants.Get());
  auto a = readBack(first.Get()), b = readBack(second.Get());
  for (size_t i = 0; i < a.size(); i += 4) {
    ASSERT_EQ(a[i], 255);
    ASSERT_EQ(a[i + 2], 0);
    ASSERT_EQ(b[i], 0);
    ASSERT_EQ(b[i + 2], 255);
  }

  // A dynamic texture mapped again before the first upload's copy has run.
  auto dyn = texture(w, h, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE, nullptr, D3D11_USAGE_DYNAMIC);
  auto copyA = texture(w, h, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
  auto copyB = texture(w, h, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
  auto* c = gpu().context.Get();
  auto pa = pattern(w * h * 4, 1), pb = pattern(w * h * 4, 99);
  for (auto [bytes, copy] : {std::pair{&pa, copyA.Get()}, std::pair{&pb, copyB.Get()}}) {
    D3D11_MAPPED_SUBRESOURCE m;
    ASSERT_EQ(c->Map(dyn.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &m), S_OK);
    writeRows(m, bytes->data(), w * 4, h);
    c->Unmap(dyn.Get(), 0);
    c->CopyResource(copy, dyn.Get());
  }
  EXPECT_THAT(readBack(copyA.Get()), ElementsAreArray(pa));
  EXPECT_THAT(readBack(copyB.Get()), ElementsAreArray(pb));
}

TEST(D3D11DispatchTest, ADispatchSeesThePreviousOnesWritesAndOddSizesAreCovered) {
  const UINT w = 13, h = 9;
  auto filled = target(w, h), copied = target(w, h);
  fill(filled.Get(), w, h, {0.2f, 0.4f, 0.6f, 0.8f});
  CopyParams p{{int32_t(w), int32_t(h)}, {0, 0}};
  auto constants = constantBuffer(&p, sizeof p);
  auto in = srv(filled.Get());
  auto out = uav(copied.Get());
  dispatch(kernel(kCopy), {{in.Get()}, nullptr, constants.Get(), out.Get()}, w, h);
  auto bytes = readBack(copied.Get());
  for (size_t i = 0; i < bytes.size(); i += 4) {
    ASSERT_EQ(bytes[i], 51) << i;
    ASSERT_EQ(bytes[i + 1], 102) << i;
    ASSERT_EQ(bytes[i + 2], 153) << i;
    ASSERT_EQ(bytes[i + 3], 204) << i;
  }
}

TEST(D3D11DispatchTest, BindingForUnorderedAccessUnbindsTheResourcesShaderResourceView) {
  const UINT w = 8, h = 8;
  auto t = target(w, h);
  fill(t.Get(), w, h, {1, 1, 1, 1});
  CopyParams p{{int32_t(w), int32_t(h)}, {0, 0}};
  auto constants = constantBuffer(&p, sizeof p);
  auto in = srv(t.Get());
  auto out = uav(t.Get());
  auto* c = gpu().context.Get();
  ID3D11ShaderResourceView* views[] = {in.Get()};
  ID3D11UnorderedAccessView* uavs[] = {out.Get()};
  ID3D11Buffer* cbs[] = {constants.Get()};
  c->CSSetShader(kernel(kCopy), nullptr, 0);
  c->CSSetShaderResources(0, 1, views);
  c->CSSetConstantBuffers(0, 1, cbs);
  c->CSSetUnorderedAccessViews(0, 1, uavs, nullptr);  // takes the texture away from t0
  c->Dispatch(1, 1, 1);
  ID3D11UnorderedAccessView* none[] = {nullptr};
  c->CSSetUnorderedAccessViews(0, 1, none, nullptr);
  // The kernel read an empty slot: zeros.
  EXPECT_THAT(readBack(t.Get()), Each(0));
}

TEST(D3D11DispatchTest, TooManyGroupsAreDroppedAndOutOfBoundsWritesAreDiscarded) {
  const UINT w = 13, h = 9;
  auto src = target(w, h), dst = target(w, h);
  fill(src.Get(), w, h, {1, 0, 1, 1});
  CopyParams p{{int32_t(w), int32_t(h)}, {5, 5}};  // threads beyond the texture write anyway
  auto constants = constantBuffer(&p, sizeof p);
  auto in = srv(src.Get());
  auto out = uav(dst.Get());
  auto* c = gpu().context.Get();
  ID3D11ShaderResourceView* views[] = {in.Get()};
  ID3D11UnorderedAccessView* uavs[] = {out.Get()};
  ID3D11Buffer* cbs[] = {constants.Get()};
  c->CSSetShader(kernel(kCopy), nullptr, 0);
  c->CSSetShaderResources(0, 1, views);
  c->CSSetConstantBuffers(0, 1, cbs);
  c->CSSetUnorderedAccessViews(0, 1, uavs, nullptr);
  c->Dispatch(65536, 1, 1);
  c->Dispatch(1, 1, 70000);
  EXPECT_THAT(readBack(dst.Get()), Each(0));
  c->Dispatch(3, 2, 1);
  auto bytes = readBack(dst.Get());
  for (size_t i = 0; i < bytes.size(); i += 4) ASSERT_EQ(bytes[i], 255) << i;
  ID3D11UnorderedAccessView* none[] = {nullptr};
  c->CSSetUnorderedAccessViews(0, 1, none, nullptr);
}

TEST(D3D11DispatchTest, AnAlphaLessTextureReadsWithAlphaOne) {
  const UINT w = 4, h = 2;
  std::vector<uint8_t> bgrx(w * h * 4, 0);
  for (size_t i = 0; i < bgrx.size(); i += 4) bgrx[i] = 10, bgrx[i + 1] = 20, bgrx[i + 2] = 30;
  auto src = texture(w, h, DXGI_FORMAT_B8G8R8X8_UNORM, D3D11_BIND_SHADER_RESOURCE, bgrx.data());
  auto dst = target(w, h);
  CopyParams p{{int32_t(w), int32_t(h)}, {0, 0}};
  auto constants = constantBuffer(&p, sizeof p);
  auto in = srv(src.Get());
  auto out = uav(dst.Get());
  dispatch(kernel(kCopy), {{in.Get()}, nullptr, constants.Get(), out.Get()}, w, h);
  auto bytes = readBack(dst.Get());
  for (size_t i = 0; i < bytes.size(); i += 4) {
    EXPECT_EQ(bytes[i], 30);  // the view returns red, green, blue in xyz
    EXPECT_EQ(bytes[i + 2], 10);
    EXPECT_EQ(bytes[i + 3], 255);
  }
}

// Direct3D's rules the kernels lean on: saturate(NaN) = 0, min and max return the
// number beside a NaN, and a float-to-unorm store rounds to nearest.
TEST(D3D11DispatchTest, NaNClampsAndUnormStoresRoundAsInDirect3D) {
  constexpr std::string_view source = R"(
RWTexture2D<unorm float4> dst : register(u0);
cbuffer P : register(b0) { float zero; float low; float high; float otherZero; };
[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) {
  float nan = zero * rcp(otherZero);  // as cas computes 0 x 1/0 on a black patch
  if (id.x == 0 && id.y == 0) dst[id.xy] = float4(saturate(nan), max(nan, 0.5), min(nan, 0.25), 1.0);
  if (id.x == 1 && id.y == 0) dst[id.xy] = float4(low, high, 235.640625 / 255.0, 16.5 / 255.0);
}
)";
  auto t = target(2, 1);
  const float p[4] = {0.0f, (100 + 0.49f) / 255.0f, (100 + 0.51f) / 255.0f, 0};
  auto constants = constantBuffer(p, sizeof p);
  auto out = uav(t.Get());
  dispatch(kernel(source), {{}, nullptr, constants.Get(), out.Get()}, 2, 1);
  auto bytes = readBack(t.Get());
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[1], 128);
  EXPECT_EQ(bytes[2], 64);
  EXPECT_EQ(bytes[4], 100);
  EXPECT_EQ(bytes[5], 101);
  EXPECT_EQ(bytes[6], 236);
  EXPECT_TRUE(bytes[7] == 16 || bytes[7] == 17);
}

// ---- queries ----

struct Timing {
  ComPtr<ID3D11Query> disjoint, start, end;
};

Timing timing(ID3D11Device* device) {
  Timing t;
  D3D11_QUERY_DESC d{D3D11_QUERY_TIMESTAMP_DISJOINT, 0};
  EXPECT_EQ(device->CreateQuery(&d, &t.disjoint), S_OK);
  d.Query = D3D11_QUERY_TIMESTAMP;
  EXPECT_EQ(device->CreateQuery(&d, &t.start), S_OK);
  EXPECT_EQ(device->CreateQuery(&d, &t.end), S_OK);
  return t;
}

TEST(D3D11QueryTest, TimestampsIncreaseAndTheFrequencyComesFromTheDevice) {
  auto q = timing(gpu().device.Get());
  auto* c = gpu().context.Get();
  UINT64 ticks = 0;
  EXPECT_EQ(c->GetData(q.start.Get(), &ticks, sizeof ticks, 0), DXGI_ERROR_INVALID_CALL);  // never ended
  c->Begin(q.disjoint.Get());
  c->End(q.start.Get());
  auto t = target(64, 64);
  fill(t.Get(), 64, 64, {1, 1, 1, 1});
  c->End(q.end.Get());
  c->End(q.disjoint.Get());
  D3D11_QUERY_DATA_TIMESTAMP_DISJOINT dj{};
  HRESULT hr;
  while ((hr = c->GetData(q.disjoint.Get(), &dj, sizeof dj, 0)) == S_FALSE) {
  }
  ASSERT_EQ(hr, S_OK);
  EXPECT_FALSE(dj.Disjoint);
  EXPECT_GT(dj.Frequency, 0u);
  ComPtr<IDXGIDevice> dxgi;
  ComPtr<IDXGIAdapter> adapter;
  DXGI_ADAPTER_DESC desc{};
  gpu().device->QueryInterface(IID_PPV_ARGS(&dxgi));
  dxgi->GetAdapter(&adapter);
  adapter->GetDesc(&desc);
  if (std::wstring(desc.Description).find(L"llvmpipe") != std::wstring::npos) {
    EXPECT_EQ(dj.Frequency, 1000000000u);
  }
  UINT64 start = 0, end = 0;
  ASSERT_EQ(c->GetData(q.start.Get(), &start, sizeof start, 0), S_OK);
  ASSERT_EQ(c->GetData(q.end.Get(), &end, sizeof end, 0), S_OK);
  EXPECT_GT(start, 0u);
  EXPECT_GT(end, start);
  EXPECT_EQ(c->GetData(q.end.Get(), &end, 4, 0), E_INVALIDARG);
}

TEST(D3D11QueryTest, GetDataAnswersSFalseWhileTheWorkIsHeldBackThenAnswers) {
  auto q = timing(gpu().device.Get());
  auto* c = gpu().context.Get();
  platform::d3d11::holdQueue(true);
  c->End(q.end.Get());
  UINT64 ticks = 0;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(c->GetData(q.end.Get(), &ticks, sizeof ticks, 0), S_FALSE);
  platform::d3d11::holdQueue(false);
  HRESULT hr;
  while ((hr = c->GetData(q.end.Get(), &ticks, sizeof ticks, 0)) == S_FALSE) {
  }
  EXPECT_EQ(hr, S_OK);
  EXPECT_GT(ticks, 0u);
}

TEST(D3D11QueryTest, AnInjectedDeviceRemovalEndsTheQueryPoll) {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ASSERT_EQ(createDevice(&device, &context), S_OK);
  auto q = timing(device.Get());
  platform::d3d11::holdQueue(true);
  context->End(q.end.Get());
  UINT64 ticks = 0;
  EXPECT_EQ(context->GetData(q.end.Get(), &ticks, sizeof ticks, 0), S_FALSE);
  platform::faults::inject("ID3D11DeviceContext::GetData", uint32_t(DXGI_ERROR_DEVICE_REMOVED), 1);
  int polls = 0;
  HRESULT hr;
  while ((hr = context->GetData(q.end.Get(), &ticks, sizeof ticks, 0)) == S_FALSE && ++polls < 1000) {
  }
  platform::d3d11::holdQueue(false);
  EXPECT_EQ(hr, DXGI_ERROR_DEVICE_REMOVED);
  EXPECT_EQ(context->GetData(q.end.Get(), &ticks, sizeof ticks, 0), DXGI_ERROR_DEVICE_REMOVED);
  EXPECT_EQ(device->GetDeviceRemovedReason(), DXGI_ERROR_DEVICE_REMOVED);
  auto desc = textureDesc(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
  ComPtr<ID3D11Texture2D> staging;
  ASSERT_EQ(device->CreateTexture2D(&desc, nullptr, &staging), S_OK);
  D3D11_MAPPED_SUBRESOURCE m;
  EXPECT_EQ(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &m), DXGI_ERROR_DEVICE_REMOVED);
}

}  // namespace
}  // namespace tesmira::gputest
