#include "producer/engine/gpu_compositor.h"

#include <d3d11_4.h>
#include <d3dcompiler.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "producer/engine/compositor_constants.h"
#include "producer/engine/compositor_shaders.h"
#include "producer/engine/crop_geometry.h"
#include "producer/engine/gpu_d3d11_compositor.h"

namespace tesmira {

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kFieldWidth = 40;
constexpr int kFieldHeight = 64;
constexpr int kSkinFieldValues = 4 * kFieldWidth * kFieldHeight;
constexpr UINT kPerspectiveCells = kPerspectiveColumns * kPerspectiveRows;

std::string hresultText(const char* step, HRESULT hr) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(static_cast<uint32_t>(hr)));
  return std::string(step) + " failed with HRESULT " + text;
}

void check(HRESULT hr, const char* step) {
  if (FAILED(hr)) throwHresultError(step, hr);
}

UINT groups(int extent) { return UINT((extent + 7) / 8); }

// Timestamp results arrive after a few S_FALSE answers; any other answer (a removed
// device, an invalid call) means none will come, and the times stay 0.
template <class T>
bool pollQuery(ID3D11DeviceContext* context, ID3D11Query* query, T& data) {
  HRESULT hr;
  while ((hr = context->GetData(query, &data, sizeof data, 0)) == S_FALSE) {
  }
  return hr == S_OK;
}

Params roiParams(const std::array<double, 6>& a, const CropFootprint& roi) {
  Params p{};
  p.m0[0] = float(a[0]);
  p.m0[1] = float(a[1]);
  p.m1[0] = float(a[3]);
  p.m1[1] = float(a[4]);
  p.mt[0] = float(a[2]);
  p.mt[1] = float(a[5]);
  p.roiMin[0] = roi.minX;
  p.roiMin[1] = roi.minY;
  p.roiMax[0] = roi.maxX;
  p.roiMax[1] = roi.maxY;
  p.cropDim[0] = kCropWidth;
  p.cropDim[1] = kCropHeight;
  return p;
}

bool isCrop(const cv::Mat& m) { return m.type() == CV_8UC3 && m.cols == kCropWidth && m.rows == kCropHeight; }

bool packable(const cv::Mat& frame) {
  return frame.type() == CV_8UC3 && frame.cols > 0 && frame.rows > 0 && frame.cols % 4 == 0 && frame.rows % 2 == 0;
}

bool fieldUsable(const PerspectiveField* f) {
  return f && f->columns > 0 && f->rows > 0 && f->offsets.size() >= size_t(f->columns) * size_t(f->rows);
}

// BGR rows as B, G, R, 255 texels at the mapped row pitch.
void writeBgrRows(const D3D11_MAPPED_SUBRESOURCE& m, const cv::Mat& bgr) {
  for (int y = 0; y < bgr.rows; ++y) {
    const uint8_t* src = bgr.ptr<uint8_t>(y);
    uint8_t* dst = static_cast<uint8_t*>(m.pData) + size_t(y) * m.RowPitch;
    for (int x = 0; x < bgr.cols; ++x, src += 3, dst += 4) {
      dst[0] = src[0];
      dst[1] = src[1];
      dst[2] = src[2];
      dst[3] = 255;
    }
  }
}

D3D11_TEXTURE2D_DESC textureDesc(int width, int height, DXGI_FORMAT format, D3D11_USAGE usage, UINT bind, UINT cpu) {
  return {UINT(width), UINT(height), 1, 1, format, {1, 0}, usage, bind, cpu, 0};
}

}  // namespace

[[noreturn]] void throwHresultError(const char* step, HRESULT hr) { throw std::runtime_error(hresultText(step, hr)); }

double elapsedMs(std::chrono::steady_clock::time_point start) {
  return double(
             std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count()) /
         1e6;
}

ComPtr<ID3DBlob> compileComputeShader(std::string_view source) {
  ComPtr<ID3DBlob> code, errors;
  const HRESULT hr = D3DCompile(source.data(), source.size(), nullptr, nullptr, nullptr, "main", "cs_5_0",
                                D3DCOMPILE_ENABLE_STRICTNESS, 0, &code, &errors);
  if (FAILED(hr)) {
    std::string text = hresultText("D3DCompile(compute)", hr);
    if (errors)
      text += ": " + std::string(static_cast<const char*>(errors->GetBufferPointer()), errors->GetBufferSize());
    throw std::runtime_error(text);
  }
  return code;
}

// A frame-size texture the kernels both read and write.
struct FrameTexture {
  ComPtr<ID3D11Texture2D> texture;
  ComPtr<ID3D11ShaderResourceView> srv;
  ComPtr<ID3D11UnorderedAccessView> uav;
};

// Members in this order so that destruction releases the frame-size, NV12, external and
// crop-space objects and the queries first and the device last.
struct GpuCompositorImpl {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;

  ComPtr<ID3D11ComputeShader> deltaCs, compositeCs, residentPasteCs, nv12Cs, copyCameraFrameCs, casCs, toneCs,
      perspectiveCs;
  ComPtr<ID3D11SamplerState> sampler;
  ComPtr<ID3D11Buffer> params, compositeParams, nv12Params, frameCopyParams, casParams, toneParams, perspectiveParams;
  ComPtr<ID3D11Buffer> perspectiveField;
  ComPtr<ID3D11ShaderResourceView> perspectiveFieldSrv;

  std::array<ComPtr<ID3D11Texture2D>, kToneCount + 1> toneLut;
  std::array<ComPtr<ID3D11ShaderResourceView>, kToneCount + 1> toneLutSrv;

  ComPtr<ID3D11Texture2D> delta, crop, extFinalCrop, field, mask, finalCrop;
  ComPtr<ID3D11ShaderResourceView> deltaSrv, cropSrv, extFinalCropSrv, fieldSrv, maskSrv, finalCropSrv;
  ComPtr<ID3D11UnorderedAccessView> finalCropUav;

