#pragma once
// The Direct3D 11 compositor behind the engine's seam: one device with its immediate
// context, the kernels (packing in three builds), their buffers and the textures of the
// crop, the frame and the NV12 output.
#include <d3d11.h>
#include <d3dcommon.h>
#include <wrl/client.h>

#include <array>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <string_view>

#include "producer/engine/crop_geometry.h"
#include "producer/engine/gpu_compositor.h"

namespace tesmira {

struct GpuCompositorImpl;
struct Kernel;

class D3D11Compositor final : public GpuCompositor {
 public:
  // Throws std::runtime_error naming the step that failed; nothing is left behind.
  D3D11Compositor();
  ~D3D11Compositor() override;
  D3D11Compositor(const D3D11Compositor&) = delete;
  D3D11Compositor& operator=(const D3D11Compositor&) = delete;

  void setFacemask(const cv::Mat& mask) override;
  void setToneLut(int index, const cv::Mat& rgba) override;

  bool processCameraOnly(const CameraFrame& frame, const GpuPostParams& post, std::vector<uint8_t>& nv12,
                         GpuTimings& timings) override;
  bool processResident(const CameraFrame& frame, const FaceCrop& face, float gain, bool maskBypass,
                       const GpuPostParams& post, std::vector<uint8_t>& nv12, GpuTimings& timings) override;
  bool pasteCrops(const CameraFrame& frame, const FaceCrop& face, const cv::Mat& retouchedCrop,
                  const GpuPostParams& post, std::vector<uint8_t>& nv12, GpuTimings& timings) override;
  cv::Mat applyDelta(const cv::Mat& frame, const cv::Mat& crop, const cv::Mat& retouchedCrop,
                     const std::array<double, 6>& cropFromFrame, GpuDeltaTimings& timings) override;
  ID3D11Device* device() const override;

  // Sharpening, tone and perspective on `source`, each when due; the view of the last result.
  ID3D11ShaderResourceView* runPostChain(ID3D11ShaderResourceView* source, int width, int height,
                                         const GpuPostParams& post);
  void packNv12(ID3D11ShaderResourceView* source, int width, int height, std::vector<uint8_t>& nv12,
                GpuTimings& timings);
  // As above, with the retouched crop's change added inside its footprint on the way.
  void packNv12(ID3D11ShaderResourceView* source, int width, int height, std::vector<uint8_t>& nv12,
                GpuTimings& timings, ID3D11ShaderResourceView* retouched, const std::array<double, 6>* cropFromFrame);

  void ensureFrameTextures(int width, int height);
  void ensureNv12Textures(int width, int height);
  bool ensureExternalTexture(int width, int height, DXGI_FORMAT format);
  void uploadFrame(const cv::Mat& frame, double& ms);
  void uploadCrops(ID3D11Texture2D* texture, const cv::Mat& crop);
  bool copyExternalFrame(ID3D11Texture2D* cameraTexture, UINT subresource, int width, int height, bool mirror,
                         double& ms);
  // The GPU stage times of the last frame path.
  void readTimings(GpuTimings& timings);

  // The frame-size textures as they stand (null before the first frame). out is the last
  // path's frame before the global effects, brought up to date on this call.
  ID3D11Texture2D* frameTexture() const;
  ID3D11Texture2D* outTexture();
  ID3D11Texture2D* externalTexture() const;
  ID3D11Texture2D* nv12Texture() const;
  ID3D11ShaderResourceView* outView();

 private:
  // The camera texture or the image into frame and out; frameIn times it.
  bool frameIn(const CameraFrame& frame, GpuTimings& timings);
  // The frame in and the face's crop uploaded; false when its footprint misses the frame.
  bool frameAndCropIn(const CameraFrame& frame, const FaceCrop& face, GpuTimings& timings);
  // Frame in, crop and field uploaded, crop composited.
  bool compositeCrop(const CameraFrame& frame, const FaceCrop& face, float gain, bool maskBypass,
                     GpuTimings& timings);
  // The retouched crop pasted, the global effects and the packing.
  bool finishFrame(ID3D11ShaderResourceView* retouched, const std::array<double, 6>& cropFromFrame, int width,
                   int height, const GpuPostParams& post, std::vector<uint8_t>& nv12, GpuTimings& timings);
  // Whether any global effect of post will run, and whether perspective will.
  bool postDue(const GpuPostParams& post) const;
  bool perspectiveDue(const GpuPostParams& post) const;
  // Sharpening and tone, each when due; the view of the last result.
  ID3D11ShaderResourceView* runFilters(ID3D11ShaderResourceView* source, int width, int height,
                                       const GpuPostParams& post);
  void writeField(const PerspectiveField& field);
  // The global effects and the packing, perspective packed on the way.
  void finishPost(ID3D11ShaderResourceView* source, int width, int height, const GpuPostParams& post,
                  std::vector<uint8_t>& nv12, GpuTimings& timings);
  // kernel into the NV12 texture (groups 0: the whole frame's), then the read-back.
  void packWith(const Kernel& kernel, std::initializer_list<ID3D11ShaderResourceView*> srvs, int width,
                int height, std::vector<uint8_t>& nv12, GpuTimings& timings, UINT groupsX = 0, UINT groupsY = 0);
  void settleOut();

  std::unique_ptr<GpuCompositorImpl> impl_;
};

// The compiled code of one compute kernel; a compile error throws with the compiler's messages.
Microsoft::WRL::ComPtr<ID3DBlob> compileComputeShader(std::string_view source);

// "<step> failed with HRESULT 0x8 hex digits", thrown as std::runtime_error.
[[noreturn]] void throwHresultError(const char* step, HRESULT hr);

double elapsedMs(std::chrono::steady_clock::time_point start);

}  // namespace tesmira
