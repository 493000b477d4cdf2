#include "producer/engine/gpu_compositor.h"

#include <d3d11_4.h>
#include <d3dcompiler.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

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

// One compute kernel and the constant buffer it reads at b0.
struct Kernel {
  ComPtr<ID3D11ComputeShader> shader;
  ComPtr<ID3D11Buffer> params;
};

// A texture the CPU rewrites each frame (or once) and the kernels only read.
struct InputTexture {
  ComPtr<ID3D11Texture2D> texture;
  ComPtr<ID3D11ShaderResourceView> srv;
};

struct Kernels {
  Kernel delta, composite, residentPaste, nv12, copyCameraFrame, cas, tone, perspective, nv12Paste, nv12Perspective;
};

// The face's crop space: the camera crop and skin field in, the composited crop out; the
// paste road's retouched crop and the delta road's change.
struct CropTextures {
  InputTexture crop, retouched, field, mask, delta;
  FrameTexture composited;
};

// What the global effects read besides the frame.
struct PostInputs {
  ComPtr<ID3D11Buffer> perspectiveField;
  ComPtr<ID3D11ShaderResourceView> perspectiveFieldSrv;
  std::array<InputTexture, kToneCount + 1> toneLut;
};

// The frame-size set, rebuilt when the frame size changes: the camera frame, the pasted
// frame (out), one target per global effect and the CPU's staging pair.
struct FrameTextures {
  FrameTexture frame, out, sharp, tone, persp;
  ComPtr<ID3D11Texture2D> upload, download;
  uint32_t width = 0, height = 0;
};

struct Nv12Textures {
  ComPtr<ID3D11Texture2D> packed;
  ComPtr<ID3D11UnorderedAccessView> uav;
  ComPtr<ID3D11Texture2D> download;
  uint32_t width = 0, height = 0;
};

// The camera texture's copy on the compositor's side, in the camera's format.
struct CameraCopy {
  InputTexture texture;
  uint32_t format = 0;
};

// The frame's GPU stages in order; a stage a path skips is not marked and takes 0 ms.
enum class Stage { start, composite, paste, post, nv12, copy, count };

// One disjoint query over a frame and a timestamp at the end of each stage it ran.
struct GpuTimer {
  ComPtr<ID3D11Query> disjoint;
  std::array<ComPtr<ID3D11Query>, size_t(Stage::count)> stamps;
  std::array<bool, size_t(Stage::count)> marked{};
};

// What out still lacks: the roads without global effects neither copy the frame into out
// nor paste there (the paste rides in the packing pass), and out is brought up to date
// only when someone reads it.
struct PendingOut {
  bool stale = false;  // out is not the frame
  bool paste = false;  // and the frame's paste is not in it
  ID3D11ShaderResourceView* retouched = nullptr;
  Params params{};
  CropFootprint roi;
};

// Members in this order so that destruction releases the frame-size, NV12, camera and
// crop-space objects and the queries first and the device last.
struct GpuCompositorImpl {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;

  Kernels kernels;
  ComPtr<ID3D11SamplerState> sampler;
  PostInputs post;
  CropTextures crops;
  GpuTimer timer;
  FrameTextures frames;
  CameraCopy camera;
  Nv12Textures nv12;
  PendingOut pending;

  void build();
  ComPtr<ID3D11ComputeShader> shader(std::future<ComPtr<ID3DBlob>>& compiled, const char* step);
  ComPtr<ID3D11Buffer> constants(UINT bytes, const char* step);
  ComPtr<ID3D11Texture2D> texture(const D3D11_TEXTURE2D_DESC& desc, const char* step,
                                  const D3D11_SUBRESOURCE_DATA* data = nullptr);
  ComPtr<ID3D11ShaderResourceView> srv(ID3D11Resource* resource, const char* step);
  ComPtr<ID3D11UnorderedAccessView> uav(ID3D11Resource* resource, const char* step);
  ComPtr<ID3D11Query> query(D3D11_QUERY kind, const char* step);
  InputTexture dynamicCropTexture(DXGI_FORMAT format, int w, int h, const char* textureStep, const char* viewStep);

