#include "producer/camera_capture.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <string>
#include <vector>

#include "producer/tests/camera_capture_testing.h"

namespace tesmira {
namespace {

using testing::CameraStep;
using testing::randomNv12;
using testing::sameMat;
using testing::ScriptedCamera;

constexpr HRESULT kNotFound = static_cast<HRESULT>(0xC00D36D5);
constexpr HRESULT kInvalidType = static_cast<HRESULT>(0xC00D36B4);

CameraOpenRequest request(int32_t width, int32_t height, int32_t numerator, int32_t denominator) {
  CameraOpenRequest r;
  r.width = width;
  r.height = height;
  r.fpsNumerator = numerator;
  r.fpsDenominator = denominator;
  return r;
}

TEST(CheckDeliveredFormat, Table) {
  struct Case {
    const char* name;
    CameraOpenRequest request;
    CaptureFormat delivered;
    HRESULT expected;
  };
  const Case cases[] = {
      {"exact", request(1280, 720, 30, 1), {1280, 720, 1280, 30, 1}, S_OK},
      {"rate written differently", request(1280, 720, 30, 1), {1280, 720, 1280, 60, 2}, S_OK},
      {"other size", request(1280, 720, 30, 1), {640, 480, 640, 30, 1}, kInvalidType},
      {"other height only", request(1280, 720, 30, 1), {1280, 721, 1280, 30, 1}, kInvalidType},
      {"other rate", request(1280, 720, 30, 1), {1280, 720, 1280, 15, 1}, kInvalidType},
      {"size left to the camera", request(0, -1, 30, 1), {640, 480, 640, 30, 1}, S_OK},
      {"rate left to the camera", request(640, 480, 0, 1), {640, 480, 640, 15, 1}, S_OK},
      {"delivered rate unknown", request(640, 480, 30, 1), {640, 480, 640, 0, 0}, S_OK},
      {"empty frame", request(0, 0, 0, 0), {0, 480, 640, 30, 1}, kInvalidType},
      {"stride below width", request(640, 480, 30, 1), {640, 480, 320, 30, 1}, kInvalidType},
      {"padded stride", request(640, 480, 30, 1), {640, 480, 704, 30, 1}, S_OK},
      {"huge rate terms", request(640, 480, 0x7FFFFFFF, 1), {640, 480, 640, 0xFFFFFFFF, 2}, kInvalidType},
      {"absurd size", request(0, 0, 0, 0), {100000, 100000, 100000, 30, 1}, kInvalidType},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(checkDeliveredFormat(c.request, c.delivered), c.expected) << c.name;
  }
}

// A buffer laid out with `stride` bytes per row, padding filled with 0xEE.
std::vector<BYTE> paddedNv12(const cv::Mat& nv12, uint32_t stride) {
  std::vector<BYTE> buffer(static_cast<size_t>(stride) * nv12.rows, 0xEE);
  for (int row = 0; row < nv12.rows; ++row) {
    std::memcpy(buffer.data() + static_cast<size_t>(row) * stride, nv12.ptr(row), nv12.cols);
  }
  return buffer;
}

TEST(CopyNv12, StridesAndLengths) {
  struct Case {
    const char* name;
    int width;
    int height;
    uint32_t stride;
    int lengthDelta;
    bool copies;
  };
  const Case cases[] = {
      {"tight", 64, 48, 64, 0, true},
      {"padded rows", 64, 48, 96, 0, true},
      {"longer buffer", 64, 48, 64, 100, true},
      {"one byte short", 64, 48, 64, -1, false},
      {"padded one byte short", 64, 48, 96, -1, false},
  };
  for (const Case& c : cases) {
    const cv::Mat source = randomNv12(c.width, c.height, 7);
    std::vector<BYTE> buffer = paddedNv12(source, c.stride);
    buffer.resize(buffer.size() + c.lengthDelta, 0xEE);
    cv::Mat out = cv::Mat(2, 2, CV_8UC1, cv::Scalar(5));
    const cv::Mat before = out.clone();
    const CaptureFormat format{static_cast<uint32_t>(c.width), static_cast<uint32_t>(c.height), c.stride, 30, 1};
    EXPECT_EQ(copyNv12(buffer.data(), buffer.size(), format, out), c.copies) << c.name;
    EXPECT_TRUE(sameMat(out, c.copies ? source : before)) << c.name;
  }
}

// A texture of the test device: the pixels live in memory.
class TestTexture final : public CaptureTexture {
 public:
  TestTexture(CaptureTextureDesc desc) : desc_(desc), pixels(desc.height, desc.width, CV_8UC4) {}
  CaptureTextureDesc desc() const override { return desc_; }
  CaptureTextureDesc desc_;
  cv::Mat pixels;
};

class TestDevice final : public CaptureDevice {
 public:
  HRESULT createStagingTexture(UINT format, UINT width, UINT height, CaptureTextureRef& staging) override {
    ++stagingCreated;
    if (FAILED(createResult)) return createResult;
    staging = std::make_shared<TestTexture>(CaptureTextureDesc{width, height, 1, 1, format});
    return S_OK;
  }
  void copySubresourceRegion(CaptureTexture& destination, CaptureTexture& source, UINT subresource, UINT width,
                             UINT height) override {
    copiedSubresource = subresource;
    auto& to = static_cast<TestTexture&>(destination);
    static_cast<TestTexture&>(source).pixels(cv::Rect(0, 0, width, height)).copyTo(to.pixels(cv::Rect(0, 0, width, height)));
  }
  HRESULT mapRead(CaptureTexture& staging, const BYTE** data, UINT* rowPitch) override {
    auto& texture = static_cast<TestTexture&>(staging);
    *data = texture.pixels.data;
    *rowPitch = static_cast<UINT>(texture.pixels.step[0]);
    ++mapped;
    return S_OK;
  }
  void unmap(CaptureTexture&) override { --mapped; }

