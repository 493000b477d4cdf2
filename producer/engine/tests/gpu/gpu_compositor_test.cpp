// The Direct3D 11 compositor on the machine's device (lavapipe here): construction and
// its failures, the frame-size resources, camera textures, the set-up uploads and the
// frame paths, with their refusals of unusable input.
#include <gmock/gmock.h>

#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <random>

#include "platform/d3d11/gpu_tests/gpu_testing.h"
#include "producer/engine/gpu_d3d11_compositor.h"
#include "producer/frame_convert.h"
#include "tesmira/platform_testing.h"

namespace tesmira {
namespace {

using Microsoft::WRL::ComPtr;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// One compositor per process, with its facemask and tone atlases set: building it
// compiles every kernel, slow on the CPU rasteriser.
D3D11Compositor& shared() {
  static D3D11Compositor* compositor = [] {
    auto* c = new D3D11Compositor;
    c->setFacemask(cv::Mat(512, 320, CV_32FC1, cv::Scalar(1.0f)));
    for (int index = 1; index <= 5; ++index) {
      cv::Mat atlas(16, 256, CV_8UC4);
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 256; ++x)
          atlas.at<cv::Vec4b>(y, x) = {uint8_t(255 - 17 * (x % 16)), uint8_t(17 * y), uint8_t(17 * (x / 16)), 255};
      c->setToneLut(index, atlas);
    }
    return c;
  }();
  return *compositor;
}

class CompositorEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { delete &shared(); }
};
const bool kEnvironment = (::testing::AddGlobalTestEnvironment(new CompositorEnvironment), true);

cv::Mat randomFrame(int width, int height, uint32_t seed) {
  cv::Mat frame(height, width, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
  return frame;
}

// A face-sized crop placed at (x, y) in the frame at scale 1: crop = frame - (x, y).
std::array<double, 6> cropAt(double x, double y) { return {1, 0, -x, 0, 1, -y}; }

// `frame` uploaded into the compositor's frame and out.
void upload(D3D11Compositor& c, const cv::Mat& frame) {
  c.ensureFrameTextures(frame.cols, frame.rows);
  double ms = -1;
  c.uploadFrame(frame, ms);
  EXPECT_GE(ms, 0);
}

std::vector<float> constantField(float value) { return std::vector<float>(10240, value); }

// A face input: the crop, its skin field and alignment (the paste roads need no field).
FaceCrop faceOf(const cv::Mat& crop, std::vector<float> field, const std::array<double, 6>& cropFromFrame) {
  return FaceCrop{cropFromFrame, crop, {}, std::move(field)};
}
FaceCrop faceOf(const cv::Mat& crop, const std::array<double, 6>& cropFromFrame) {
  return FaceCrop{cropFromFrame, crop};
}

int largestDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 256;
  int largest = 0;
  for (size_t i = 0; i < a.size(); ++i) largest = std::max(largest, std::abs(int(a[i]) - int(b[i])));
  return largest;
}

// The texture's bytes, tightly packed, through a staging copy on the compositor's device.
std::vector<uint8_t> readTexture(ID3D11Device* device, ID3D11Texture2D* texture) {
  ComPtr<ID3D11DeviceContext> context;
  device->GetImmediateContext(&context);
  D3D11_TEXTURE2D_DESC desc;
  texture->GetDesc(&desc);
  D3D11_TEXTURE2D_DESC staging{desc.Width, desc.Height,           1, 1, desc.Format, {1, 0}, D3D11_USAGE_STAGING,
                               0,          D3D11_CPU_ACCESS_READ, 0};
  ComPtr<ID3D11Texture2D> copy;
  EXPECT_EQ(device->CreateTexture2D(&staging, nullptr, &copy), S_OK);
  context->CopyResource(copy.Get(), texture);
  D3D11_MAPPED_SUBRESOURCE m;
  std::vector<uint8_t> bytes(size_t(desc.Width) * desc.Height * 4);
  EXPECT_EQ(context->Map(copy.Get(), 0, D3D11_MAP_READ, 0, &m), S_OK);
  for (UINT y = 0; y < desc.Height; ++y)
    std::memcpy(bytes.data() + size_t(y) * desc.Width * 4, static_cast<uint8_t*>(m.pData) + size_t(y) * m.RowPitch,
                size_t(desc.Width) * 4);
  context->Unmap(copy.Get(), 0);
  return bytes;
}

// out as BGR: the composited frame before the post chain and packing.
cv::Mat readOut(D3D11Compositor& c, int width, int height) {
  auto bytes = readTexture(c.device(), c.outTexture());
  cv::Mat bgra(height, width, CV_8UC4, bytes.data()), bgr;
  cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
  return bgr;
}