  template <class T>
  void writeConstants(ID3D11Buffer* buffer, const T& value, const char* step);
  D3D11_MAPPED_SUBRESOURCE map(ID3D11Resource* resource, D3D11_MAP kind, const char* step);
  void writeBgr(ID3D11Resource* resource, D3D11_MAP kind, const cv::Mat& bgr, const char* step);
  void dispatch(const Kernel& k, std::initializer_list<ID3D11ShaderResourceView*> srvs,
                ID3D11UnorderedAccessView* target, UINT groupsX, UINT groupsY, bool sampled);
  void mark(Stage stage);
  void beginTimer();
  void endTimer();
  // Milliseconds of each stage since the one before; all 0 when the device gives no times.
  std::array<double, size_t(Stage::count)> readTimer();
  void pasteIntoOut(ID3D11ShaderResourceView* retouched, const Params& params, const CropFootprint& roi);
  void releaseFrameSet();
  void releaseCamera();
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

InputTexture GpuCompositorImpl::dynamicCropTexture(DXGI_FORMAT format, int w, int h, const char* textureStep,
                                                   const char* viewStep) {
  InputTexture t;
  t.texture = texture(
      textureDesc(w, h, format, D3D11_USAGE_DYNAMIC, D3D11_BIND_SHADER_RESOURCE, D3D11_CPU_ACCESS_WRITE), textureStep);
  t.srv = srv(t.texture.Get(), viewStep);
  return t;
}

void GpuCompositorImpl::build() {
  // Compiling needs no device: the kernels compile on threads of their own while it is made.
  namespace k = compositor_shaders;
  struct KernelSource {
    Kernel& kernel;
    std::string_view source;
    const char* step;
  };
  const KernelSource sources[] = {
      {kernels.delta, k::delta, "CreateComputeShader"},
      {kernels.composite, k::composite, "CreateComputeShader(composite)"},
      {kernels.residentPaste, k::residentPaste, "CreateComputeShader(residentPaste)"},
      {kernels.nv12, k::nv12, "CreateComputeShader(nv12)"},
      {kernels.copyCameraFrame, k::copyCameraFrame, "CreateComputeShader(copyCameraFrame)"},
      {kernels.cas, k::cas, "CreateComputeShader(cas)"},
      {kernels.tone, k::tone, "CreateComputeShader(tone)"},
      {kernels.perspective, k::perspective, "CreateComputeShader(perspective)"},
      {kernels.nv12Paste, k::nv12Paste, "CreateComputeShader(nv12Paste)"},
      {kernels.nv12Perspective, k::nv12Perspective, "CreateComputeShader(nv12Perspective)"},
  };
  std::future<ComPtr<ID3DBlob>> compiled[std::size(sources)];
  for (size_t i = 0; i < std::size(sources); ++i)
    compiled[i] = std::async(std::launch::async, compileComputeShader, sources[i].source);

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

  for (size_t i = 0; i < std::size(sources); ++i) sources[i].kernel.shader = shader(compiled[i], sources[i].step);
  Kernels& ks = kernels;

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

  // delta and residentPaste read the same affine and region.
  ks.residentPaste.params = ks.delta.params = constants(sizeof(Params), "CreateBuffer(params)");
  ks.composite.params = constants(sizeof(CompositeParams), "CreateBuffer(compositeParams)");
  ks.nv12.params = constants(sizeof(Nv12Params), "CreateBuffer(nv12Params)");
  ks.copyCameraFrame.params = constants(sizeof(FrameCopyParams), "CreateBuffer(frameCopyParams)");
  ks.cas.params = constants(sizeof(CasParams), "CreateBuffer(casParams)");
  ks.tone.params = constants(sizeof(ToneParams), "CreateBuffer(toneParams)");
  ks.perspective.params = constants(sizeof(PerspectiveParams), "CreateBuffer(perspectiveParams)");
  ks.nv12Paste.params = constants(sizeof(Nv12Params), "CreateBuffer(nv12PasteParams)");
  ks.nv12Perspective.params = constants(sizeof(Nv12Params), "CreateBuffer(nv12PerspectiveParams)");

  D3D11_BUFFER_DESC fieldDesc{kPerspectiveCells * 8,
                              D3D11_USAGE_DYNAMIC,
                              D3D11_BIND_SHADER_RESOURCE,
                              D3D11_CPU_ACCESS_WRITE,
                              D3D11_RESOURCE_MISC_BUFFER_STRUCTURED,
                              8};
  check(device->CreateBuffer(&fieldDesc, nullptr, &post.perspectiveField), "CreateBuffer(perspectiveField)");
  D3D11_SHADER_RESOURCE_VIEW_DESC fieldView{};
  fieldView.Format = DXGI_FORMAT_UNKNOWN;
  fieldView.ViewDimension = D3D11_SRV_DIMENSION_BUFFER;
  fieldView.Buffer.FirstElement = 0;
  fieldView.Buffer.NumElements = kPerspectiveCells;
  check(device->CreateShaderResourceView(post.perspectiveField.Get(), &fieldView, &post.perspectiveFieldSrv),
        "CreateSRV(perspectiveField)");

  crops.crop = dynamicCropTexture(DXGI_FORMAT_R8G8B8A8_UNORM, kCropWidth, kCropHeight, "CreateTexture2D(crop)",
                                  "CreateSRV(crop)");
  crops.retouched = dynamicCropTexture(DXGI_FORMAT_R8G8B8A8_UNORM, kCropWidth, kCropHeight,
                                       "CreateTexture2D(extFinalCrop)", "CreateSRV(extFinalCrop)");
  crops.field = dynamicCropTexture(DXGI_FORMAT_R32G32B32A32_FLOAT, kFieldWidth, kFieldHeight, "CreateTexture2D(field)",
                                   "CreateSRV(field)");
  FrameTexture& composited = crops.composited;
  composited.texture = texture(textureDesc(kCropWidth, kCropHeight, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT,
                                           D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS, 0),
                               "CreateTexture2D(finalCrop)");
  composited.srv = srv(composited.texture.Get(), "CreateSRV(finalCrop)");
  composited.uav = uav(composited.texture.Get(), "CreateUAV(finalCrop)");
  crops.delta = dynamicCropTexture(DXGI_FORMAT_R32G32B32A32_FLOAT, kCropWidth, kCropHeight, "CreateTexture2D(delta)",
                                   "CreateSRV(delta)");

  timer.disjoint = query(D3D11_QUERY_TIMESTAMP_DISJOINT, "CreateQuery(disjoint)");
  const char* stampSteps[] = {"CreateQuery(start)", "CreateQuery(mid)", "CreateQuery(end)",
                              "CreateQuery(postEnd)", "CreateQuery(nv12End)", "CreateQuery(copyEnd)"};
  static_assert(std::size(stampSteps) == size_t(Stage::count));
  for (size_t i = 0; i < timer.stamps.size(); ++i) timer.stamps[i] = query(D3D11_QUERY_TIMESTAMP, stampSteps[i]);
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

// BGR rows as B, G, R, 255 texels at the mapped row pitch.
void GpuCompositorImpl::writeBgr(ID3D11Resource* resource, D3D11_MAP kind, const cv::Mat& bgr, const char* step) {
  const D3D11_MAPPED_SUBRESOURCE m = map(resource, kind, step);
  cv::Mat texels(bgr.rows, bgr.cols, CV_8UC4, m.pData, m.RowPitch);
  cv::cvtColor(bgr, texels, cv::COLOR_BGR2BGRA);
  context->Unmap(resource, 0);
}

void GpuCompositorImpl::dispatch(const Kernel& k, std::initializer_list<ID3D11ShaderResourceView*> srvs,
                                 ID3D11UnorderedAccessView* target, UINT groupsX, UINT groupsY, bool sampled) {
  context->CSSetShader(k.shader.Get(), nullptr, 0);
  context->CSSetShaderResources(0, UINT(srvs.size()), srvs.begin());
  if (sampled) context->CSSetSamplers(0, 1, sampler.GetAddressOf());
  ID3D11Buffer* constants = k.params.Get();
  context->CSSetConstantBuffers(0, 1, &constants);
  context->CSSetUnorderedAccessViews(0, 1, &target, nullptr);
  context->Dispatch(groupsX, groupsY, 1);
  // A texture written here is read by the next pass: no binding may outlive its pass.
  ID3D11UnorderedAccessView* noTarget = nullptr;
  context->CSSetUnorderedAccessViews(0, 1, &noTarget, nullptr);
  ID3D11ShaderResourceView* none[3] = {};
  context->CSSetShaderResources(0, UINT(srvs.size()), none);
}

void GpuCompositorImpl::mark(Stage stage) {
  context->End(timer.stamps[size_t(stage)].Get());
  timer.marked[size_t(stage)] = true;
}

void GpuCompositorImpl::beginTimer() {
  timer.marked = {};
  context->Begin(timer.disjoint.Get());
  mark(Stage::start);
}

void GpuCompositorImpl::endTimer() { context->End(timer.disjoint.Get()); }

std::array<double, size_t(Stage::count)> GpuCompositorImpl::readTimer() {
  std::array<double, size_t(Stage::count)> ms{};
  D3D11_QUERY_DATA_TIMESTAMP_DISJOINT dj{};
  if (!pollQuery(context.Get(), timer.disjoint.Get(), dj) || dj.Disjoint || dj.Frequency == 0) return ms;
  std::array<UINT64, size_t(Stage::count)> t{};
  for (size_t i = 0; i < t.size(); ++i)
    if (timer.marked[i] && !pollQuery(context.Get(), timer.stamps[i].Get(), t[i])) return ms;
  if (!timer.marked[0]) return ms;
  size_t last = 0;
  for (size_t i = 1; i < t.size(); ++i) {
    if (!timer.marked[i]) continue;
    ms[i] = t[i] > t[last] ? double(t[i] - t[last]) * 1000.0 / double(dj.Frequency) : 0.0;
    last = i;
  }
  return ms;
}

void GpuCompositorImpl::pasteIntoOut(ID3D11ShaderResourceView* retouched, const Params& params,
                                     const CropFootprint& roi) {
  context->CopyResource(frames.out.texture.Get(), frames.frame.texture.Get());
  pending = PendingOut{};
  writeConstants(kernels.residentPaste.params.Get(), params, "Map(params)");
  dispatch(kernels.residentPaste, {frames.frame.srv.Get(), retouched, crops.crop.srv.Get()}, frames.out.uav.Get(),
           groups(roi.width()), groups(roi.height()), true);
}

void GpuCompositorImpl::releaseCamera() { camera = CameraCopy{}; }

void GpuCompositorImpl::releaseFrameSet() {
  frames = FrameTextures{};
  pending = PendingOut{};
  releaseCamera();
}

// ---- D3D11Compositor ----

D3D11Compositor::D3D11Compositor() : impl_(std::make_unique<GpuCompositorImpl>()) { impl_->build(); }

D3D11Compositor::~D3D11Compositor() = default;

ID3D11Device* D3D11Compositor::device() const { return impl_->device.Get(); }
ID3D11Texture2D* D3D11Compositor::frameTexture() const { return impl_->frames.frame.texture.Get(); }
ID3D11Texture2D* D3D11Compositor::externalTexture() const { return impl_->camera.texture.texture.Get(); }
ID3D11Texture2D* D3D11Compositor::nv12Texture() const { return impl_->nv12.packed.Get(); }

ID3D11Texture2D* D3D11Compositor::outTexture() {
  settleOut();
  return impl_->frames.out.texture.Get();
}

ID3D11ShaderResourceView* D3D11Compositor::outView() {
  settleOut();
  return impl_->frames.out.srv.Get();
}

void D3D11Compositor::settleOut() {
  auto& g = *impl_;
  const PendingOut pending = g.pending;  // pasteIntoOut clears it
  if (pending.paste) {
    g.pasteIntoOut(pending.retouched, pending.params, pending.roi);
  } else if (g.pending.stale) {
    g.context->CopyResource(g.frames.out.texture.Get(), g.frames.frame.texture.Get());
    g.pending = PendingOut{};
  }
}

void D3D11Compositor::ensureFrameTextures(int width, int height) {
  auto& g = *impl_;
  if (g.frames.frame.texture && g.frames.width == uint32_t(width) && g.frames.height == uint32_t(height)) return;
  g.releaseFrameSet();
  FrameTextures& f = g.frames;
  constexpr UINT both = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS;
  const auto rw = textureDesc(width, height, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT, both, 0);
  struct Named {
    FrameTexture* t;
    const char *texture, *srv, *uav;
  };
  for (const Named& n : {Named{&f.frame, "CreateTexture2D(frame)", "CreateSRV(frame)", "CreateUAV(frame)"},
                         Named{&f.out, "CreateTexture2D(out)", "CreateSRV(out)", "CreateUAV(out)"},
                         Named{&f.sharp, "CreateTexture2D(sharp)", "CreateSRV(sharp)", "CreateUAV(sharp)"},
                         Named{&f.tone, "CreateTexture2D(tone)", "CreateSRV(tone)", "CreateUAV(tone)"},
                         Named{&f.persp, "CreateTexture2D(persp)", "CreateSRV(persp)", "CreateUAV(persp)"}}) {
    n.t->texture = g.texture(rw, n.texture);
    n.t->srv = g.srv(n.t->texture.Get(), n.srv);
    n.t->uav = g.uav(n.t->texture.Get(), n.uav);
  }
  f.upload =
      g.texture(textureDesc(width, height, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_WRITE),
                "CreateTexture2D(frameUpload)");
  f.download =
      g.texture(textureDesc(width, height, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ),
                "CreateTexture2D(outDownload)");
  f.width = uint32_t(width);
  f.height = uint32_t(height);
}

void D3D11Compositor::ensureNv12Textures(int width, int height) {
  auto& g = *impl_;
  if (g.nv12.packed && g.nv12.width == uint32_t(width) && g.nv12.height == uint32_t(height)) return;
  g.nv12 = Nv12Textures{};
  const int w = width / 4, h = height + height / 2;
  g.nv12.packed = g.texture(
      textureDesc(w, h, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT, D3D11_BIND_UNORDERED_ACCESS, 0),
      "CreateTexture2D(nv12)");
  g.nv12.uav = g.uav(g.nv12.packed.Get(), "CreateUAV(nv12)");
  g.nv12.download =
      g.texture(textureDesc(w, h, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ),
                "CreateTexture2D(nv12Download)");
  g.nv12.width = uint32_t(width);
  g.nv12.height = uint32_t(height);
}

bool D3D11Compositor::ensureExternalTexture(int width, int height, DXGI_FORMAT format) {
  auto& g = *impl_;
  if (g.camera.texture.texture && g.camera.format == uint32_t(format)) return true;
  g.releaseCamera();
  if (format != DXGI_FORMAT_R8G8B8A8_UNORM && format != DXGI_FORMAT_B8G8R8A8_UNORM &&
      format != DXGI_FORMAT_B8G8R8X8_UNORM)
    return false;
  g.camera.texture.texture = g.texture(
      textureDesc(width, height, format, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE, 0),
      "CreateTexture2D(externalFrame)");
  g.camera.texture.srv = g.srv(g.camera.texture.texture.Get(), "CreateSRV(externalFrame)");
  g.camera.format = uint32_t(format);
  return true;
}

void D3D11Compositor::uploadFrame(const cv::Mat& frame, double& ms) {
  auto& g = *impl_;
  const auto t0 = std::chrono::steady_clock::now();
  g.pending = PendingOut{true};
  g.writeBgr(g.frames.upload.Get(), D3D11_MAP_WRITE, frame, "Map(frameUpload)");
  g.context->CopyResource(g.frames.frame.texture.Get(), g.frames.upload.Get());
  // The device copies while the caller prepares the crop.
  g.context->Flush();
  ms = elapsedMs(t0);
}

void D3D11Compositor::uploadCrops(ID3D11Texture2D* texture, const cv::Mat& crop) {
  impl_->writeBgr(texture, D3D11_MAP_WRITE_DISCARD, crop, "Map(cropUpload)");
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
  g.pending = PendingOut{true};
  const D3D11_BOX box{0, 0, 0, UINT(width), UINT(height), 1};
  g.context->CopySubresourceRegion(g.camera.texture.texture.Get(), 0, 0, 0, 0, cameraTexture, subresource, &box);
  g.writeConstants(g.kernels.copyCameraFrame.params.Get(), FrameCopyParams{{width, height}, mirror ? 1 : 0, 0},
                   "Map(frameCopyParams)");
  g.dispatch(g.kernels.copyCameraFrame, {g.camera.texture.srv.Get()}, g.frames.frame.uav.Get(), groups(width),
             groups(height), false);
  g.context->Flush();
  ms = elapsedMs(t0);
  return true;
}

void D3D11Compositor::readTimings(GpuTimings& timings) {
  const auto ms = impl_->readTimer();
  timings.compositeGpu = ms[size_t(Stage::composite)];
  timings.pasteGpu = ms[size_t(Stage::paste)];
  timings.postGpu = ms[size_t(Stage::post)];
  timings.nv12Gpu = ms[size_t(Stage::nv12)];
  timings.copyGpu = ms[size_t(Stage::copy)];
}

void D3D11Compositor::setFacemask(const cv::Mat& mask) {
  auto& g = *impl_;
  if (mask.type() != CV_32FC1 || mask.cols != kCropWidth || mask.rows != kCropHeight)
    throw std::runtime_error("setFacemask expects a 320x512 CV_32F mask.");
  g.crops.mask = InputTexture{};
  g.crops.mask = g.dynamicCropTexture(DXGI_FORMAT_R32_FLOAT, kCropWidth, kCropHeight, "CreateTexture2D(mask)",
                                      "CreateSRV(mask)");
  ID3D11Texture2D* t = g.crops.mask.texture.Get();
  const D3D11_MAPPED_SUBRESOURCE m = g.map(t, D3D11_MAP_WRITE_DISCARD, "Map(mask)");
  for (int y = 0; y < kCropHeight; ++y)
    std::memcpy(static_cast<uint8_t*>(m.pData) + size_t(y) * m.RowPitch, mask.ptr<float>(y),
                kCropWidth * sizeof(float));
  g.context->Unmap(t, 0);
}

void D3D11Compositor::setToneLut(int index, const cv::Mat& rgba) {
  auto& g = *impl_;
  if (index < 1 || index > kToneCount) throw std::runtime_error("setToneLut: tone index out of range (natural has no LUT).");
  if (rgba.type() != CV_8UC4 || rgba.cols != 256 || rgba.rows != 16 || !rgba.isContinuous())
    throw std::runtime_error("setToneLut expects a continuous 256x16 CV_8UC4 (RGBA) atlas.");
  InputTexture& lut = g.post.toneLut[size_t(index)];
  lut = InputTexture{};
  const D3D11_SUBRESOURCE_DATA data{rgba.data, 1024, 0};
  lut.texture =
      g.texture(textureDesc(256, 16, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_IMMUTABLE, D3D11_BIND_SHADER_RESOURCE, 0),
                "CreateTexture2D(toneLut)", &data);
  lut.srv = g.srv(lut.texture.Get(), "CreateSRV(toneLut)");
}

bool D3D11Compositor::frameIn(const CameraFrame& frame, GpuTimings& timings) {
  if (frame.texture)
    return copyExternalFrame(frame.texture.Get(), frame.subresource, frame.image.cols, frame.image.rows,
                             frame.mirrorTexture, timings.frameIn);
  uploadFrame(frame.image, timings.frameIn);
  return true;
}

bool D3D11Compositor::postDue(const GpuPostParams& post) const {
  const auto& g = *impl_;
  const bool tone = post.toneIndex >= 1 && post.toneIndex <= kToneCount && g.post.toneLut[size_t(post.toneIndex)].srv;
  return post.sharpen > 0 || tone || perspectiveDue(post);
}

bool D3D11Compositor::frameAndCropIn(const CameraFrame& frame, const FaceCrop& face, GpuTimings& timings) {
  const cv::Mat& image = frame.image;
  ensureFrameTextures(image.cols, image.rows);
  if (cropFootprint(face.cropFromFrame, image.cols, image.rows).empty()) return false;
  if (!frameIn(frame, timings)) return false;
  const auto uploadStart = std::chrono::steady_clock::now();
  uploadCrops(impl_->crops.crop.texture.Get(), face.crop);
  timings.upload = elapsedMs(uploadStart);
  return true;
}

bool D3D11Compositor::compositeCrop(const CameraFrame& frame, const FaceCrop& face, float gain, bool maskBypass,
                                    GpuTimings& timings) {
  auto& g = *impl_;
  const cv::Mat& image = frame.image;
  const std::vector<float>& skinField = face.skinField;
  if (image.type() != CV_8UC3 || image.empty() || !isCrop(face.crop) ||
      skinField.size() < size_t(kSkinFieldValues) || !g.crops.mask.texture)
    return false;
  if (!frameAndCropIn(frame, face, timings)) return false;

  const auto uploadStart = std::chrono::steady_clock::now();
  ID3D11Texture2D* field = g.crops.field.texture.Get();
  const D3D11_MAPPED_SUBRESOURCE m = g.map(field, D3D11_MAP_WRITE_DISCARD, "Map(field)");
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
  g.context->Unmap(field, 0);

  g.writeConstants(
      g.kernels.composite.params.Get(),
      CompositeParams{gain, maskBypass ? 1 : 0, {kCropWidth, kCropHeight}, {kFieldWidth, kFieldHeight}, {0, 0}},
      "Map(compositeParams)");
  timings.upload += elapsedMs(uploadStart);

  g.beginTimer();
  g.dispatch(g.kernels.composite, {g.crops.crop.srv.Get(), g.crops.field.srv.Get(), g.crops.mask.srv.Get()},
             g.crops.composited.uav.Get(), kCropWidth / 8, kCropHeight / 8, true);
  g.mark(Stage::composite);
  g.context->Flush();
  return true;
}

ID3D11ShaderResourceView* D3D11Compositor::runPostChain(ID3D11ShaderResourceView* source, int width, int height,
                                                        const GpuPostParams& post) {
  auto& g = *impl_;
  ID3D11ShaderResourceView* s = runFilters(source, width, height, post);
  if (perspectiveDue(post) && g.frames.persp.texture) {
    writeField(*post.field);
    g.writeConstants(g.kernels.perspective.params.Get(),
                     PerspectiveParams{{kPerspectiveColumns, kPerspectiveRows}, {width, height}},
                     "Map(perspectiveParams)");
    g.dispatch(g.kernels.perspective, {s, g.post.perspectiveFieldSrv.Get()}, g.frames.persp.uav.Get(), groups(width),
               groups(height), true);
    s = g.frames.persp.srv.Get();
  }
  g.mark(Stage::post);
  return s;
}

ID3D11ShaderResourceView* D3D11Compositor::runFilters(ID3D11ShaderResourceView* source, int width, int height,
                                                      const GpuPostParams& post) {
  auto& g = *impl_;
  Kernels& k = g.kernels;
  ID3D11ShaderResourceView* s = source;
  if (post.sharpen > 0 && g.frames.sharp.texture) {
    g.writeConstants(k.cas.params.Get(), CasParams{{width, height}, std::min(post.sharpen, 1.0f), 0},
                     "Map(casParams)");
    g.dispatch(k.cas, {s}, g.frames.sharp.uav.Get(), groups(width), groups(height), false);
    s = g.frames.sharp.srv.Get();
  }
  if (post.toneIndex >= 1 && post.toneIndex <= kToneCount && g.post.toneLut[size_t(post.toneIndex)].srv &&
      g.frames.tone.texture) {
    g.writeConstants(k.tone.params.Get(), ToneParams{{width, height}, {0, 0}}, "Map(toneParams)");
    g.dispatch(k.tone, {s, g.post.toneLut[size_t(post.toneIndex)].srv.Get()}, g.frames.tone.uav.Get(), groups(width),
               groups(height), true);
    s = g.frames.tone.srv.Get();
  }
  return s;
}

bool D3D11Compositor::perspectiveDue(const GpuPostParams& post) const {
  const PerspectiveField* f = post.field;
  return fieldUsable(f) && f->columns == kPerspectiveColumns && f->rows == kPerspectiveRows;
}

void D3D11Compositor::writeField(const PerspectiveField& field) {
  auto& g = *impl_;
  ID3D11Buffer* buffer = g.post.perspectiveField.Get();
  const D3D11_MAPPED_SUBRESOURCE m = g.map(buffer, D3D11_MAP_WRITE_DISCARD, "Map(perspectiveField)");
  std::memcpy(m.pData, field.offsets.data(), size_t(kPerspectiveCells) * 8);
  g.context->Unmap(buffer, 0);
}

void D3D11Compositor::finishPost(ID3D11ShaderResourceView* source, int width, int height, const GpuPostParams& post,
                                 std::vector<uint8_t>& nv12, GpuTimings& timings) {
  auto& g = *impl_;
  ID3D11ShaderResourceView* s = runFilters(source, width, height, post);
  g.mark(Stage::post);
  if (!perspectiveDue(post)) return packNv12(s, width, height, nv12, timings);
  // The perspective correction, the last effect, is packed on the way.
  writeField(*post.field);
  Nv12Params p{{width, height}, {0, 0}};
  p.gridSize[0] = kPerspectiveColumns;
  p.gridSize[1] = kPerspectiveRows;
  g.writeConstants(g.kernels.nv12Perspective.params.Get(), p, "Map(nv12PerspectiveParams)");
  packWith(g.kernels.nv12Perspective, {s, g.post.perspectiveFieldSrv.Get()}, width, height, nv12, timings);
}

void D3D11Compositor::packNv12(ID3D11ShaderResourceView* source, int width, int height, std::vector<uint8_t>& nv12,
                               GpuTimings& timings) {
  packNv12(source, width, height, nv12, timings, nullptr, nullptr);
}

void D3D11Compositor::packNv12(ID3D11ShaderResourceView* source, int width, int height, std::vector<uint8_t>& nv12,
                               GpuTimings& timings, ID3D11ShaderResourceView* retouched,
                               const std::array<double, 6>* cropFromFrame) {
  auto& g = *impl_;
  const CropFootprint roi =
      retouched && cropFromFrame ? cropFootprint(*cropFromFrame, width, height) : CropFootprint{};
  const Params paste = roi.empty() ? Params{} : roiParams(*cropFromFrame, roi);
  // The blocks that hold a pixel of the region are packed by the paste build alone.
  const Nv12Params p = nv12PasteParams(width, height, paste);
  Nv12Params plain = p;
  plain.blockMin[0] = plain.blockMin[1] = 0;
  g.writeConstants(g.kernels.nv12.params.Get(), plain, "Map(nv12Params)");
  if (roi.empty()) return packWith(g.kernels.nv12, {source}, width, height, nv12, timings);
  ensureNv12Textures(width, height);
  g.dispatch(g.kernels.nv12, {source}, g.nv12.uav.Get(), nv12GroupsX(width), nv12GroupsY(height), false);
  g.writeConstants(g.kernels.nv12Paste.params.Get(), p, "Map(nv12PasteParams)");
  const int blocksX = (roi.maxX + 3) / 4 - roi.minX / 4, blocksY = (roi.maxY + 1) / 2 - roi.minY / 2;
  // out is given this paste only when someone asks for it.
  g.pending = PendingOut{true, true, retouched, paste, roi};
  packWith(g.kernels.nv12Paste, {source, retouched, g.crops.crop.srv.Get()}, width, height, nv12, timings,
           nv12GroupsX(blocksX * 4), UINT(blocksY));
}

void D3D11Compositor::packWith(const Kernel& kernel, std::initializer_list<ID3D11ShaderResourceView*> srvs, int width,
                               int height, std::vector<uint8_t>& nv12, GpuTimings& timings, UINT groupsX,
                               UINT groupsY) {
  auto& g = *impl_;
  const auto t0 = std::chrono::steady_clock::now();
  ensureNv12Textures(width, height);
  g.dispatch(kernel, srvs, g.nv12.uav.Get(), groupsX ? groupsX : nv12GroupsX(width),
             groupsY ? groupsY : nv12GroupsY(height), false);
  g.mark(Stage::nv12);
  g.context->CopyResource(g.nv12.download.Get(), g.nv12.packed.Get());
  g.mark(Stage::copy);
  g.endTimer();
  const int rows = height + height / 2;
  nv12.resize(size_t(width) * height + size_t(width) * height / 2);
  const auto waitStart = std::chrono::steady_clock::now();
  const D3D11_MAPPED_SUBRESOURCE m = g.map(g.nv12.download.Get(), D3D11_MAP_READ, "Map(nv12Download)");
  timings.nv12Wait = elapsedMs(waitStart);
  const auto readStart = std::chrono::steady_clock::now();
  for (int y = 0; y < rows; ++y)
    std::memcpy(nv12.data() + size_t(y) * width, static_cast<const uint8_t*>(m.pData) + size_t(y) * m.RowPitch,
                size_t(width));
  g.context->Unmap(g.nv12.download.Get(), 0);
  timings.readBack = elapsedMs(readStart);
  timings.nv12 = elapsedMs(t0);
}

bool D3D11Compositor::finishFrame(ID3D11ShaderResourceView* retouched, const std::array<double, 6>& cropFromFrame,
                                  int width, int height, const GpuPostParams& post, std::vector<uint8_t>& nv12,
                                  GpuTimings& timings) {
  auto& g = *impl_;
  if (postDue(post)) {
    g.pasteIntoOut(retouched, roiParams(cropFromFrame, cropFootprint(cropFromFrame, width, height)),
                   cropFootprint(cropFromFrame, width, height));
    g.mark(Stage::paste);
    finishPost(g.frames.out.srv.Get(), width, height, post, nv12, timings);
  } else {
    // Without global effects the paste rides in the packing pass: no out to write and copy.
    packNv12(g.frames.frame.srv.Get(), width, height, nv12, timings, retouched, &cropFromFrame);
  }
  readTimings(timings);
  return true;
}

bool D3D11Compositor::processResident(const CameraFrame& frame, const FaceCrop& face, float gain, bool maskBypass,
                                      const GpuPostParams& post, std::vector<uint8_t>& nv12, GpuTimings& timings) {
  const auto t0 = std::chrono::steady_clock::now();
  timings = GpuTimings{};
  if (!packable(frame.image)) return false;
  if (!compositeCrop(frame, face, gain, maskBypass, timings)) return false;
  finishFrame(impl_->crops.composited.srv.Get(), face.cropFromFrame, frame.image.cols, frame.image.rows, post, nv12,
              timings);
  timings.gpuSum = timings.upload + timings.compositeGpu + timings.pasteGpu;
  timings.total = elapsedMs(t0);
  return true;
}

bool D3D11Compositor::processCameraOnly(const CameraFrame& frame, const GpuPostParams& post, std::vector<uint8_t>& nv12,
                                        GpuTimings& timings) {
  const auto t0 = std::chrono::steady_clock::now();
  timings = GpuTimings{};
  if (!(post.sharpen > 0) && post.toneIndex < 1 && !fieldUsable(post.field)) return false;
  const cv::Mat& image = frame.image;
  if (!packable(image)) return false;
  ensureFrameTextures(image.cols, image.rows);
  if (!frameIn(frame, timings)) return false;
  auto& g = *impl_;
  g.beginTimer();
  finishPost(g.frames.frame.srv.Get(), image.cols, image.rows, post, nv12, timings);
  readTimings(timings);
  timings.total = elapsedMs(t0);
  return true;
}

bool D3D11Compositor::pasteCrops(const CameraFrame& frame, const FaceCrop& face, const cv::Mat& retouchedCrop,
                                 const GpuPostParams& post, std::vector<uint8_t>& nv12, GpuTimings& timings) {
  auto& g = *impl_;
  const auto t0 = std::chrono::steady_clock::now();
  timings = GpuTimings{};
  const cv::Mat& image = frame.image;
  if (!packable(image) || !isCrop(face.crop) || !isCrop(retouchedCrop)) return false;
  if (!frameAndCropIn(frame, face, timings)) return false;

  const auto uploadStart = std::chrono::steady_clock::now();
  uploadCrops(g.crops.retouched.texture.Get(), retouchedCrop);
  timings.upload += elapsedMs(uploadStart);

  g.beginTimer();
  finishFrame(g.crops.retouched.srv.Get(), face.cropFromFrame, image.cols, image.rows, post, nv12, timings);
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
  double frameMs = 0;
  uploadFrame(frame, frameMs);
  ID3D11Texture2D* delta = g.crops.delta.texture.Get();
  D3D11_MAPPED_SUBRESOURCE m = g.map(delta, D3D11_MAP_WRITE_DISCARD, "Map(delta)");
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
  g.context->Unmap(delta, 0);
  g.context->CopyResource(g.frames.out.texture.Get(), g.frames.frame.texture.Get());
  g.pending = PendingOut{};
  g.writeConstants(g.kernels.delta.params.Get(), roiParams(cropFromFrame, roi), "Map(params)");
  timings.upload = elapsedMs(uploadStart);

  g.beginTimer();
  g.dispatch(g.kernels.delta, {g.frames.frame.srv.Get(), g.crops.delta.srv.Get()}, g.frames.out.uav.Get(),
             groups(roi.width()), groups(roi.height()), true);
  g.mark(Stage::paste);
  g.endTimer();

  const auto downloadStart = std::chrono::steady_clock::now();
  g.context->CopyResource(g.frames.download.Get(), g.frames.out.texture.Get());
  cv::Mat result(frame.rows, frame.cols, CV_8UC3);
  m = g.map(g.frames.download.Get(), D3D11_MAP_READ, "Map(outDownload)");
  cv::cvtColor(cv::Mat(frame.rows, frame.cols, CV_8UC4, m.pData, m.RowPitch), result, cv::COLOR_BGRA2BGR);
  g.context->Unmap(g.frames.download.Get(), 0);
  timings.download = elapsedMs(downloadStart);
  timings.gpu = g.readTimer()[size_t(Stage::paste)];
  timings.total = elapsedMs(t0);
  return result;
}

std::unique_ptr<GpuCompositor> createGpuCompositor() { return std::make_unique<D3D11Compositor>(); }

}  // namespace tesmira