  ComPtr<ID3D11Query> mid;

  FrameTexture frame, out, sharp, tone, persp;
  ComPtr<ID3D11Texture2D> frameUpload, outDownload;

  ComPtr<ID3D11Texture2D> externalFrame;
  ComPtr<ID3D11ShaderResourceView> externalFrameSrv;
  uint32_t externalFormat = 0;

  ComPtr<ID3D11Texture2D> nv12;
  ComPtr<ID3D11UnorderedAccessView> nv12Uav;
  ComPtr<ID3D11Texture2D> nv12Download;

  ComPtr<ID3D11Query> disjoint, start, end;
  // The frame's tail: post chain, packing kernel, read-back copy.
  ComPtr<ID3D11Query> tailDisjoint, tailStart, postEnd, nv12End, copyEnd;

  uint32_t width = 0, height = 0;
  uint32_t nv12Width = 0, nv12Height = 0;

  void build();
  ComPtr<ID3D11ComputeShader> shader(std::future<ComPtr<ID3DBlob>>& compiled, const char* step);
  ComPtr<ID3D11Buffer> constants(UINT bytes, const char* step);
  ComPtr<ID3D11Texture2D> texture(const D3D11_TEXTURE2D_DESC& desc, const char* step,
                                  const D3D11_SUBRESOURCE_DATA* data = nullptr);
  ComPtr<ID3D11ShaderResourceView> srv(ID3D11Resource* resource, const char* step);
  ComPtr<ID3D11UnorderedAccessView> uav(ID3D11Resource* resource, const char* step);
  ComPtr<ID3D11Query> query(D3D11_QUERY kind, const char* step);
  void dynamicCropTexture(ComPtr<ID3D11Texture2D>& t, ComPtr<ID3D11ShaderResourceView>& v, DXGI_FORMAT format, int w,
                          int h, const char* textureStep, const char* viewStep);

  template <class T>
  void writeConstants(ID3D11Buffer* buffer, const T& value, const char* step);
  D3D11_MAPPED_SUBRESOURCE map(ID3D11Resource* resource, D3D11_MAP kind, const char* step);
  void dispatch(ID3D11ComputeShader* cs, std::initializer_list<ID3D11ShaderResourceView*> srvs, ID3D11Buffer* cb,
                ID3D11UnorderedAccessView* target, UINT groupsX, UINT groupsY, bool sampled);
  void releaseFrameSet();
  void releaseExternal();
};

ComPtr<ID3D11ComputeShader> GpuCompositorImpl::shader(std::future<ComPtr<ID3DBlob>>& compiled, const char* step) {
  auto code = compiled.get();
  ComPtr<ID3D11ComputeShader> cs;
  check(device->CreateComputeShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &cs), step);
  return cs;
}