  HRESULT createResult = S_OK;
  int stagingCreated = 0;
  int mapped = 0;
  UINT copiedSubresource = 99;
};

std::shared_ptr<TestTexture> testTexture(UINT format, UINT width, UINT height, UINT mips = 1, UINT slices = 1) {
  auto texture = std::make_shared<TestTexture>(CaptureTextureDesc{width, height, mips, slices, format});
  for (UINT y = 0; y < height; ++y) {
    for (UINT x = 0; x < width; ++x) {
      texture->pixels.at<cv::Vec4b>(y, x) = cv::Vec4b(uint8_t(x), uint8_t(y), uint8_t(x + y), 255);
    }
  }
  return texture;
}

TEST(TextureReadBack, ChannelOrderPerFormat) {
  struct Case {
    UINT format;
    int blue;
    int red;
  };
  for (const Case& c : {Case{kTextureFormatB8G8R8A8, 0, 2}, Case{kTextureFormatB8G8R8X8, 0, 2},
                        Case{kTextureFormatR8G8B8A8, 2, 0}}) {
    TestDevice device;
    StagingCache staging;
    auto texture = testTexture(c.format, 8, 4);
    cv::Mat bgr;
    ASSERT_TRUE(readTextureToBgr(device, staging, *texture, 0, 0, 0, bgr)) << c.format;
    ASSERT_EQ(bgr.size(), cv::Size(8, 4));
    const cv::Vec4b source = texture->pixels.at<cv::Vec4b>(3, 5);
    EXPECT_EQ(bgr.at<cv::Vec3b>(3, 5), cv::Vec3b(source[c.blue], source[1], source[c.red])) << c.format;
    EXPECT_EQ(device.mapped, 0);
  }
}

TEST(TextureReadBack, Refusals) {
  struct Case {
    const char* name;
    UINT format;
    UINT mips;
    UINT slices;
    UINT subresource;
    HRESULT createResult;
  };
  const Case cases[] = {
      {"NV12 texture", 103, 1, 1, 0, S_OK},
      {"float texture", 2, 1, 1, 0, S_OK},
      {"subresource past mips x slices", kTextureFormatB8G8R8A8, 2, 2, 4, S_OK},
      {"staging creation fails", kTextureFormatB8G8R8A8, 1, 1, 0, E_OUTOFMEMORY},
  };
  for (const Case& c : cases) {
    TestDevice device;
    device.createResult = c.createResult;
    StagingCache staging;
    auto texture = testTexture(c.format, 8, 4, c.mips, c.slices);
    cv::Mat bgr;
    EXPECT_FALSE(readTextureToBgr(device, staging, *texture, c.subresource, 0, 0, bgr)) << c.name;
    EXPECT_FALSE(staging.texture) << c.name;
    EXPECT_EQ(staging.width, 0u) << c.name;
  }
}

TEST(TextureReadBack, RegionLimitAndStagingReuse) {
  TestDevice device;
  StagingCache staging;
  auto texture = testTexture(kTextureFormatB8G8R8A8, 16, 8, 1, 3);
  cv::Mat bgr;
  ASSERT_TRUE(readTextureToBgr(device, staging, *texture, 2, 10, 6, bgr));
  EXPECT_EQ(bgr.size(), cv::Size(10, 6));
  EXPECT_EQ(device.copiedSubresource, 2u);
  ASSERT_TRUE(readTextureToBgr(device, staging, *texture, 0, 10, 6, bgr));
  EXPECT_EQ(device.stagingCreated, 1);
  ASSERT_TRUE(readTextureToBgr(device, staging, *texture, 0, 0, 0, bgr));
  EXPECT_EQ(bgr.size(), cv::Size(16, 8));
  EXPECT_EQ(device.stagingCreated, 2);
}

// The capture over a scripted camera; a last failing step ends its thread.
struct Rig {
  explicit Rig(CaptureFormat format = {64, 48, 64, 30, 1}) : camera(format), capture(camera.opener()) {}
  ~Rig() {
    camera.push({E_FAIL});
    capture.stop();
  }
  ScriptedCamera camera;
  CameraCapture capture;
};

class CaptureTest : public ::testing::Test {
 protected:
  bool start(int32_t width, int32_t height) {
    return capture_.start(0, width, height, 30, 1, /*convertInReader=*/true, /*mirror=*/false, nullptr, false);
  }

