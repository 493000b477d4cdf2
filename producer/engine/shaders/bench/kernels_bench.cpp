// Each compositor kernel at 720p on the machine's Direct3D device, and the post chain
// cas, tone, perspective, nv12 with the frame's upload and the NV12 download, beside
// the same chain in scalar C++. On the CPU rasteriser, LP_NUM_THREADS sets its threads.
#include <benchmark/benchmark.h>
#include <d3d11_4.h>
#include <d3dcompiler.h>
#include <wrl/client.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "producer/engine/compositor_constants.h"
#include "producer/engine/compositor_shaders.h"
#include "producer/engine/shaders/tests/kernel_reference.h"

namespace tesmira {
namespace {

using Microsoft::WRL::ComPtr;
namespace shaders = compositor_shaders;

constexpr int kW = 1280, kH = 720;
constexpr UINT kBoth = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS;

void check(HRESULT hr, const char* step) {
  if (FAILED(hr)) throw std::runtime_error(std::string(step) + " failed");
}

struct Bench {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  std::string adapter;

  Bench() {
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    check(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0x820, levels, 2, D3D11_SDK_VERSION, &device,
                            nullptr, &context),
          "D3D11CreateDevice");
    ComPtr<IDXGIDevice> dxgi;
    ComPtr<IDXGIAdapter> a;
    DXGI_ADAPTER_DESC desc{};
    if (SUCCEEDED(device->QueryInterface(IID_PPV_ARGS(&dxgi))) && SUCCEEDED(dxgi->GetAdapter(&a)) &&
        SUCCEEDED(a->GetDesc(&desc)))
      for (const WCHAR* p = desc.Description; *p; ++p) adapter += char(*p);
  }

  ComPtr<ID3D11ComputeShader> kernel(std::string_view source) {
    ComPtr<ID3DBlob> code, errors;
    check(D3DCompile(source.data(), source.size(), nullptr, nullptr, nullptr, "main", "cs_5_0",
                     D3DCOMPILE_ENABLE_STRICTNESS, 0, &code, &errors),
          "D3DCompile");
    ComPtr<ID3D11ComputeShader> shader;
    check(device->CreateComputeShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &shader),
          "CreateComputeShader");
    return shader;
  }

  ComPtr<ID3D11Texture2D> texture(int w, int h, DXGI_FORMAT format, D3D11_USAGE usage, UINT bind, UINT cpu,
                                  const void* bytes = nullptr, UINT pitch = 0) {
    D3D11_TEXTURE2D_DESC d{UINT(w), UINT(h), 1, 1, format, {1, 0}, usage, bind, cpu, 0};
    D3D11_SUBRESOURCE_DATA data{bytes, pitch, 0};
    ComPtr<ID3D11Texture2D> t;
    check(device->CreateTexture2D(&d, bytes ? &data : nullptr, &t), "CreateTexture2D");
    return t;
  }