ComPtr<ID3D11Buffer> GpuCompositorImpl::constants(UINT bytes, const char* step) {
  D3D11_BUFFER_DESC desc{bytes, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
  ComPtr<ID3D11Buffer> b;
  check(device->CreateBuffer(&desc, nullptr, &b), step);
  return b;
}

ComPtr<ID3D11Texture2D> GpuCompositorImpl::texture(const D3D11_TEXTURE2D_DESC& desc, const char* step,
                                                   const D3D11_SUBRESOURCE_DATA* data) {
  ComPtr<ID3D11Texture2D> t;
  check(device->CreateTexture2D(&desc, data, &t), step);
  return t;
}

ComPtr<ID3D11ShaderResourceView> GpuCompositorImpl::srv(ID3D11Resource* resource, const char* step) {
  ComPtr<ID3D11ShaderResourceView> v;
  check(device->CreateShaderResourceView(resource, nullptr, &v), step);
  return v;
}

ComPtr<ID3D11UnorderedAccessView> GpuCompositorImpl::uav(ID3D11Resource* resource, const char* step) {
  ComPtr<ID3D11UnorderedAccessView> v;
  check(device->CreateUnorderedAccessView(resource, nullptr, &v), step);
  return v;
}

ComPtr<ID3D11Query> GpuCompositorImpl::query(D3D11_QUERY kind, const char* step) {
  D3D11_QUERY_DESC desc{kind, 0};
  ComPtr<ID3D11Query> q;
  check(device->CreateQuery(&desc, &q), step);
  return q;
}

void GpuCompositorImpl::dynamicCropTexture(ComPtr<ID3D11Texture2D>& t, ComPtr<ID3D11ShaderResourceView>& v,
                                           DXGI_FORMAT format, int w, int h, const char* textureStep,
                                           const char* viewStep) {
  t = texture(textureDesc(w, h, format, D3D11_USAGE_DYNAMIC, D3D11_BIND_SHADER_RESOURCE, D3D11_CPU_ACCESS_WRITE),
              textureStep);
  v = srv(t.Get(), viewStep);
}

void GpuCompositorImpl::build() {
  // Compiling needs no device: the kernels compile on threads of their own while it is made.
  namespace k = compositor_shaders;
  std::future<ComPtr<ID3DBlob>> compiled[8];
  const std::string_view sources[8] = {k::delta,           k::composite, k::residentPaste, k::nv12,
                                       k::copyCameraFrame, k::cas,       k::tone,          k::perspective};
  for (size_t i = 0; i < 8; ++i) compiled[i] = std::async(std::launch::async, compileComputeShader, sources[i]);

  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
  check(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                          D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT, levels, 2,
                          D3D11_SDK_VERSION, &device, nullptr, &context),
        "D3D11CreateDevice(compositor)");

  // The camera's capture thread fills textures on this device. The IID comes from the
  // interface's own uuid: MinGW-w64's dxguid library lacks IID_ID3D11Multithread.
  ComPtr<ID3D11Multithread> multithread;
  if (SUCCEEDED(device->QueryInterface(IID_PPV_ARGS(multithread.GetAddressOf()))))
    multithread->SetMultithreadProtected(TRUE);

  deltaCs = shader(compiled[0], "CreateComputeShader");
  compositeCs = shader(compiled[1], "CreateComputeShader(composite)");
  residentPasteCs = shader(compiled[2], "CreateComputeShader(residentPaste)");
  nv12Cs = shader(compiled[3], "CreateComputeShader(nv12)");
  copyCameraFrameCs = shader(compiled[4], "CreateComputeShader(copyCameraFrame)");
  casCs = shader(compiled[5], "CreateComputeShader(cas)");
  toneCs = shader(compiled[6], "CreateComputeShader(tone)");
  perspectiveCs = shader(compiled[7], "CreateComputeShader(perspective)");

  D3D11_SAMPLER_DESC s{D3D11_FILTER_MIN_MAG_MIP_LINEAR,
                       D3D11_TEXTURE_ADDRESS_CLAMP,
                       D3D11_TEXTURE_ADDRESS_CLAMP,
                       D3D11_TEXTURE_ADDRESS_CLAMP,
                       0,
                       0,
                       D3D11_COMPARISON_NEVER,
                       {0, 0, 0, 0},
                       0,
                       D3D11_FLOAT32_MAX};
  check(device->CreateSamplerState(&s, &sampler), "CreateSamplerState");

  params = constants(sizeof(Params), "CreateBuffer(params)");
  compositeParams = constants(sizeof(CompositeParams), "CreateBuffer(compositeParams)");
  nv12Params = constants(sizeof(Nv12Params), "CreateBuffer(nv12Params)");
  frameCopyParams = constants(sizeof(FrameCopyParams), "CreateBuffer(frameCopyParams)");
  casParams = constants(sizeof(CasParams), "CreateBuffer(casParams)");
  toneParams = constants(sizeof(ToneParams), "CreateBuffer(toneParams)");
  perspectiveParams = constants(sizeof(PerspectiveParams), "CreateBuffer(perspectiveParams)");

  D3D11_BUFFER_DESC fieldDesc{kPerspectiveCells * 8,
                              D3D11_USAGE_DYNAMIC,
                              D3D11_BIND_SHADER_RESOURCE,
                              D3D11_CPU_ACCESS_WRITE,
                              D3D11_RESOURCE_MISC_BUFFER_STRUCTURED,
                              8};
  check(device->CreateBuffer(&fieldDesc, nullptr, &perspectiveField), "CreateBuffer(perspectiveField)");
  D3D11_SHADER_RESOURCE_VIEW_DESC fieldView{};
  fieldView.Format = DXGI_FORMAT_UNKNOWN;
  fieldView.ViewDimension = D3D11_SRV_DIMENSION_BUFFER;
  fieldView.Buffer.FirstElement = 0;
  fieldView.Buffer.NumElements = kPerspectiveCells;
  check(device->CreateShaderResourceView(perspectiveField.Get(), &fieldView, &perspectiveFieldSrv),
        "CreateSRV(perspectiveField)");

  dynamicCropTexture(crop, cropSrv, DXGI_FORMAT_R8G8B8A8_UNORM, kCropWidth, kCropHeight, "CreateTexture2D(crop)",
                     "CreateSRV(crop)");
  dynamicCropTexture(extFinalCrop, extFinalCropSrv, DXGI_FORMAT_R8G8B8A8_UNORM, kCropWidth, kCropHeight,
                     "CreateTexture2D(extFinalCrop)", "CreateSRV(extFinalCrop)");
  dynamicCropTexture(field, fieldSrv, DXGI_FORMAT_R32G32B32A32_FLOAT, kFieldWidth, kFieldHeight,
                     "CreateTexture2D(field)", "CreateSRV(field)");
  finalCrop = texture(textureDesc(kCropWidth, kCropHeight, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT,
                                  D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS, 0),
                      "CreateTexture2D(finalCrop)");
  finalCropSrv = srv(finalCrop.Get(), "CreateSRV(finalCrop)");
  finalCropUav = uav(finalCrop.Get(), "CreateUAV(finalCrop)");
  dynamicCropTexture(delta, deltaSrv, DXGI_FORMAT_R32G32B32A32_FLOAT, kCropWidth, kCropHeight, "CreateTexture2D(delta)",
                     "CreateSRV(delta)");

  disjoint = query(D3D11_QUERY_TIMESTAMP_DISJOINT, "CreateQuery(disjoint)");
  start = query(D3D11_QUERY_TIMESTAMP, "CreateQuery(start)");
  mid = query(D3D11_QUERY_TIMESTAMP, "CreateQuery(mid)");
  end = query(D3D11_QUERY_TIMESTAMP, "CreateQuery(end)");
  tailDisjoint = query(D3D11_QUERY_TIMESTAMP_DISJOINT, "CreateQuery(tailDisjoint)");
  tailStart = query(D3D11_QUERY_TIMESTAMP, "CreateQuery(tailStart)");
  postEnd = query(D3D11_QUERY_TIMESTAMP, "CreateQuery(postEnd)");
  nv12End = query(D3D11_QUERY_TIMESTAMP, "CreateQuery(nv12End)");
  copyEnd = query(D3D11_QUERY_TIMESTAMP, "CreateQuery(copyEnd)");
}

template <class T>
void GpuCompositorImpl::writeConstants(ID3D11Buffer* buffer, const T& value, const char* step) {
  D3D11_MAPPED_SUBRESOURCE m = map(buffer, D3D11_MAP_WRITE_DISCARD, step);
  std::memcpy(m.pData, &value, sizeof value);
  context->Unmap(buffer, 0);
}