  Rig rig_;
  ScriptedCamera& camera_ = rig_.camera;
  CameraCapture& capture_ = rig_.capture;
};

// The converted frame, from the reader's side or from waitFrame; only the reader's side mirrors.
TEST(CaptureConversion, DeliversTheConvertedFrameMirroredOnlyInTheReader) {
  struct Case {
    const char* name;
    bool convertInReader;
    bool mirror;
    bool mirrored;
  };
  const Case cases[] = {
      {"converted in the reader", true, false, false},
      {"converted in waitFrame, unmirrored", false, true, false},
      {"mirrored when converting in the reader", true, true, true},
  };
  int seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    ASSERT_TRUE(rig.capture.start(0, 64, 48, 30, 1, c.convertInReader, c.mirror, nullptr, false));
    EXPECT_EQ(rig.capture.lastHresult(), S_OK);
    const cv::Mat nv12 = randomNv12(64, 48, seed++);
    rig.camera.pushFrame(nv12);
    cv::Mat bgr, expected;
    ASSERT_TRUE(rig.capture.waitFrame(bgr, 5000));
    cv::cvtColor(nv12, expected, cv::COLOR_YUV2BGR_NV12);
    if (c.mirrored) cv::flip(expected, expected, 1);
    EXPECT_TRUE(sameMat(bgr, expected));
  }
}

TEST_F(CaptureTest, FastCameraHandsOutOnlyTheNewestFrame) {
  ASSERT_TRUE(start(64, 48));
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 3; ++i) {
    frames.push_back(randomNv12(64, 48, 10 + i));
    camera_.pushFrame(frames.back());
  }
  camera_.waitIdle();
  cv::Mat bgr, expected;
  ASSERT_TRUE(capture_.waitFrame(bgr, 0));
  cv::cvtColor(frames.back(), expected, cv::COLOR_YUV2BGR_NV12);
  EXPECT_TRUE(sameMat(bgr, expected));
  EXPECT_FALSE(capture_.waitFrame(bgr, 0)) << "the skipped frames are never queued";
}