ComPtr<ID3D11Texture2D> cameraTexture(ID3D11Device* device, const cv::Mat& bgr, DXGI_FORMAT format, UINT arraySize = 1,
                                      int width = 0, int height = 0) {
  width = width ? width : bgr.cols;
  height = height ? height : bgr.rows;
  cv::Mat bgra;
  cv::cvtColor(bgr, bgra, format == DXGI_FORMAT_R8G8B8A8_UNORM ? cv::COLOR_BGR2RGBA : cv::COLOR_BGR2BGRA);
  std::vector<D3D11_SUBRESOURCE_DATA> data(arraySize, D3D11_SUBRESOURCE_DATA{bgra.data, UINT(bgra.step), 0});
  D3D11_TEXTURE2D_DESC desc{
      UINT(width), UINT(height), 1, arraySize, format, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE, 0, 0};
  ComPtr<ID3D11Texture2D> t;
  EXPECT_EQ(device->CreateTexture2D(&desc, data.data(), &t), S_OK);
  return t;
}

// ---- construction ----

struct FailingStep {
  const char* site;
  int skip;
  const char* step;
};

TEST(GpuCompositorTest, EachConstructionStepThatFailsNamesItself) {
  const FailingStep steps[] = {
      {"D3D11CreateDevice", 0, "D3D11CreateDevice(compositor)"},
      {"D3DCompile", 2, "D3DCompile(compute)"},
      {"ID3D11Device::CreateComputeShader", 0, "CreateComputeShader"},
      {"ID3D11Device::CreateComputeShader", 1, "CreateComputeShader(composite)"},
      {"ID3D11Device::CreateComputeShader", 2, "CreateComputeShader(residentPaste)"},
      {"ID3D11Device::CreateComputeShader", 3, "CreateComputeShader(nv12)"},
      {"ID3D11Device::CreateComputeShader", 4, "CreateComputeShader(copyCameraFrame)"},
      {"ID3D11Device::CreateComputeShader", 5, "CreateComputeShader(cas)"},
      {"ID3D11Device::CreateComputeShader", 6, "CreateComputeShader(tone)"},
      {"ID3D11Device::CreateComputeShader", 7, "CreateComputeShader(perspective)"},
      {"ID3D11Device::CreateComputeShader", 8, "CreateComputeShader(nv12Paste)"},
      {"ID3D11Device::CreateComputeShader", 9, "CreateComputeShader(nv12Perspective)"},
      {"ID3D11Device::CreateSamplerState", 0, "CreateSamplerState"},
      {"ID3D11Device::CreateBuffer", 0, "CreateBuffer(params)"},
      {"ID3D11Device::CreateBuffer", 1, "CreateBuffer(compositeParams)"},
      {"ID3D11Device::CreateBuffer", 2, "CreateBuffer(nv12Params)"},
      {"ID3D11Device::CreateBuffer", 3, "CreateBuffer(frameCopyParams)"},
      {"ID3D11Device::CreateBuffer", 4, "CreateBuffer(casParams)"},
      {"ID3D11Device::CreateBuffer", 5, "CreateBuffer(toneParams)"},
      {"ID3D11Device::CreateBuffer", 6, "CreateBuffer(perspectiveParams)"},
      {"ID3D11Device::CreateBuffer", 7, "CreateBuffer(nv12PasteParams)"},
      {"ID3D11Device::CreateBuffer", 8, "CreateBuffer(nv12PerspectiveParams)"},
      {"ID3D11Device::CreateBuffer", 9, "CreateBuffer(perspectiveField)"},
      {"ID3D11Device::CreateShaderResourceView", 0, "CreateSRV(perspectiveField)"},
      {"ID3D11Device::CreateTexture2D", 0, "CreateTexture2D(crop)"},
      {"ID3D11Device::CreateShaderResourceView", 1, "CreateSRV(crop)"},
      {"ID3D11Device::CreateTexture2D", 1, "CreateTexture2D(extFinalCrop)"},
      {"ID3D11Device::CreateShaderResourceView", 2, "CreateSRV(extFinalCrop)"},
      {"ID3D11Device::CreateTexture2D", 2, "CreateTexture2D(field)"},
      {"ID3D11Device::CreateShaderResourceView", 3, "CreateSRV(field)"},
      {"ID3D11Device::CreateTexture2D", 3, "CreateTexture2D(finalCrop)"},
      {"ID3D11Device::CreateShaderResourceView", 4, "CreateSRV(finalCrop)"},
      {"ID3D11Device::CreateUnorderedAccessView", 0, "CreateUAV(finalCrop)"},
      {"ID3D11Device::CreateTexture2D", 4, "CreateTexture2D(delta)"},
      {"ID3D11Device::CreateShaderResourceView", 5, "CreateSRV(delta)"},
      {"ID3D11Device::CreateQuery", 0, "CreateQuery(disjoint)"},
      {"ID3D11Device::CreateQuery", 1, "CreateQuery(start)"},
      {"ID3D11Device::CreateQuery", 2, "CreateQuery(mid)"},
      {"ID3D11Device::CreateQuery", 3, "CreateQuery(end)"},
      {"ID3D11Device::CreateQuery", 4, "CreateQuery(postEnd)"},
      {"ID3D11Device::CreateQuery", 5, "CreateQuery(nv12End)"},
      {"ID3D11Device::CreateQuery", 6, "CreateQuery(copyEnd)"},
  };
  for (const auto& s : steps) {
    platform::faults::injectAfter(s.site, 0x8007000E, s.skip);
    try {
      D3D11Compositor compositor;
      ADD_FAILURE() << s.step << " did not fail";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), std::string(s.step) + " failed with HRESULT 0x8007000E");
    }
    platform::faults::clearAll();
  }
}