D3D11_MAPPED_SUBRESOURCE GpuCompositorImpl::map(ID3D11Resource* resource, D3D11_MAP kind, const char* step) {
  D3D11_MAPPED_SUBRESOURCE m{};
  check(context->Map(resource, 0, kind, 0, &m), step);
  return m;
}

void GpuCompositorImpl::dispatch(ID3D11ComputeShader* cs, std::initializer_list<ID3D11ShaderResourceView*> srvs,
                                 ID3D11Buffer* cb, ID3D11UnorderedAccessView* target, UINT groupsX, UINT groupsY,
                                 bool sampled) {
  context->CSSetShader(cs, nullptr, 0);
  context->CSSetShaderResources(0, UINT(srvs.size()), srvs.begin());
  if (sampled) context->CSSetSamplers(0, 1, sampler.GetAddressOf());
  context->CSSetConstantBuffers(0, 1, &cb);
  context->CSSetUnorderedAccessViews(0, 1, &target, nullptr);
  context->Dispatch(groupsX, groupsY, 1);
  // A texture written here is read by the next pass: no binding may outlive its pass.
  ID3D11UnorderedAccessView* noTarget = nullptr;
  context->CSSetUnorderedAccessViews(0, 1, &noTarget, nullptr);
  ID3D11ShaderResourceView* none[3] = {};
  context->CSSetShaderResources(0, UINT(srvs.size()), none);
}

void GpuCompositorImpl::releaseExternal() {
  externalFrameSrv.Reset();
  externalFrame.Reset();
  externalFormat = 0;
}

void GpuCompositorImpl::releaseFrameSet() {
  for (FrameTexture* t : {&frame, &out, &sharp, &tone, &persp}) *t = FrameTexture{};
  frameUpload.Reset();
  outDownload.Reset();
  releaseExternal();
}

// ---- D3D11Compositor ----

D3D11Compositor::D3D11Compositor() : impl_(std::make_unique<GpuCompositorImpl>()) { impl_->build(); }

D3D11Compositor::~D3D11Compositor() = default;

ID3D11Device* D3D11Compositor::device() const { return impl_->device.Get(); }
ID3D11Texture2D* D3D11Compositor::frameTexture() const { return impl_->frame.texture.Get(); }
ID3D11Texture2D* D3D11Compositor::outTexture() const { return impl_->out.texture.Get(); }
ID3D11Texture2D* D3D11Compositor::externalTexture() const { return impl_->externalFrame.Get(); }
ID3D11Texture2D* D3D11Compositor::nv12Texture() const { return impl_->nv12.Get(); }
ID3D11ShaderResourceView* D3D11Compositor::outView() const { return impl_->out.srv.Get(); }

void D3D11Compositor::ensureFrameTextures(int width, int height) {
  auto& g = *impl_;
  if (g.frame.texture && g.width == uint32_t(width) && g.height == uint32_t(height)) return;
  g.releaseFrameSet();
  g.width = g.height = 0;
  constexpr UINT both = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS;
  const auto rw = textureDesc(width, height, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT, both, 0);
  g.frame.texture = g.texture(rw, "CreateTexture2D(frame)");
  g.frame.srv = g.srv(g.frame.texture.Get(), "CreateSRV(frame)");
  g.frame.uav = g.uav(g.frame.texture.Get(), "CreateUAV(frame)");
  struct Named {
    FrameTexture* t;
    const char *texture, *uav, *srv;
  };
  for (const Named& n : {Named{&g.out, "CreateTexture2D(out)", "CreateUAV(out)", "CreateSRV(out)"},
                         Named{&g.sharp, "CreateTexture2D(sharp)", "CreateUAV(sharp)", "CreateSRV(sharp)"},
                         Named{&g.tone, "CreateTexture2D(tone)", "CreateUAV(tone)", "CreateSRV(tone)"},
                         Named{&g.persp, "CreateTexture2D(persp)", "CreateUAV(persp)", "CreateSRV(persp)"}}) {
    n.t->texture = g.texture(rw, n.texture);
    n.t->uav = g.uav(n.t->texture.Get(), n.uav);
    n.t->srv = g.srv(n.t->texture.Get(), n.srv);
  }
  g.frameUpload =
      g.texture(textureDesc(width, height, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_WRITE),
                "CreateTexture2D(frameUpload)");
  g.outDownload =
      g.texture(textureDesc(width, height, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ),
                "CreateTexture2D(outDownload)");
  g.width = uint32_t(width);
  g.height = uint32_t(height);
}

void D3D11Compositor::ensureNv12Textures(int width, int height) {
  auto& g = *impl_;
  if (g.nv12 && g.nv12Width == uint32_t(width) && g.nv12Height == uint32_t(height)) return;
  g.nv12Uav.Reset();
  g.nv12.Reset();
  g.nv12Download.Reset();
  g.nv12Width = g.nv12Height = 0;
  const int w = width / 4, h = height + height / 2;
  g.nv12 = g.texture(textureDesc(w, h, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT, D3D11_BIND_UNORDERED_ACCESS, 0),
                     "CreateTexture2D(nv12)");
  g.nv12Uav = g.uav(g.nv12.Get(), "CreateUAV(nv12)");
  g.nv12Download =
      g.texture(textureDesc(w, h, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ),
                "CreateTexture2D(nv12Download)");
  g.nv12Width = uint32_t(width);
  g.nv12Height = uint32_t(height);
}

bool D3D11Compositor::ensureExternalTexture(int width, int height, DXGI_FORMAT format) {
  auto& g = *impl_;
  if (g.externalFrame && g.externalFormat == uint32_t(format)) return true;
  g.releaseExternal();
  if (format != DXGI_FORMAT_R8G8B8A8_UNORM && format != DXGI_FORMAT_B8G8R8A8_UNORM &&
      format != DXGI_FORMAT_B8G8R8X8_UNORM)
    return false;
  g.externalFrame = g.texture(textureDesc(width, height, format, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE, 0),
                              "CreateTexture2D(externalFrame)");
  g.externalFrameSrv = g.srv(g.externalFrame.Get(), "CreateSRV(externalFrame)");
  g.externalFormat = uint32_t(format);
  return true;
}