TEST_F(CaptureTest, PaddedStrideNeverLeaksIntoTheFrame) {
  Rig padded({64, 48, 80, 30, 1});
  ASSERT_TRUE(padded.capture.start(0, 64, 48, 30, 1, false, false, nullptr, false));
  const cv::Mat nv12 = randomNv12(64, 48, 4);
  CameraStep step;
  step.nv12 = paddedNv12(nv12, 80);
  padded.camera.push(step);
  cv::Mat bgr, expected;
  ASSERT_TRUE(padded.capture.waitFrame(bgr, 5000));
  cv::cvtColor(nv12, expected, cv::COLOR_YUV2BGR_NV12);
  EXPECT_TRUE(sameMat(bgr, expected));
}

TEST_F(CaptureTest, ShortBufferIsDropped) {
  ASSERT_TRUE(start(64, 48));
  CameraStep step;
  step.nv12.assign(64 * 72 - 1, 0x80);
  camera_.push(step);
  camera_.waitIdle();
  cv::Mat bgr;
  EXPECT_FALSE(capture_.waitFrame(bgr, 0));
  camera_.pushFrame(randomNv12(64, 48, 5));
  EXPECT_TRUE(capture_.waitFrame(bgr, 5000)) << "the capture goes on after a dropped sample";
}

TEST_F(CaptureTest, ChangedTypeWithNarrowRowsDropsItsSamples) {
  ASSERT_TRUE(start(64, 48));
  CameraStep narrow;
  narrow.newFormat = CaptureFormat{64, 48, 32, 0, 0};
  narrow.nv12.assign(64 * 72, 0x80);
  camera_.push(narrow);
  camera_.waitIdle();
  cv::Mat bgr;
  EXPECT_FALSE(capture_.waitFrame(bgr, 0));

  CameraStep wider;
  wider.newFormat = CaptureFormat{0, 0, 64, 0, 0};  // a zero size keeps the old one
  const cv::Mat nv12 = randomNv12(64, 48, 6);
  wider.nv12.assign(nv12.datastart, nv12.dataend);
  camera_.push(wider);
  ASSERT_TRUE(capture_.waitFrame(bgr, 5000));
  EXPECT_EQ(bgr.size(), cv::Size(64, 48));
}

TEST_F(CaptureTest, ReadFailureEndsTheThreadAndKeepsTheOpenedFlag) {
  ASSERT_TRUE(start(64, 48));
  camera_.push({static_cast<HRESULT>(0x80070490)});
  camera_.pushFrame(randomNv12(64, 48, 7));
  camera_.waitClosed();
  EXPECT_EQ(camera_.reads(), 1);
  EXPECT_TRUE(capture_.opened());
  cv::Mat bgr;
  EXPECT_FALSE(capture_.waitFrame(bgr, 0));
}

TEST_F(CaptureTest, EndOfStreamEndsTheThread) {
  ASSERT_TRUE(start(64, 48));
  camera_.push({S_FALSE});
  camera_.pushFrame(randomNv12(64, 48, 8));
  camera_.waitClosed();
  EXPECT_EQ(camera_.reads(), 1);
}