  template <class P>
  ComPtr<ID3D11Buffer> constants(const P& p) {
    D3D11_BUFFER_DESC d{sizeof(P), D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
    ComPtr<ID3D11Buffer> b;
    check(device->CreateBuffer(&d, nullptr, &b), "CreateBuffer");
    write(b.Get(), &p, sizeof p);
    return b;
  }

  void write(ID3D11Resource* r, const void* bytes, size_t size) {
    D3D11_MAPPED_SUBRESOURCE m;
    check(context->Map(r, 0, D3D11_MAP_WRITE_DISCARD, 0, &m), "Map");
    std::memcpy(m.pData, bytes, size);
    context->Unmap(r, 0);
  }

  ComPtr<ID3D11ShaderResourceView> srv(ID3D11Resource* r, const D3D11_SHADER_RESOURCE_VIEW_DESC* d = nullptr) {
    ComPtr<ID3D11ShaderResourceView> v;
    check(device->CreateShaderResourceView(r, d, &v), "CreateSRV");
    return v;
  }
  ComPtr<ID3D11UnorderedAccessView> uav(ID3D11Resource* r) {
    ComPtr<ID3D11UnorderedAccessView> v;
    check(device->CreateUnorderedAccessView(r, nullptr, &v), "CreateUAV");
    return v;
  }

  void dispatch(ID3D11ComputeShader* shader, std::initializer_list<ID3D11ShaderResourceView*> srvs,
                ID3D11SamplerState* sampler, ID3D11Buffer* cb, ID3D11UnorderedAccessView* out, int w, int h) {
    context->CSSetShader(shader, nullptr, 0);
    context->CSSetShaderResources(0, UINT(srvs.size()), srvs.begin());
    if (sampler) context->CSSetSamplers(0, 1, &sampler);
    context->CSSetConstantBuffers(0, 1, &cb);
    context->CSSetUnorderedAccessViews(0, 1, &out, nullptr);
    context->Dispatch((w + 7) / 8, (h + 7) / 8, 1);
    ID3D11UnorderedAccessView* none = nullptr;
    context->CSSetUnorderedAccessViews(0, 1, &none, nullptr);
    ID3D11ShaderResourceView* noViews[3] = {};
    context->CSSetShaderResources(0, UINT(srvs.size()), noViews);
  }
};

// The compositor's resources at 720p, filled with a camera-like frame.
struct Scene : Bench {
  std::vector<uint8_t> frameBgr = std::vector<uint8_t>(size_t(kW) * kH * 3);
  std::vector<uint8_t> nv12Bytes;
  ComPtr<ID3D11Texture2D> frame, out, sharp, tone, persp, frameUpload, nv12, nv12Download, crop, finalCrop, field, mask,
      lut, deltaTex, probe;
  ComPtr<ID3D11Buffer> fieldBuffer;
  ComPtr<ID3D11ShaderResourceView> frameSrv, outSrv, sharpSrv, toneSrv, perspSrv, cropSrv, finalCropSrv, fieldSrv,
      maskSrv, lutSrv, deltaSrv, fieldBufferSrv;
  ComPtr<ID3D11UnorderedAccessView> outUav, sharpUav, toneUav, perspUav, nv12Uav, finalCropUav;
  ComPtr<ID3D11SamplerState> sampler;
  ComPtr<ID3D11ComputeShader> kDelta, kComposite, kPaste, kNv12, kCopy, kCas, kTone, kPersp;
  std::vector<std::array<float, 2>> offsets = std::vector<std::array<float, 2>>(5184);