void D3D11Compositor::uploadFrame(const cv::Mat& frame, double& ms) {
  auto& g = *impl_;
  const auto t0 = std::chrono::steady_clock::now();
  const D3D11_MAPPED_SUBRESOURCE m = g.map(g.frameUpload.Get(), D3D11_MAP_WRITE, "Map(frameUpload)");
  writeBgrRows(m, frame);
  g.context->Unmap(g.frameUpload.Get(), 0);
  g.context->CopyResource(g.frame.texture.Get(), g.frameUpload.Get());
  g.context->CopyResource(g.out.texture.Get(), g.frame.texture.Get());
  ms = elapsedMs(t0);
}

void D3D11Compositor::uploadCrops(ID3D11Texture2D* texture, const cv::Mat& crop) {
  auto& g = *impl_;
  const D3D11_MAPPED_SUBRESOURCE m = g.map(texture, D3D11_MAP_WRITE_DISCARD, "Map(cropUpload)");
  writeBgrRows(m, crop);
  g.context->Unmap(texture, 0);
}

bool D3D11Compositor::copyExternalFrame(ID3D11Texture2D* cameraTexture, UINT subresource, int width, int height,
                                        bool mirror, double& ms) {
  auto& g = *impl_;
  if (!cameraTexture) return false;
  const auto t0 = std::chrono::steady_clock::now();
  D3D11_TEXTURE2D_DESC desc{};
  cameraTexture->GetDesc(&desc);
  if (desc.Width < UINT(width) || desc.Height < UINT(height) ||
      uint64_t(subresource) >= uint64_t(desc.ArraySize) * desc.MipLevels)
    return false;
  ensureFrameTextures(width, height);
  if (!ensureExternalTexture(width, height, desc.Format)) return false;
  const D3D11_BOX box{0, 0, 0, UINT(width), UINT(height), 1};
  g.context->CopySubresourceRegion(g.externalFrame.Get(), 0, 0, 0, 0, cameraTexture, subresource, &box);
  g.writeConstants(g.frameCopyParams.Get(), FrameCopyParams{{width, height}, mirror ? 1 : 0, 0},
                   "Map(frameCopyParams)");
  g.dispatch(g.copyCameraFrameCs.Get(), {g.externalFrameSrv.Get()}, g.frameCopyParams.Get(), g.frame.uav.Get(),
             groups(width), groups(height), false);
  g.context->CopyResource(g.out.texture.Get(), g.frame.texture.Get());
  ms = elapsedMs(t0);
  return true;
}

void D3D11Compositor::readTimings(GpuTimings& timings) {
  auto& g = *impl_;
  D3D11_QUERY_DATA_TIMESTAMP_DISJOINT dj{};
  if (!pollQuery(g.context.Get(), g.disjoint.Get(), dj) || dj.Disjoint || dj.Frequency == 0) return;
  UINT64 t0 = 0, t1 = 0, t2 = 0;
  if (!pollQuery(g.context.Get(), g.start.Get(), t0) || !pollQuery(g.context.Get(), g.mid.Get(), t1) ||
      !pollQuery(g.context.Get(), g.end.Get(), t2))
    return;
  const double freq = double(dj.Frequency);
  if (t1 > t0) timings.compositeGpu = double(t1 - t0) * 1000.0 / freq;
  if (t2 > t1) timings.pasteGpu = double(t2 - t1) * 1000.0 / freq;
}

void D3D11Compositor::setFacemask(const cv::Mat& mask) {
  auto& g = *impl_;
  if (mask.type() != CV_32FC1 || mask.cols != kCropWidth || mask.rows != kCropHeight)
    throw std::runtime_error("setFacemask expects a 320x512 CV_32F mask.");
  g.maskSrv.Reset();
  g.mask.Reset();
  g.dynamicCropTexture(g.mask, g.maskSrv, DXGI_FORMAT_R32_FLOAT, kCropWidth, kCropHeight, "CreateTexture2D(mask)",
                       "CreateSRV(mask)");
  const D3D11_MAPPED_SUBRESOURCE m = g.map(g.mask.Get(), D3D11_MAP_WRITE_DISCARD, "Map(mask)");
  for (int y = 0; y < kCropHeight; ++y)
    std::memcpy(static_cast<uint8_t*>(m.pData) + size_t(y) * m.RowPitch, mask.ptr<float>(y),
                kCropWidth * sizeof(float));
  g.context->Unmap(g.mask.Get(), 0);
}

void D3D11Compositor::setToneLut(int index, const cv::Mat& rgba) {
  auto& g = *impl_;
  if (index < 1 || index > kToneCount) throw std::runtime_error("setToneLut: tone index out of range (natural has no LUT).");
  if (rgba.type() != CV_8UC4 || rgba.cols != 256 || rgba.rows != 16 || !rgba.isContinuous())
    throw std::runtime_error("setToneLut expects a continuous 256x16 CV_8UC4 (RGBA) atlas.");
  g.toneLutSrv[index].Reset();
  g.toneLut[index].Reset();
  const D3D11_SUBRESOURCE_DATA data{rgba.data, 1024, 0};
  g.toneLut[index] =
      g.texture(textureDesc(256, 16, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_IMMUTABLE, D3D11_BIND_SHADER_RESOURCE, 0),
                "CreateTexture2D(toneLut)", &data);
  g.toneLutSrv[index] = g.srv(g.toneLut[index].Get(), "CreateSRV(toneLut)");
}