TEST(GpuCompositorTest, NoDeviceIsDxgiUnsupported) {
  platform::d3d11::setAdapterChoice("none");
  EXPECT_THROW(
      {
        try {
          D3D11Compositor compositor;
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "D3D11CreateDevice(compositor) failed with HRESULT 0x887A0004");
          throw;
        }
      },
      std::runtime_error);
  platform::d3d11::setAdapterChoice("");
}

TEST(GpuCompositorTest, AKernelThatDoesNotCompileGivesTheCompilersMessages) {
  try {
    compileComputeShader("[numthreads(8, 8, 1)] void main(uint3 id : SV_DispatchThreadID) { undefinedThing(id); }");
    ADD_FAILURE() << "compiled";
  } catch (const std::runtime_error& error) {
    const std::string text = error.what();
    const std::string head = "D3DCompile(compute) failed with HRESULT 0x80004005: ";
    ASSERT_THAT(text, StartsWith(head));
    EXPECT_GT(text.size(), head.size());
    EXPECT_THAT(text, HasSubstr("undefinedThing"));
  }
}

TEST(GpuCompositorTest, TheDeviceIsMultithreadProtected) {
  ComPtr<ID3D11Multithread> mt;
  ASSERT_EQ(shared().device()->QueryInterface(IID_ID3D11Multithread, reinterpret_cast<void**>(mt.GetAddressOf())),
            S_OK);
  EXPECT_TRUE(mt->GetMultithreadProtected());
}

TEST(GpuCompositorTest, InvertAffine) {
  for (double v : invertAffine({0, 0, 0, 0, 0, 0})) EXPECT_TRUE(std::isfinite(v));
  const std::array<double, 6> m{2, 0.5, 10, -0.25, 1.5, -7};
  const auto inv = invertAffine(m);
  // inverse after m is the identity.
  const double x = 13, y = -4;
  const double u = m[0] * x + m[1] * y + m[2], v = m[3] * x + m[4] * y + m[5];
  EXPECT_NEAR(inv[0] * u + inv[1] * v + inv[2], x, 1e-9);
  EXPECT_NEAR(inv[3] * u + inv[4] * v + inv[5], y, 1e-9);
  // A negative determinant keeps its sign.
  const auto flip = invertAffine({-1, 0, 0, 0, 1, 0});
  EXPECT_DOUBLE_EQ(flip[0], -1);
  EXPECT_DOUBLE_EQ(flip[4], 1);
}

// ---- frame-size resources and camera textures ----

TEST(GpuCompositorTest, FrameTexturesAreMadeOncePerSizeAndANewSizeDropsTheCameraTexture) {
  auto& c = shared();
  c.ensureFrameTextures(64, 48);
  ComPtr<ID3D11Texture2D> first = c.frameTexture();
  c.ensureFrameTextures(64, 48);
  EXPECT_EQ(c.frameTexture(), first.Get());

  const cv::Mat camera = randomFrame(64, 48, 1);
  auto tex = cameraTexture(c.device(), camera, DXGI_FORMAT_B8G8R8A8_UNORM);
  double ms = -1;
  ASSERT_TRUE(c.copyExternalFrame(tex.Get(), 0, 64, 48, false, ms));
  EXPECT_GE(ms, 0);
  EXPECT_NE(c.externalTexture(), nullptr);
  EXPECT_EQ(c.frameTexture(), first.Get());

  c.ensureFrameTextures(64, 50);
  EXPECT_NE(c.frameTexture(), first.Get());
  EXPECT_EQ(c.externalTexture(), nullptr);
}