TEST_F(CaptureTest, OpenFailuresRecordTheirHresult) {
  struct Case {
    const char* name;
    HRESULT openResult;
    CaptureFormat delivered;
    HRESULT expected;
  };
  const Case cases[] = {
      {"no camera", kNotFound, {64, 48, 64, 30, 1}, kNotFound},
      {"busy", static_cast<HRESULT>(0xC00D3704), {64, 48, 64, 30, 1}, static_cast<HRESULT>(0xC00D3704)},
      {"denied", E_ACCESSDENIED, {64, 48, 64, 30, 1}, E_ACCESSDENIED},
      {"delivered smaller", S_OK, {32, 24, 32, 30, 1}, kInvalidType},
      {"delivered slower", S_OK, {64, 48, 64, 15, 1}, kInvalidType},
  };
  for (const Case& c : cases) {
    ScriptedCamera camera(c.delivered);
    CameraCapture capture(camera.opener(c.openResult));
    camera.push({E_FAIL});
    EXPECT_FALSE(capture.start(0, 64, 48, 30, 1, true, false, nullptr, false)) << c.name;
    EXPECT_EQ(capture.lastHresult(), c.expected) << c.name;
    EXPECT_FALSE(capture.opened()) << c.name;
    cv::Mat bgr;
    EXPECT_FALSE(capture.waitFrame(bgr, 0)) << c.name;
  }
}

TEST_F(CaptureTest, RestartDropsTheOldFrame) {
  ASSERT_TRUE(start(64, 48));
  camera_.pushFrame(randomNv12(64, 48, 9));
  camera_.waitIdle();
  camera_.push({E_FAIL});
  ASSERT_TRUE(start(64, 48));
  cv::Mat bgr;
  EXPECT_FALSE(capture_.waitFrame(bgr, 0));
}

TEST_F(CaptureTest, StopIsSafeTwiceAndBeforeStart) {
  CameraCapture idle(camera_.opener());
  idle.stop();
  idle.stop();
  cv::Mat bgr;
  EXPECT_FALSE(idle.waitFrame(bgr, 0));
}

// Texture mode: a scripted camera delivering test textures on a test device.
TEST(CaptureTextureMode, HandsOutTheTextureWithItsBgrCopy) {
  ScriptedCamera camera({16, 8, 16, 30, 1});
  auto device = std::make_shared<TestDevice>();
  CameraCapture capture(camera.opener());
  ASSERT_TRUE(capture.start(0, 16, 8, 30, 1, false, true, device, true));
  EXPECT_TRUE(capture.textureMode());
  EXPECT_TRUE(capture.convertInReader()) << "texture mode converts in the capture";
  EXPECT_TRUE(camera.lastRequest.textureMode);
  EXPECT_EQ(camera.lastRequest.device, device.get());

  auto texture = testTexture(kTextureFormatR8G8B8A8, 16, 8, 1, 2);
  CameraStep step;
  step.texture = texture;
  step.subresource = 1;
  camera.push(step);
  cv::Mat bgr;
  CaptureTextureRef handed;
  UINT subresource = 0;
  ASSERT_TRUE(capture.waitFrame(bgr, 5000, &handed, &subresource));
  EXPECT_EQ(handed, texture);
  EXPECT_EQ(subresource, 1u);
  const cv::Vec4b pixel = texture->pixels.at<cv::Vec4b>(2, 15);
  EXPECT_EQ(bgr.at<cv::Vec3b>(2, 0), cv::Vec3b(pixel[2], pixel[1], pixel[0])) << "the copy is mirrored";

  EXPECT_FALSE(capture.waitFrame(bgr, 0, &handed, &subresource));
  EXPECT_FALSE(handed) << "outputs are cleared";
  camera.push({E_FAIL});
  capture.stop();
  EXPECT_FALSE(capture.textureMode());
}

TEST(CaptureTextureMode, NeedsADevice) {
  ScriptedCamera camera({16, 8, 16, 30, 1});
  CameraCapture capture(camera.opener());
  ASSERT_TRUE(capture.start(0, 16, 8, 30, 1, false, false, nullptr, true));
  EXPECT_FALSE(capture.textureMode());
  EXPECT_FALSE(capture.convertInReader());
  camera.push({E_FAIL});
}