bool D3D11Compositor::frameIn(const cv::Mat& frame, GpuTimings& timings, ID3D11Texture2D* cameraTexture,
                              UINT subresource, bool mirror) {
  if (cameraTexture)
    return copyExternalFrame(cameraTexture, subresource, frame.cols, frame.rows, mirror, timings.frameIn);
  uploadFrame(frame, timings.frameIn);
  return true;
}

bool D3D11Compositor::compositeResident(const cv::Mat& frame, const cv::Mat& crop, const std::vector<float>& skinField,
                                        float gain, bool maskBypass, const std::array<double, 6>& cropFromFrame,
                                        GpuTimings& timings, ID3D11Texture2D* cameraTexture, UINT subresource,
                                        bool mirror) {
  auto& g = *impl_;
  if (frame.type() != CV_8UC3 || frame.empty() || !isCrop(crop) || skinField.size() < size_t(kSkinFieldValues) ||
      !g.mask)
    return false;
  ensureFrameTextures(frame.cols, frame.rows);
  const CropFootprint roi = cropFootprint(cropFromFrame, frame.cols, frame.rows);
  if (roi.empty()) return false;
  if (!frameIn(frame, timings, cameraTexture, subresource, mirror)) return false;

  const auto uploadStart = std::chrono::steady_clock::now();
  D3D11_MAPPED_SUBRESOURCE m = g.map(g.crop.Get(), D3D11_MAP_WRITE_DISCARD, "Map(crop)");
  writeBgrRows(m, crop);
  g.context->Unmap(g.crop.Get(), 0);

  m = g.map(g.field.Get(), D3D11_MAP_WRITE_DISCARD, "Map(field)");
  constexpr int plane = kFieldWidth * kFieldHeight;
  for (int y = 0; y < kFieldHeight; ++y) {
    float* row = reinterpret_cast<float*>(static_cast<uint8_t*>(m.pData) + size_t(y) * m.RowPitch);
    for (int x = 0; x < kFieldWidth; ++x)
      for (int c = 0; c < 4; ++c) {
        const float v = skinField[size_t(c * plane + x * kFieldHeight + y)] / 255.0f;
        // A NaN fails both tests and uploads as 0, as the CPU decoder reads it.
        row[x * 4 + c] = v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
      }
  }
  g.context->Unmap(g.field.Get(), 0);

  g.writeConstants(
      g.compositeParams.Get(),
      CompositeParams{gain, maskBypass ? 1 : 0, {kCropWidth, kCropHeight}, {kFieldWidth, kFieldHeight}, {0, 0}},
      "Map(compositeParams)");
  g.writeConstants(g.params.Get(), roiParams(cropFromFrame, roi), "Map(params)");
  timings.upload = elapsedMs(uploadStart);

  g.context->Begin(g.disjoint.Get());
  g.context->End(g.start.Get());
  g.dispatch(g.compositeCs.Get(), {g.cropSrv.Get(), g.fieldSrv.Get(), g.maskSrv.Get()}, g.compositeParams.Get(),
             g.finalCropUav.Get(), kCropWidth / 8, kCropHeight / 8, true);
  g.context->End(g.mid.Get());
  g.dispatch(g.residentPasteCs.Get(), {g.frame.srv.Get(), g.finalCropSrv.Get(), g.cropSrv.Get()}, g.params.Get(),
             g.out.uav.Get(), groups(roi.width()), groups(roi.height()), true);
  g.context->End(g.end.Get());
  g.context->End(g.disjoint.Get());
  g.context->Flush();
  return true;
}

ID3D11ShaderResourceView* D3D11Compositor::runPostChain(ID3D11ShaderResourceView* source, int width, int height,
                                                        const GpuPostParams& post) {
  auto& g = *impl_;
  ID3D11ShaderResourceView* s = source;
  g.context->Begin(g.tailDisjoint.Get());
  g.context->End(g.tailStart.Get());
  if (post.sharpen > 0 && g.casCs && g.sharp.texture) {
    g.writeConstants(g.casParams.Get(), CasParams{{width, height}, std::min(post.sharpen, 1.0f), 0}, "Map(casParams)");
    g.dispatch(g.casCs.Get(), {s}, g.casParams.Get(), g.sharp.uav.Get(), groups(width), groups(height), false);
    s = g.sharp.srv.Get();
  }
  if (post.toneIndex >= 1 && post.toneIndex <= kToneCount && g.toneLutSrv[size_t(post.toneIndex)] && g.toneCs &&
      g.tone.texture) {
    g.writeConstants(g.toneParams.Get(), ToneParams{{width, height}, {0, 0}}, "Map(toneParams)");
    g.dispatch(g.toneCs.Get(), {s, g.toneLutSrv[size_t(post.toneIndex)].Get()}, g.toneParams.Get(), g.tone.uav.Get(),
               groups(width), groups(height), true);
    s = g.tone.srv.Get();
  }
  const PerspectiveField* f = post.field;
  if (fieldUsable(f) && f->columns == kPerspectiveColumns && f->rows == kPerspectiveRows && g.perspectiveCs &&
      g.persp.texture) {
    const D3D11_MAPPED_SUBRESOURCE m =
        g.map(g.perspectiveField.Get(), D3D11_MAP_WRITE_DISCARD, "Map(perspectiveField)");
    std::memcpy(m.pData, f->offsets.data(), size_t(kPerspectiveCells) * 8);
    g.context->Unmap(g.perspectiveField.Get(), 0);
    g.writeConstants(g.perspectiveParams.Get(),
                     PerspectiveParams{{kPerspectiveColumns, kPerspectiveRows}, {width, height}},
                     "Map(perspectiveParams)");
    g.dispatch(g.perspectiveCs.Get(), {s, g.perspectiveFieldSrv.Get()}, g.perspectiveParams.Get(), g.persp.uav.Get(),
               groups(width), groups(height), true);
    s = g.persp.srv.Get();
  }
  g.context->End(g.postEnd.Get());
  return s;
}