TEST(GpuCompositorTest, ACameraTextureComesInAsBgrMirroredOnRequest) {
  auto& c = shared();
  const cv::Mat camera = randomFrame(40, 24, 2);
  for (DXGI_FORMAT format : {DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_B8G8R8A8_UNORM, DXGI_FORMAT_B8G8R8X8_UNORM}) {
    for (bool mirror : {false, true}) {
      // Bigger than the frame: only the top-left frame-size region is taken.
      cv::Mat big = randomFrame(48, 30, 3);
      camera.copyTo(big(cv::Rect(0, 0, 40, 24)));
      auto tex = cameraTexture(c.device(), big, format);
      double ms = 0;
      ASSERT_TRUE(c.copyExternalFrame(tex.Get(), 0, 40, 24, mirror, ms)) << format;
      cv::Mat expected;
      if (mirror)
        cv::flip(camera, expected, 1);
      else
        expected = camera;
      EXPECT_EQ(cv::norm(readOut(c, 40, 24), expected, cv::NORM_INF), 0) << format << " mirror " << mirror;
    }
  }
}

TEST(GpuCompositorTest, AnUnusableCameraTextureIsRefusedAndLeavesTheFrameAlone) {
  auto& c = shared();
  const cv::Mat before = randomFrame(32, 16, 4);
  const cv::Mat other = randomFrame(32, 16, 5);
  struct Case {
    const char* name;
    DXGI_FORMAT format;
    int width, height;
    UINT arraySize, subresource;
  };
  const Case cases[] = {
      {"another format", DXGI_FORMAT_R32G32B32A32_FLOAT, 32, 16, 1, 0},
      {"narrower", DXGI_FORMAT_B8G8R8A8_UNORM, 28, 16, 1, 0},
      {"lower", DXGI_FORMAT_B8G8R8A8_UNORM, 32, 14, 1, 0},
      {"subresource out of range", DXGI_FORMAT_B8G8R8A8_UNORM, 32, 16, 1, 1},
  };
  for (const auto& k : cases) {
    upload(c, before);
    double ms = 0;
    ComPtr<ID3D11Texture2D> tex;
    if (k.format == DXGI_FORMAT_R32G32B32A32_FLOAT) {
      D3D11_TEXTURE2D_DESC desc{32, 16, 1, 1, k.format, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE, 0, 0};
      ASSERT_EQ(c.device()->CreateTexture2D(&desc, nullptr, &tex), S_OK);
    } else {
      tex = cameraTexture(c.device(), other(cv::Rect(0, 0, k.width, k.height)).clone(), k.format, k.arraySize);
    }
    EXPECT_FALSE(c.copyExternalFrame(tex.Get(), k.subresource, 32, 16, false, ms)) << k.name;
    EXPECT_EQ(cv::norm(readOut(c, 32, 16), before, cv::NORM_INF), 0) << k.name;
    auto frameBytes = readTexture(c.device(), c.frameTexture());
    cv::Mat frame(16, 32, CV_8UC4, frameBytes.data()), frameBgr;
    cv::cvtColor(frame, frameBgr, cv::COLOR_BGRA2BGR);
    EXPECT_EQ(cv::norm(frameBgr, before, cv::NORM_INF), 0) << k.name;
  }
  double ms = 0;
  EXPECT_FALSE(c.copyExternalFrame(nullptr, 0, 32, 16, false, ms));
}

// ---- set-up uploads ----