  Scene() {
    std::mt19937 rng(5);
    for (size_t i = 0; i < frameBgr.size(); ++i) frameBgr[i] = uint8_t((i / 3 % kW) / 5 + (rng() & 15));
    for (auto& o : offsets) o = {float(int(rng() % 7) - 3), float(int(rng() % 7) - 3)};
    auto def = [&](int w, int h, UINT bind) { return texture(w, h, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT, bind, 0); };
    frame = def(kW, kH, kBoth);
    out = def(kW, kH, kBoth);
    sharp = def(kW, kH, kBoth);
    tone = def(kW, kH, kBoth);
    persp = def(kW, kH, kBoth);
    nv12 = def(kW / 4, kH * 3 / 2, D3D11_BIND_UNORDERED_ACCESS);
    finalCrop = def(320, 512, kBoth);
    frameUpload = texture(kW, kH, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_WRITE);
    nv12Download = texture(kW / 4, kH * 3 / 2, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
    probe = texture(1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
    crop = texture(320, 512, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DYNAMIC, D3D11_BIND_SHADER_RESOURCE,
                   D3D11_CPU_ACCESS_WRITE);
    field = texture(40, 64, DXGI_FORMAT_R32G32B32A32_FLOAT, D3D11_USAGE_DYNAMIC, D3D11_BIND_SHADER_RESOURCE,
                    D3D11_CPU_ACCESS_WRITE);
    mask = texture(320, 512, DXGI_FORMAT_R32_FLOAT, D3D11_USAGE_DYNAMIC, D3D11_BIND_SHADER_RESOURCE, D3D11_CPU_ACCESS_WRITE);
    deltaTex = texture(320, 512, DXGI_FORMAT_R32G32B32A32_FLOAT, D3D11_USAGE_DYNAMIC, D3D11_BIND_SHADER_RESOURCE,
                       D3D11_CPU_ACCESS_WRITE);
    std::vector<uint8_t> atlas(256 * 16 * 4);
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 256; ++x) {
        uint8_t* t = &atlas[(y * 256 + x) * 4];
        t[0] = uint8_t(17 * (x % 16)), t[1] = uint8_t(17 * y), t[2] = uint8_t(17 * (x / 16) * 9 / 10), t[3] = 255;
      }
    lut = texture(256, 16, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_IMMUTABLE, D3D11_BIND_SHADER_RESOURCE, 0, atlas.data(), 1024);
    D3D11_BUFFER_DESC fd{5184 * 8, D3D11_USAGE_DYNAMIC, D3D11_BIND_SHADER_RESOURCE, D3D11_CPU_ACCESS_WRITE,
                         D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 8};
    check(device->CreateBuffer(&fd, nullptr, &fieldBuffer), "CreateBuffer(perspectiveField)");
    D3D11_SHADER_RESOURCE_VIEW_DESC fv{};
    fv.Format = DXGI_FORMAT_UNKNOWN;
    fv.ViewDimension = D3D11_SRV_DIMENSION_BUFFER;
    fv.Buffer.NumElements = 5184;
    fieldBufferSrv = srv(fieldBuffer.Get(), &fv);
    frameSrv = srv(frame.Get()), outSrv = srv(out.Get()), sharpSrv = srv(sharp.Get()), toneSrv = srv(tone.Get());
    perspSrv = srv(persp.Get()), cropSrv = srv(crop.Get()), finalCropSrv = srv(finalCrop.Get()), fieldSrv = srv(field.Get());
    maskSrv = srv(mask.Get()), lutSrv = srv(lut.Get()), deltaSrv = srv(deltaTex.Get());
    outUav = uav(out.Get()), sharpUav = uav(sharp.Get()), toneUav = uav(tone.Get()), perspUav = uav(persp.Get());
    nv12Uav = uav(nv12.Get()), finalCropUav = uav(finalCrop.Get());
    D3D11_SAMPLER_DESC s{D3D11_FILTER_MIN_MAG_MIP_LINEAR, D3D11_TEXTURE_ADDRESS_CLAMP, D3D11_TEXTURE_ADDRESS_CLAMP,
                         D3D11_TEXTURE_ADDRESS_CLAMP, 0, 0, D3D11_COMPARISON_NEVER, {0, 0, 0, 0}, 0, D3D11_FLOAT32_MAX};
    check(device->CreateSamplerState(&s, &sampler), "CreateSamplerState");
    kDelta = kernel(shaders::delta), kComposite = kernel(shaders::composite), kPaste = kernel(shaders::residentPaste);
    kNv12 = kernel(shaders::nv12), kCopy = kernel(shaders::copyCameraFrame), kCas = kernel(shaders::cas);
    kTone = kernel(shaders::tone), kPersp = kernel(shaders::perspective);
    uploadFrame();
    wait(out.Get());
  }

  void uploadFrame() {
    D3D11_MAPPED_SUBRESOURCE m;
    check(context->Map(frameUpload.Get(), 0, D3D11_MAP_WRITE, 0, &m), "Map(frameUpload)");
    for (int y = 0; y < kH; ++y) {
      uint8_t* row = static_cast<uint8_t*>(m.pData) + size_t(y) * m.RowPitch;
      const uint8_t* src = &frameBgr[size_t(y) * kW * 3];
      for (int x = 0; x < kW; ++x) row[x * 4] = src[x * 3], row[x * 4 + 1] = src[x * 3 + 1], row[x * 4 + 2] = src[x * 3 + 2], row[x * 4 + 3] = 255;
    }
    context->Unmap(frameUpload.Get(), 0);
    context->CopyResource(frame.Get(), frameUpload.Get());
    context->CopyResource(out.Get(), frame.Get());
  }

  // Waits for the GPU through a one-texel read-back of `t`.
  void wait(ID3D11Texture2D* t) {
    D3D11_BOX box{0, 0, 0, 1, 1, 1};
    context->CopySubresourceRegion(probe.Get(), 0, 0, 0, 0, t, 0, &box);
    D3D11_MAPPED_SUBRESOURCE m;
    check(context->Map(probe.Get(), 0, D3D11_MAP_READ, 0, &m), "Map(probe)");
    benchmark::DoNotOptimize(*static_cast<volatile uint8_t*>(m.pData));
    context->Unmap(probe.Get(), 0);
  }

  void cas(ID3D11ShaderResourceView* s) { dispatch(kCas.Get(), {s}, nullptr, constants(CasParams{{kW, kH}, 0.6f, 0}).Get(), sharpUav.Get(), kW, kH); }
  void toneMap(ID3D11ShaderResourceView* s) {
    dispatch(kTone.Get(), {s, lutSrv.Get()}, sampler.Get(), constants(ToneParams{{kW, kH}, {0, 0}}).Get(), toneUav.Get(), kW, kH);
  }
  void perspective(ID3D11ShaderResourceView* s) {
    write(fieldBuffer.Get(), offsets.data(), offsets.size() * 8);
    dispatch(kPersp.Get(), {s, fieldBufferSrv.Get()}, sampler.Get(), constants(PerspectiveParams{{96, 54}, {kW, kH}}).Get(),
             perspUav.Get(), kW, kH);
  }
  void packNv12(ID3D11ShaderResourceView* s) {
    dispatch(kNv12.Get(), {s}, nullptr, constants(Nv12Params{{kW, kH}, {0, 0}}).Get(), nv12Uav.Get(), nv12GroupsX(kW) * 8, nv12GroupsY(kH) * 8);
    context->CopyResource(nv12Download.Get(), nv12.Get());
    nv12Bytes.resize(size_t(kW) * kH * 3 / 2);
    D3D11_MAPPED_SUBRESOURCE m;
    check(context->Map(nv12Download.Get(), 0, D3D11_MAP_READ, 0, &m), "Map(nv12Download)");
    for (int y = 0; y < kH * 3 / 2; ++y)
      std::memcpy(&nv12Bytes[size_t(y) * kW], static_cast<uint8_t*>(m.pData) + size_t(y) * m.RowPitch, kW);
    context->Unmap(nv12Download.Get(), 0);
  }
};

Scene& scene() {
  static Scene* s = new Scene;  // kept for the process: the driver's threads outlive static destruction
  return *s;
}

template <class F>
void timeKernel(benchmark::State& state, F&& f, ID3D11Texture2D* result) {
  auto& s = scene();
  for (auto _ : state) {
    f(s);
    s.wait(result);
  }
  state.SetLabel(s.adapter);
}

void BM_Cas(benchmark::State& st) { timeKernel(st, [](Scene& s) { s.cas(s.outSrv.Get()); }, scene().sharp.Get()); }
void BM_Tone(benchmark::State& st) { timeKernel(st, [](Scene& s) { s.toneMap(s.outSrv.Get()); }, scene().tone.Get()); }
void BM_Perspective(benchmark::State& st) {
  timeKernel(st, [](Scene& s) { s.perspective(s.outSrv.Get()); }, scene().persp.Get());
}
void BM_Nv12(benchmark::State& st) {
  timeKernel(st, [](Scene& s) {
    s.dispatch(s.kNv12.Get(), {s.outSrv.Get()}, nullptr, s.constants(Nv12Params{{kW, kH}, {0, 0}}).Get(), s.nv12Uav.Get(), nv12GroupsX(kW) * 8, nv12GroupsY(kH) * 8);
  }, scene().nv12.Get());
}
void BM_CopyCameraFrame(benchmark::State& st) {
  timeKernel(st, [](Scene& s) {
    s.dispatch(s.kCopy.Get(), {s.frameSrv.Get()}, nullptr, s.constants(FrameCopyParams{{kW, kH}, 1, 0}).Get(), s.outUav.Get(), kW, kH);
  }, scene().out.Get());
}
void BM_Composite(benchmark::State& st) {
  timeKernel(st, [](Scene& s) {
    s.dispatch(s.kComposite.Get(), {s.cropSrv.Get(), s.fieldSrv.Get(), s.maskSrv.Get()}, s.sampler.Get(),
               s.constants(CompositeParams{0.8f, 0, {320, 512}, {40, 64}, {0, 0}}).Get(), s.finalCropUav.Get(), 320, 512);
  }, scene().finalCrop.Get());
}
// The crop's footprint on the 720p frame: a 320x512 crop at half scale, 160x256 frame pixels.
const Params kRoi{{2, 0}, {0, 2}, {-1000, -500}, {500, 250}, {660, 506}, {320, 512}, {0, 0}, {}};
void BM_ResidentPaste(benchmark::State& st) {
  timeKernel(st, [](Scene& s) {
    s.dispatch(s.kPaste.Get(), {s.frameSrv.Get(), s.finalCropSrv.Get(), s.cropSrv.Get()}, s.sampler.Get(), s.constants(kRoi).Get(),
               s.outUav.Get(), kRoi.roiMax[0] - kRoi.roiMin[0], kRoi.roiMax[1] - kRoi.roiMin[1]);
  }, scene().out.Get());
}
void BM_Delta(benchmark::State& st) {
  timeKernel(st, [](Scene& s) {
    s.dispatch(s.kDelta.Get(), {s.frameSrv.Get(), s.deltaSrv.Get()}, s.sampler.Get(), s.constants(kRoi).Get(), s.outUav.Get(),
               kRoi.roiMax[0] - kRoi.roiMin[0], kRoi.roiMax[1] - kRoi.roiMin[1]);
  }, scene().out.Get());
}

// Upload, cas, tone, perspective, nv12 and the NV12 download: the camera-only path at 720p.
void BM_Chain720p(benchmark::State& state) {
  auto& s = scene();
  for (auto _ : state) {
    s.uploadFrame();
    s.cas(s.outSrv.Get());
    s.toneMap(s.sharpSrv.Get());
    s.perspective(s.toneSrv.Get());
    s.packNv12(s.perspSrv.Get());
    benchmark::DoNotOptimize(s.nv12Bytes.data());
  }
  state.SetLabel(s.adapter);
}

// The same chain in scalar C++ (the kernels' references), for scale.
void BM_Chain720pScalarCpp(benchmark::State& state) {
  auto& s = scene();
  reference::Image frameImage(kW, kH);
  for (size_t i = 0; i < frameImage.texels.size(); ++i)
    frameImage.texels[i] = {s.frameBgr[i * 3] / 255.0f, s.frameBgr[i * 3 + 1] / 255.0f, s.frameBgr[i * 3 + 2] / 255.0f, 1};
  reference::Image atlas(256, 16);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 256; ++x) atlas.at(x, y) = {17.0f * (x % 16) / 255, 17.0f * y / 255, 17.0f * (x / 16) * 0.9f / 255, 1};
  for (auto _ : state) {
    auto sharp = reference::cas(frameImage, {{kW, kH}, 0.6f, 0});
    auto toned = reference::tone(sharp, atlas, {{kW, kH}, {0, 0}});
    auto warped = reference::perspective(toned, s.offsets, {{96, 54}, {kW, kH}});
    auto packed = reference::nv12(warped, {{kW, kH}, {0, 0}});
    benchmark::DoNotOptimize(packed.texels.data());
  }
}

BENCHMARK(BM_CopyCameraFrame)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Composite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ResidentPaste)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Delta)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Cas)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Tone)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Perspective)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Nv12)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Chain720p)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Chain720pScalarCpp)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tesmira

BENCHMARK_MAIN();