void D3D11Compositor::packNv12(ID3D11ShaderResourceView* source, int width, int height, std::vector<uint8_t>& nv12,
                               GpuTimings& timings) {
  auto& g = *impl_;
  const auto t0 = std::chrono::steady_clock::now();
  ensureNv12Textures(width, height);
  g.writeConstants(g.nv12Params.Get(), Nv12Params{{width, height}, {0, 0}}, "Map(nv12Params)");
  const int rows = height + height / 2;
  g.dispatch(g.nv12Cs.Get(), {source}, g.nv12Params.Get(), g.nv12Uav.Get(), groups(width / 4), groups(rows), false);
  g.context->End(g.nv12End.Get());
  g.context->CopyResource(g.nv12Download.Get(), g.nv12.Get());
  g.context->End(g.copyEnd.Get());
  g.context->End(g.tailDisjoint.Get());
  nv12.resize(size_t(width) * height + size_t(width) * height / 2);
  const auto waitStart = std::chrono::steady_clock::now();
  const D3D11_MAPPED_SUBRESOURCE m = g.map(g.nv12Download.Get(), D3D11_MAP_READ, "Map(nv12Download)");
  timings.nv12Wait = elapsedMs(waitStart);
  const auto readStart = std::chrono::steady_clock::now();
  for (int y = 0; y < rows; ++y)
    std::memcpy(nv12.data() + size_t(y) * width, static_cast<const uint8_t*>(m.pData) + size_t(y) * m.RowPitch,
                size_t(width));
  g.context->Unmap(g.nv12Download.Get(), 0);
  timings.readBack = elapsedMs(readStart);
  timings.nv12 = elapsedMs(t0);
}

void D3D11Compositor::readTailTimings(GpuTimings& timings) {
  auto& g = *impl_;
  D3D11_QUERY_DATA_TIMESTAMP_DISJOINT dj{};
  if (!pollQuery(g.context.Get(), g.tailDisjoint.Get(), dj) || dj.Disjoint || dj.Frequency == 0) return;
  UINT64 t[4] = {};
  ID3D11Query* stamps[4] = {g.tailStart.Get(), g.postEnd.Get(), g.nv12End.Get(), g.copyEnd.Get()};
  for (int i = 0; i < 4; ++i)
    if (!pollQuery(g.context.Get(), stamps[i], t[i])) return;
  auto ms = [&](UINT64 from, UINT64 to) { return to > from ? double(to - from) * 1000.0 / double(dj.Frequency) : 0.0; };
  timings.postGpu = ms(t[0], t[1]);
  timings.nv12Gpu = ms(t[1], t[2]);
  timings.copyGpu = ms(t[2], t[3]);
}

bool D3D11Compositor::processResident(const cv::Mat& frame, const cv::Mat& crop, const std::vector<float>& skinField,
                                      float gain, bool maskBypass, const std::array<double, 6>& cropFromFrame,
                                      const GpuPostParams& post, std::vector<uint8_t>& nv12, GpuTimings& timings,
                                      ID3D11Texture2D* cameraTexture, UINT subresource, bool mirror) {
  const auto t0 = std::chrono::steady_clock::now();
  timings = GpuTimings{};
  if (!packable(frame)) return false;
  if (!compositeResident(frame, crop, skinField, gain, maskBypass, cropFromFrame, timings, cameraTexture, subresource,
                         mirror))
    return false;
  ID3D11ShaderResourceView* final = runPostChain(impl_->out.srv.Get(), frame.cols, frame.rows, post);
  packNv12(final, frame.cols, frame.rows, nv12, timings);
  readTimings(timings);
  readTailTimings(timings);
  timings.gpuSum = timings.upload + timings.compositeGpu + timings.pasteGpu;
  timings.total = elapsedMs(t0);
  return true;
}

bool D3D11Compositor::processCameraOnly(const cv::Mat& frame, const GpuPostParams& post, std::vector<uint8_t>& nv12,
                                        GpuTimings& timings, ID3D11Texture2D* cameraTexture, UINT subresource,
                                        bool mirror) {
  const auto t0 = std::chrono::steady_clock::now();
  timings = GpuTimings{};
  if (!(post.sharpen > 0) && post.toneIndex < 1 && !fieldUsable(post.field)) return false;
  if (!packable(frame)) return false;
  ensureFrameTextures(frame.cols, frame.rows);
  if (!frameIn(frame, timings, cameraTexture, subresource, mirror)) return false;
  ID3D11ShaderResourceView* final = runPostChain(impl_->out.srv.Get(), frame.cols, frame.rows, post);
  packNv12(final, frame.cols, frame.rows, nv12, timings);
  readTailTimings(timings);
  timings.total = elapsedMs(t0);
  return true;
}

namespace {

// GPU milliseconds from start to end of a paste or delta pass; 0 when unknown.
double startToEndMs(ID3D11DeviceContext* context, ID3D11Query* disjoint, ID3D11Query* start, ID3D11Query* end) {
  D3D11_QUERY_DATA_TIMESTAMP_DISJOINT dj{};
  if (!pollQuery(context, disjoint, dj) || dj.Disjoint || dj.Frequency == 0) return 0;
  UINT64 t0 = 0, t1 = 0;
  if (!pollQuery(context, start, t0) || !pollQuery(context, end, t1) || t1 <= t0) return 0;
  return double(t1 - t0) * 1000.0 / double(dj.Frequency);
}

}  // namespace