TEST(GpuCompositorTest, BadMasksAndAtlasesAreRefusedWithTheirTexts) {
  auto& c = shared();
  const std::string maskText = "setFacemask expects a 320x512 CV_32F mask.";
  for (const cv::Mat& mask : {cv::Mat(512, 320, CV_8UC1, cv::Scalar(1)), cv::Mat(320, 512, CV_32FC1, cv::Scalar(1)),
                              cv::Mat(512, 320, CV_32FC3, cv::Scalar(1)), cv::Mat()}) {
    try {
      c.setFacemask(mask);
      ADD_FAILURE() << "mask " << mask.cols << "x" << mask.rows << " accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), maskText);
    }
  }
  const cv::Mat atlas(16, 256, CV_8UC4, cv::Scalar(1, 2, 3, 255));
  const cv::Mat larger(20, 300, CV_8UC4, cv::Scalar(1, 2, 3, 255));
  struct Lut {
    int index;
    cv::Mat atlas;
    const char* text;
  };
  const std::string range = "setToneLut: tone index out of range (natural has no LUT).";
  const std::string shape = "setToneLut expects a continuous 256x16 CV_8UC4 (RGBA) atlas.";
  const Lut luts[] = {
      {0, atlas, range.c_str()},
      {6, atlas, range.c_str()},
      {-1, atlas, range.c_str()},
      {1, larger(cv::Rect(0, 0, 256, 16)), shape.c_str()},
      {1, cv::Mat(16, 256, CV_8UC3, cv::Scalar(1, 2, 3)), shape.c_str()},
      {1, cv::Mat(256, 16, CV_8UC4, cv::Scalar(1, 2, 3, 4)), shape.c_str()},
  };
  for (const auto& l : luts) {
    try {
      c.setToneLut(l.index, l.atlas);
      ADD_FAILURE() << "index " << l.index << " accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), l.text) << l.index;
    }
  }
}

// ---- frame paths ----

TEST(GpuCompositorTest, A720pFramePacksIntoNv12FromA320x1080Texture) {
  auto& c = shared();
  const cv::Mat frame = randomFrame(1280, 720, 6);
  const cv::Mat crop = frame(cv::Rect(400, 100, 320, 512)).clone();
  std::vector<uint8_t> nv12;
  GpuTimings t;
  ASSERT_TRUE(
      c.processResident({frame}, faceOf(crop, constantField(0), cropAt(400, 100)), 1.0f, false, {}, nv12, t));
  EXPECT_EQ(nv12.size(), 1382400u);
  D3D11_TEXTURE2D_DESC desc;
  c.nv12Texture()->GetDesc(&desc);
  EXPECT_EQ(desc.Width, 320u);
  EXPECT_EQ(desc.Height, 1080u);
  // lavapipe has timestamps: composite and packing are timed (the paste rides in the
  // packing pass), and the sum holds the upload.
  EXPECT_GT(t.compositeGpu, 0);
  EXPECT_EQ(t.pasteGpu, 0);
  EXPECT_GT(t.nv12Gpu, 0);
  EXPECT_GT(t.copyGpu, 0);
  EXPECT_DOUBLE_EQ(t.gpuSum, t.upload + t.compositeGpu + t.pasteGpu);
  EXPECT_GT(t.frameIn, 0);
  EXPECT_GT(t.nv12, 0);
  EXPECT_GE(t.total, t.nv12);
}

TEST(GpuCompositorTest, FramesThatCannotBePackedAreRefusedByEveryNv12Path) {
  auto& c = shared();
  const GpuPostParams post{1.0f, 1, nullptr};
  for (cv::Size size : {cv::Size(1278, 720), cv::Size(1280, 721)}) {
    const cv::Mat frame = randomFrame(size.width, size.height, 7);
    const cv::Mat crop = frame(cv::Rect(400, 100, 320, 512)).clone();
    std::vector<uint8_t> nv12;
    GpuTimings t;
    EXPECT_FALSE(
        c.processResident({frame}, faceOf(crop, constantField(0), cropAt(400, 100)), 1, false, post, nv12, t))
        << size;
    EXPECT_FALSE(c.processCameraOnly({frame}, post, nv12, t)) << size;
    EXPECT_FALSE(c.pasteCrops({frame}, faceOf(crop, cropAt(400, 100)), crop, post, nv12, t)) << size;
    EXPECT_TRUE(nv12.empty());
  }
}

// The shared compositor, a plain crop and the outputs a path call fills.
class GpuPathTest : public ::testing::Test {
 protected:
  D3D11Compositor& c = shared();
  const cv::Mat crop{512, 320, CV_8UC3, cv::Scalar(10, 20, 30)};
  std::vector<uint8_t> nv12;
  GpuTimings t;
  GpuDeltaTimings d;
};