// The main loop's entry point: switches, flags and log lines.
TEST(OpenPhysicalCamera, LogsTheFailureWithTheUnsignedHresult) {
  ScriptedCamera camera({64, 48, 64, 30, 1});
  CameraCapture capture(camera.opener(kNotFound));
  std::vector<std::string> lines;
  CaptureRequest req{3, 1280, 720, 30, 1};
  EXPECT_FALSE(openPhysicalCamera(capture, true, req, nullptr, {}, [&](const std::string& l) { lines.push_back(l); }));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "warning: could not open camera index 3 error=3222091477");
  EXPECT_EQ(camera.lastRequest.cameraIndex, 3);
}

TEST(OpenPhysicalCamera, SwitchesAndTheSuccessLine) {
  struct Case {
    const char* name;
    CaptureSwitches switches;
    bool withDevice;
    bool mirrorOption;
    bool expectMirror;
    const char* expectLine;
  };
  auto device = std::make_shared<TestDevice>();
  const Case cases[] = {
      {"defaults", {true, false}, false, true, true,
       "physical camera opened (media foundation) capture_convert_in_reader=1 capture_d3d_texture=0 "
       "camera-index=1 format=64x48@60/2"},
      {"convert off never mirrors", {false, false}, false, true, false,
       "physical camera opened (media foundation) capture_convert_in_reader=0 capture_d3d_texture=0 "
       "camera-index=1 format=64x48@60/2"},
      {"texture without a device", {false, true}, false, false, false,
       "physical camera opened (media foundation) capture_convert_in_reader=0 capture_d3d_texture=0 "
       "camera-index=1 format=64x48@60/2"},
      {"texture with a device", {false, true}, true, false, false,
       "physical camera opened (media foundation) capture_convert_in_reader=1 capture_d3d_texture=1 "
       "camera-index=1 format=64x48@60/2"},
  };
  for (const Case& c : cases) {
    ScriptedCamera camera({64, 48, 64, 30, 1});
    CameraCapture capture(camera.opener());
    std::vector<std::string> lines;
    CaptureRequest req{1, 64, 48, 60, 2};
    EXPECT_TRUE(openPhysicalCamera(capture, c.mirrorOption, req, c.withDevice ? device : nullptr, c.switches,
                                   [&](const std::string& l) { lines.push_back(l); }))
        << c.name;
    EXPECT_EQ(capture.mirror(), c.expectMirror) << c.name;
    ASSERT_EQ(lines.size(), 1u) << c.name;
    EXPECT_EQ(lines[0], c.expectLine) << c.name;
    camera.push({E_FAIL});
  }
}

TEST(ReadCaptureSwitches, Environment) {
  struct Case {
    const char* convert;
    const char* texture;
    bool expectConvert;
    bool expectTexture;
  };
  const Case cases[] = {
      {nullptr, nullptr, true, false}, {"0", "1", false, true},     {"01", "10", false, true},
      {"1", "0", true, false},         {"", "", true, false},       {"false", "yes", true, false},
  };
  for (const Case& c : cases) {
    auto set = [](const wchar_t* name, const char* value) {
      SetEnvironmentVariableW(name, value ? std::filesystem::path(value).wstring().c_str() : nullptr);
    };
    set(L"TESMIRA_CAPTURE_CONVERT_IN_READER", c.convert);
    set(L"TESMIRA_CAPTURE_D3D_TEXTURE", c.texture);
    const CaptureSwitches switches = readCaptureSwitches();
    EXPECT_EQ(switches.convertInReader, c.expectConvert) << (c.convert ? c.convert : "unset");
    EXPECT_EQ(switches.d3dTexture, c.expectTexture) << (c.texture ? c.texture : "unset");
  }
  SetEnvironmentVariableW(L"TESMIRA_CAPTURE_CONVERT_IN_READER", nullptr);
  SetEnvironmentVariableW(L"TESMIRA_CAPTURE_D3D_TEXTURE", nullptr);
}

}  // namespace
}  // namespace tesmira