bool D3D11Compositor::pasteCrops(const cv::Mat& frame, const cv::Mat& crop, const cv::Mat& retouchedCrop,
                                 const std::array<double, 6>& cropFromFrame, const GpuPostParams& post,
                                 std::vector<uint8_t>& nv12, GpuTimings& timings, ID3D11Texture2D* cameraTexture,
                                 UINT subresource, bool mirror) {
  auto& g = *impl_;
  const auto t0 = std::chrono::steady_clock::now();
  timings = GpuTimings{};
  if (!packable(frame) || !isCrop(crop) || !isCrop(retouchedCrop)) return false;
  ensureFrameTextures(frame.cols, frame.rows);
  const CropFootprint roi = cropFootprint(cropFromFrame, frame.cols, frame.rows);
  if (roi.empty()) return false;
  if (!frameIn(frame, timings, cameraTexture, subresource, mirror)) return false;

  const auto uploadStart = std::chrono::steady_clock::now();
  uploadCrops(g.crop.Get(), crop);
  uploadCrops(g.extFinalCrop.Get(), retouchedCrop);
  g.writeConstants(g.params.Get(), roiParams(cropFromFrame, roi), "Map(params)");
  timings.upload = elapsedMs(uploadStart);

  g.context->Begin(g.disjoint.Get());
  g.context->End(g.start.Get());
  g.dispatch(g.residentPasteCs.Get(), {g.frame.srv.Get(), g.extFinalCropSrv.Get(), g.cropSrv.Get()}, g.params.Get(),
             g.out.uav.Get(), groups(roi.width()), groups(roi.height()), true);
  g.context->End(g.end.Get());
  g.context->End(g.disjoint.Get());

  ID3D11ShaderResourceView* final = runPostChain(g.out.srv.Get(), frame.cols, frame.rows, post);
  packNv12(final, frame.cols, frame.rows, nv12, timings);
  timings.pasteGpu = startToEndMs(g.context.Get(), g.disjoint.Get(), g.start.Get(), g.end.Get());
  readTailTimings(timings);
  timings.gpuSum = timings.pasteGpu + timings.upload;
  timings.total = elapsedMs(t0);
  return true;
}

cv::Mat D3D11Compositor::applyDelta(const cv::Mat& frame, const cv::Mat& crop, const cv::Mat& retouchedCrop,
                                    const std::array<double, 6>& cropFromFrame, GpuDeltaTimings& timings) {
  auto& g = *impl_;
  const auto t0 = std::chrono::steady_clock::now();
  timings = GpuDeltaTimings{};
  if (frame.type() != CV_8UC3 || frame.empty() || !isCrop(crop) || !isCrop(retouchedCrop)) return frame.clone();
  ensureFrameTextures(frame.cols, frame.rows);
  const CropFootprint roi = cropFootprint(cropFromFrame, frame.cols, frame.rows);
  if (roi.empty()) return frame.clone();

  const auto uploadStart = std::chrono::steady_clock::now();
  D3D11_MAPPED_SUBRESOURCE m = g.map(g.frameUpload.Get(), D3D11_MAP_WRITE, "Map(frameUpload)");
  writeBgrRows(m, frame);
  g.context->Unmap(g.frameUpload.Get(), 0);
  g.context->CopyResource(g.frame.texture.Get(), g.frameUpload.Get());

  m = g.map(g.delta.Get(), D3D11_MAP_WRITE_DISCARD, "Map(delta)");
  for (int y = 0; y < kCropHeight; ++y) {
    const uint8_t* after = retouchedCrop.ptr<uint8_t>(y);
    const uint8_t* before = crop.ptr<uint8_t>(y);
    float* row = reinterpret_cast<float*>(static_cast<uint8_t*>(m.pData) + size_t(y) * m.RowPitch);
    for (int x = 0; x < kCropWidth * 3; x += 3, row += 4) {
      row[0] = float(int(after[x]) - int(before[x]));
      row[1] = float(int(after[x + 1]) - int(before[x + 1]));
      row[2] = float(int(after[x + 2]) - int(before[x + 2]));
      row[3] = 0.0f;
    }
  }
  g.context->Unmap(g.delta.Get(), 0);
  g.context->CopyResource(g.out.texture.Get(), g.frame.texture.Get());
  g.writeConstants(g.params.Get(), roiParams(cropFromFrame, roi), "Map(params)");
  timings.upload = elapsedMs(uploadStart);

  g.context->Begin(g.disjoint.Get());
  g.context->End(g.start.Get());
  g.dispatch(g.deltaCs.Get(), {g.frame.srv.Get(), g.deltaSrv.Get()}, g.params.Get(), g.out.uav.Get(),
             groups(roi.width()), groups(roi.height()), true);
  g.context->End(g.end.Get());
  g.context->End(g.disjoint.Get());

  const auto downloadStart = std::chrono::steady_clock::now();
  g.context->CopyResource(g.outDownload.Get(), g.out.texture.Get());
  cv::Mat result(frame.rows, frame.cols, CV_8UC3);
  m = g.map(g.outDownload.Get(), D3D11_MAP_READ, "Map(outDownload)");
  for (int y = 0; y < frame.rows; ++y) {
    const uint8_t* src = static_cast<const uint8_t*>(m.pData) + size_t(y) * m.RowPitch;
    uint8_t* dst = result.ptr<uint8_t>(y);
    for (int x = 0; x < frame.cols; ++x, src += 4, dst += 3) {
      dst[0] = src[0];
      dst[1] = src[1];
      dst[2] = src[2];
    }
  }
  g.context->Unmap(g.outDownload.Get(), 0);
  timings.download = elapsedMs(downloadStart);
  timings.gpu = startToEndMs(g.context.Get(), g.disjoint.Get(), g.start.Get(), g.end.Get());
  timings.total = elapsedMs(t0);
  return result;
}

std::unique_ptr<GpuCompositor> createGpuCompositor() { return std::make_unique<D3D11Compositor>(); }

}  // namespace tesmira