TEST_F(GpuPathTest, UnsuitableInputMakesThePathsDecline) {
  const cv::Mat frame = randomFrame(128, 96, 8);
  // Wrong crop size, short field, grey frame.
  EXPECT_FALSE(c.processResident({frame}, faceOf(crop(cv::Rect(0, 0, 300, 512)), constantField(0), cropAt(0, 0)), 1,
                                 false, {}, nv12, t));
  EXPECT_FALSE(c.processResident({frame}, faceOf(crop, std::vector<float>(10239, 0.f), cropAt(0, 0)), 1, false, {},
                                 nv12, t));
  cv::Mat grey(96, 128, CV_8UC1, cv::Scalar(9));
  EXPECT_FALSE(c.pasteCrops({grey}, faceOf(crop, cropAt(0, 0)), crop, {}, nv12, t));
  EXPECT_EQ(cv::norm(c.applyDelta(grey, crop, crop, cropAt(0, 0), d), grey, cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(c.applyDelta(frame, crop, crop(cv::Rect(0, 0, 320, 500)), cropAt(0, 0), d), frame, cv::NORM_INF),
            0);
}

TEST_F(GpuPathTest, GarbageAlignmentsGiveAnEmptyRoiOrAFrameBoundedOne) {
  const cv::Mat frame = randomFrame(128, 96, 9);
  const cv::Mat retouched(512, 320, CV_8UC3, cv::Scalar(60, 70, 80));
  struct Case {
    const char* name;
    std::array<double, 6> affine;
    bool runs;
  };
  const Case cases[] = {
      {"NaN", {kNan, 0, 0, 0, 1, 0}, false},
      {"NaN translation", {1, 0, kNan, 0, 1, 0}, false},
      {"infinite", {kInf, 0, 0, 0, kInf, 0}, false},
      {"far off the frame", {1, 0, -1e30, 0, 1, -1e30}, false},
      {"crop left of the frame", cropAt(-400, 0), false},
      {"crop right of the frame", cropAt(130, 0), false},
      {"near-singular", {1e-7, 0, 0, 0, 1e-7, 0}, true},
      {"all zeros", {0, 0, 0, 0, 0, 0}, true},
      {"huge scale", {1e30, 0, 0, 0, 1e30, 0}, true},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(c.processResident({frame}, faceOf(crop, constantField(0), k.affine), 1, false, {}, nv12, t),
              k.runs)
        << k.name;
    EXPECT_EQ(c.pasteCrops({frame}, faceOf(crop, k.affine), retouched, {}, nv12, t), k.runs) << k.name;
    const cv::Mat pasted = c.applyDelta(frame, crop, retouched, k.affine, d);
    ASSERT_EQ(pasted.size(), frame.size()) << k.name;
    if (!k.runs) {
      EXPECT_EQ(cv::norm(pasted, frame, cv::NORM_INF), 0) << k.name;
    }
  }
}

TEST(GpuCompositorTest, NanSkinFieldValuesUploadAsZero) {
  auto& c = shared();
  const cv::Mat frame = randomFrame(320, 512, 10);
  const cv::Mat crop = frame.clone();
  auto field = constantField(0);
  std::vector<uint8_t> zero, nan;
  GpuTimings t;
  ASSERT_TRUE(c.processResident({frame}, faceOf(crop, field, cropAt(0, 0)), 1, false, {}, zero, t));
  std::fill(field.begin(), field.end(), std::numeric_limits<float>::quiet_NaN());
  ASSERT_TRUE(c.processResident({frame}, faceOf(crop, field, cropAt(0, 0)), 1, false, {}, nan, t));
  EXPECT_EQ(zero, nan);
}

TEST_F(GpuPathTest, CameraOnlyNeedsAnEffectWhileTheResidentPathStillPacks) {
  const cv::Mat frame = randomFrame(64, 48, 11);
  EXPECT_FALSE(c.processCameraOnly({frame}, {0, 0, nullptr}, nv12, t));
  EXPECT_TRUE(nv12.empty());
  // No post pass is due: the resident path packs the composited frame as it stands.
  EXPECT_TRUE(
      c.processResident({frame}, faceOf(crop, constantField(0), cropAt(0, 0)), 1, false, {0, 0, nullptr}, nv12, t));
  EXPECT_EQ(nv12.size(), 64u * 48 * 3 / 2);
}

TEST(GpuCompositorTest, PostPassesThatAreNotDueAreSkipped) {
  auto& c = shared();
  const int w = 64, h = 48;
  const cv::Mat frame = randomFrame(w, h, 12);
  upload(c, frame);
  PerspectiveField square{72, 72, std::vector<std::array<float, 2>>(72 * 72, {3, 3})};
  PerspectiveField narrow{95, 54, std::vector<std::array<float, 2>>(95 * 54, {3, 3})};
  PerspectiveField shortField{96, 54, std::vector<std::array<float, 2>>(96 * 54 - 1, {3, 3})};
  PerspectiveField full{96, 54, std::vector<std::array<float, 2>>(96 * 54, {3, 3})};
  struct Case {
    const char* name;
    GpuPostParams post;
    bool runs;
  };
  const Case cases[] = {
      {"nothing", {0, 0, nullptr}, false},         {"negative sharpen", {-1, 0, nullptr}, false},
      {"tone 6", {0, 6, nullptr}, false},          {"tone -1", {0, -1, nullptr}, false},
      {"72x72 field", {0, 0, &square}, false},     {"95x54 field", {0, 0, &narrow}, false},
      {"short field", {0, 0, &shortField}, false}, {"sharpen", {0.5f, 0, nullptr}, true},
      {"tone 3", {0, 3, nullptr}, true},           {"96x54 field", {0, 0, &full}, true},
  };
  for (const auto& k : cases) {
    ID3D11ShaderResourceView* last = c.runPostChain(c.outView(), w, h, k.post);
    EXPECT_EQ(last != c.outView(), k.runs) << k.name;
  }
}

// The roads pack the perspective correction on the way; the bytes are those of the
// chain's own perspective pass, then packing. Sharpening and a tone first, so the warp
// reads their result.
TEST(GpuCompositorTest, PerspectivePackedOnTheWayGivesTheChainsBytes) {
  auto& c = shared();
  const int w = 192, h = 108;
  const cv::Mat frame = randomFrame(w, h, 19);
  PerspectiveField field{96, 54, std::vector<std::array<float, 2>>(96 * 54)};
  std::mt19937 rng(20);
  std::uniform_real_distribution<float> offset(-5.0f, 5.0f);
  for (auto& o : field.offsets) o = {offset(rng), offset(rng)};
  for (const GpuPostParams& post : {GpuPostParams{0, 0, &field}, GpuPostParams{0.4f, 2, &field}}) {
    std::vector<uint8_t> road, chain;
    GpuTimings t;
    ASSERT_TRUE(c.processCameraOnly({frame}, post, road, t));
    upload(c, frame);
    c.packNv12(c.runPostChain(c.outView(), w, h, post), w, h, chain, t);
    // Apart from the device's rounding ties.
    EXPECT_LE(largestDifference(road, chain), 1) << post.sharpen;
    size_t same = 0;
    for (size_t i = 0; i < road.size() && road.size() == chain.size(); ++i) same += road[i] == chain[i];
    EXPECT_GE(double(same), 0.99 * double(chain.size())) << post.sharpen;
    std::vector<uint8_t> unwarped;
    c.packNv12(c.runPostChain(c.outView(), w, h, {post.sharpen, post.toneIndex, nullptr}), w, h, unwarped, t);
    EXPECT_NE(unwarped, road) << "the field moves the picture";
  }
}

TEST(GpuCompositorTest, SharpenAboveOneSharpensAsOne) {
  auto& c = shared();
  const cv::Mat frame = randomFrame(64, 48, 13);
  std::vector<uint8_t> one, two, half;
  GpuTimings t;
  ASSERT_TRUE(c.processCameraOnly({frame}, {1.0f, 0, nullptr}, one, t));
  ASSERT_TRUE(c.processCameraOnly({frame}, {2.0f, 0, nullptr}, two, t));
  ASSERT_TRUE(c.processCameraOnly({frame}, {0.5f, 0, nullptr}, half, t));
  EXPECT_EQ(one, two);
  EXPECT_NE(one, half);
  EXPECT_EQ(t.compositeGpu, 0);  // no query on this path
}

TEST(GpuCompositorTest, MaskBypassStillNeedsAFacemask) {
  D3D11Compositor fresh;
  const cv::Mat frame = randomFrame(320, 512, 14);
  std::vector<uint8_t> nv12;
  GpuTimings t;
  EXPECT_FALSE(
      fresh.processResident({frame}, faceOf(frame.clone(), constantField(0), cropAt(0, 0)), 1, true, {}, nv12, t));
  fresh.setFacemask(cv::Mat(512, 320, CV_32FC1, cv::Scalar(0.0f)));
  EXPECT_TRUE(
      fresh.processResident({frame}, faceOf(frame.clone(), constantField(0), cropAt(0, 0)), 1, true, {}, nv12, t));
}

TEST(GpuCompositorTest, AFailingQueryPollLeavesTheGpuTimesAtZero) {
  auto& c = shared();
  const cv::Mat frame = randomFrame(320, 512, 15);
  const cv::Mat crop = frame.clone();
  const cv::Mat retouched = cv::Mat(512, 320, CV_8UC3, cv::Scalar(1, 2, 3));
  std::vector<uint8_t> nv12;
  GpuTimings t;
  GpuDeltaTimings d;
  platform::faults::inject("ID3D11DeviceContext::GetData", 0x887A0001 /* DXGI_ERROR_INVALID_CALL */);
  EXPECT_TRUE(c.processResident({frame}, faceOf(crop, constantField(0), cropAt(0, 0)), 1, false, {}, nv12, t));
  EXPECT_EQ(t.compositeGpu, 0);
  EXPECT_EQ(t.pasteGpu, 0);
  EXPECT_TRUE(c.pasteCrops({frame}, faceOf(crop, cropAt(0, 0)), retouched, {}, nv12, t));
  EXPECT_EQ(t.pasteGpu, 0);
  const cv::Mat pasted = c.applyDelta(frame, crop, retouched, cropAt(0, 0), d);
  EXPECT_EQ(d.gpu, 0);
  platform::faults::clearAll();
  EXPECT_EQ(cv::norm(pasted, retouched, cv::NORM_INF), 0);
}

TEST(GpuCompositorTest, DeltaAndPastePathsCarryTheRetouchIntoTheFrame) {
  auto& c = shared();
  const cv::Mat frame = randomFrame(640, 720, 16);
  const cv::Mat crop = frame(cv::Rect(100, 50, 320, 512)).clone();
  cv::Mat retouched = crop.clone();
  retouched(cv::Rect(100, 100, 120, 200)).setTo(cv::Scalar(200, 100, 50));
  GpuDeltaTimings d;
  const cv::Mat pasted = c.applyDelta(frame, crop, retouched, cropAt(100, 50), d);
  cv::Mat expected = frame.clone();
  retouched.copyTo(expected(cv::Rect(100, 50, 320, 512)));
  // Integer offsets sample texel centres exactly.
  EXPECT_LE(cv::norm(pasted, expected, cv::NORM_INF), 1);
  EXPECT_GT(d.gpu, 0);
  EXPECT_GT(d.total, 0);

  std::vector<uint8_t> nv12, reference;
  GpuTimings t;
  ASSERT_TRUE(c.pasteCrops({frame}, faceOf(crop, cropAt(100, 50)), retouched, {}, nv12, t));
  // Without global effects the paste rides in the packing pass.
  EXPECT_EQ(t.pasteGpu, 0);
  EXPECT_GT(t.nv12Gpu, 0);
  EXPECT_DOUBLE_EQ(t.gpuSum, t.pasteGpu + t.upload);
  EXPECT_EQ(t.compositeGpu, 0);
  EXPECT_LE(cv::norm(readOut(c, 640, 720), expected, cv::NORM_INF), 1);
  ASSERT_TRUE(bgrToNv12(expected, 640, 720, reference));
  EXPECT_LE(largestDifference(nv12, reference), 2);
  // With a global effect the paste is its own pass.
  ASSERT_TRUE(c.pasteCrops({frame}, faceOf(crop, cropAt(100, 50)), retouched, {0.5f, 0, nullptr}, nv12, t));
  EXPECT_GT(t.pasteGpu, 0);
  EXPECT_LE(cv::norm(readOut(c, 640, 720), expected, cv::NORM_INF), 1);
}

TEST(GpuCompositorTest, Nv12FromTheGpuAgreesWithTheCpuConversion) {
  auto& c = shared();
  const int w = 320, h = 240;
  const cv::Mat frame = randomFrame(w, h, 17);
  upload(c, frame);
  std::vector<uint8_t> gpu, cpu;
  GpuTimings t;
  c.packNv12(c.outView(), w, h, gpu, t);
  ASSERT_TRUE(bgrToNv12(frame, w, h, cpu));
  ASSERT_EQ(gpu.size(), cpu.size());
  const size_t luma = size_t(w) * h;
  // Counts of GPU minus CPU by difference + 1, for luma and chroma.
  std::array<size_t, 5> lumaDiff{}, chromaDiff{};
  size_t outside = 0;
  for (size_t i = 0; i < gpu.size(); ++i) {
    const int d = int(gpu[i]) - int(cpu[i]);
    if (d < 0 || d > (i < luma ? 1 : 2)) {
      if (++outside <= 5) ADD_FAILURE() << (i < luma ? "luma" : "chroma") << " byte " << i << ": " << d;
      continue;
    }
    (i < luma ? lumaDiff : chromaDiff)[size_t(d + 1)]++;
  }
  EXPECT_EQ(outside, 0u);
  const double chroma = double(gpu.size() - luma);
  std::printf("NV12 GPU vs CPU: luma +1 in %.1f%%; chroma +1 in %.1f%%, +2 in %.2f%%\n", 100.0 * lumaDiff[2] / luma,
              100.0 * chromaDiff[2] / chroma, 100.0 * chromaDiff[3] / chroma);
}

}  // namespace
}  // namespace tesmira
