#include <windows.h>

#include <gtest/gtest.h>

#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <optional>
#include <vector>

#include "platform/d3d11/gpu_tests/gpu_testing.h"
#include "platform/mfdevices/tests/device_enumeration.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace {

using Microsoft::WRL::ComPtr;
namespace tc = tesmira::platform::testcameras;

constexpr UINT kWidth = 64;
constexpr UINT kHeight = 48;

ComPtr<ID3D11Device> makeDevice() { return tesmira::gputest::gpu().device; }

TEST(DxgiDeviceManager, HandlesAndResets) {
  ComPtr<IMFDXGIDeviceManager> manager;
  UINT token = 0;
  ASSERT_EQ(MFCreateDXGIDeviceManager(&token, &manager), S_OK);
  HANDLE handle = nullptr;
  EXPECT_EQ(manager->OpenDeviceHandle(&handle), MF_E_DXGI_DEVICE_NOT_INITIALIZED) << "no device before a reset";

  ComPtr<ID3D11Device> device = makeDevice();
  ASSERT_TRUE(device);
  ComPtr<IMFAttributes> notADevice;
  MFCreateAttributes(&notADevice, 0);
  struct Case {
    const char* name;
    IUnknown* device;
    UINT token;
    HRESULT hr;
  };
  const Case cases[] = {
      {"wrong token", device.Get(), token + 1, E_INVALIDARG},
      {"no device", nullptr, token, E_INVALIDARG},
      {"not a Direct3D 11 device", notADevice.Get(), token, E_INVALIDARG},
      {"the device", device.Get(), token, S_OK},
  };
  for (const Case& c : cases) EXPECT_EQ(manager->ResetDevice(c.device, c.token), c.hr) << c.name;

  ASSERT_EQ(manager->OpenDeviceHandle(&handle), S_OK);
  ComPtr<ID3D11Device> locked;
  ASSERT_EQ(manager->LockDevice(handle, IID_PPV_ARGS(&locked), TRUE), S_OK);
  EXPECT_EQ(locked.Get(), device.Get());
  EXPECT_EQ(manager->UnlockDevice(handle, FALSE), S_OK);
  EXPECT_EQ(manager->TestDevice(handle), S_OK);
  ASSERT_EQ(manager->ResetDevice(device.Get(), token), S_OK);
  EXPECT_EQ(manager->TestDevice(handle), MF_E_DXGI_NEW_VIDEO_DEVICE) << "a handle from before the reset is stale";
  EXPECT_EQ(manager->CloseDeviceHandle(handle), S_OK);
  EXPECT_EQ(manager->CloseDeviceHandle(handle), E_HANDLE);
}

class TextureSamplesTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tc::setV4l2Discovery(false);
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_LITE), S_OK);
    device_ = makeDevice();
    ASSERT_TRUE(device_);
    ASSERT_EQ(MFCreateDXGIDeviceManager(&token_, &manager_), S_OK);
    ASSERT_EQ(manager_->ResetDevice(device_.Get(), token_), S_OK);
  }
  void TearDown() override {
    reader_.Reset();
    MFShutdown();
    MachineTest::TearDown();
  }

  void openReader(const GUID& subtype) {
    tc::TestCamera camera;
    camera.modes = {{kWidth, kHeight, 30, 1, tc::Format::NV12}};
    tc::installTestCamera(camera);
    const auto devices = tesmira::testing::videoCaptureDevices();
    ASSERT_FALSE(devices.empty());
    ComPtr<IMFMediaSource> source;
    ASSERT_EQ(devices[0]->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
    ComPtr<IMFAttributes> attributes;
    MFCreateAttributes(&attributes, 3);
    attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, TRUE);
    attributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER, manager_.Get());
    ASSERT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), attributes.Get(), &reader_), S_OK);
    ComPtr<IMFMediaType> type;
    MFCreateMediaType(&type);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, kWidth, kHeight);
    ASSERT_EQ(reader_->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, type.Get()), S_OK);
  }

  // The next sample (stream ticks skipped).
  ComPtr<IMFSample> readSample() {
    for (int attempt = 0; attempt < 10; ++attempt) {
      DWORD stream = 0, flags = 0;
      LONGLONG time = 0;
      ComPtr<IMFSample> sample;
      EXPECT_EQ(reader_->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &stream, &flags, &time, &sample), S_OK);
      if (sample) return sample;
    }
    ADD_FAILURE() << "no sample";
    return nullptr;
  }

  static ComPtr<ID3D11Texture2D> textureOf(IMFSample* sample, UINT* subresource = nullptr) {
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_EQ(sample->GetBufferByIndex(0, &buffer), S_OK);
    ComPtr<IMFDXGIBuffer> dxgi;
    if (!buffer || FAILED(buffer->QueryInterface(IID_PPV_ARGS(&dxgi)))) return nullptr;
    ComPtr<ID3D11Texture2D> texture;
    EXPECT_EQ(dxgi->GetResource(IID_PPV_ARGS(&texture)), S_OK);
    if (subresource != nullptr) {
      EXPECT_EQ(dxgi->GetSubresourceIndex(subresource), S_OK);
    }
    return texture;
  }

  // The B8G8R8X8 texture's pixels as BGR.
  static cv::Mat readBack(ID3D11Texture2D* texture) {
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    std::vector<uint8_t> bgrx = tesmira::gputest::readBack(texture);
    cv::Mat bgr;
    cv::cvtColor(cv::Mat(int(desc.Height), int(desc.Width), CV_8UC4, bgrx.data()), bgr, cv::COLOR_BGRA2BGR);
    return bgr;
  }

  // Which test-camera frame the image is, converted as the memory road converts NV12.
  static std::optional<uint64_t> frameIndexOf(const cv::Mat& bgr) {
    for (uint64_t index = 0; index < 200; ++index) {
      std::vector<uint8_t> nv12 = tc::testFrame(tc::Format::NV12, kWidth, kHeight, kWidth, index);
      cv::Mat expected;
      cv::cvtColor(cv::Mat(int(kHeight * 3 / 2), int(kWidth), CV_8UC1, nv12.data()), expected,
                   cv::COLOR_YUV2BGR_NV12);
      if (bgr.size() == expected.size() && cv::norm(bgr, expected, cv::NORM_INF) == 0) return index;
    }
    return std::nullopt;
  }

  ComPtr<ID3D11Device> device_;
  ComPtr<IMFDXGIDeviceManager> manager_;
  UINT token_ = 0;
  ComPtr<IMFSourceReader> reader_;
};

TEST_F(TextureSamplesTest, Rgb32SampleIsATextureOfTheConvertedFrame) {
  openReader(MFVideoFormat_RGB32);
  ComPtr<IMFSample> sample = readSample();
  ASSERT_TRUE(sample);
  UINT subresource = 99;
  ComPtr<ID3D11Texture2D> texture = textureOf(sample.Get(), &subresource);
  ASSERT_TRUE(texture);
  EXPECT_EQ(subresource, 0u);
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  EXPECT_EQ(desc.Format, DXGI_FORMAT_B8G8R8X8_UNORM);
  EXPECT_EQ(desc.Width, kWidth);
  EXPECT_EQ(desc.Height, kHeight);
  ComPtr<ID3D11Device> owner;
  texture->GetDevice(&owner);
  EXPECT_EQ(owner.Get(), device_.Get());
  EXPECT_TRUE(frameIndexOf(readBack(texture.Get()))) << "the texture holds a camera frame converted as in memory";
}

TEST_F(TextureSamplesTest, NV12StaysInMemory) {
  openReader(MFVideoFormat_NV12);
  ComPtr<IMFSample> sample = readSample();
  ASSERT_TRUE(sample);
  EXPECT_FALSE(textureOf(sample.Get())) << "only RGB32 comes as a texture here";
}

TEST_F(TextureSamplesTest, AHeldTextureIsNeverRefilled) {
  openReader(MFVideoFormat_RGB32);
  ComPtr<ID3D11Texture2D> held = textureOf(readSample().Get());
  ASSERT_TRUE(held);
  const std::optional<uint64_t> heldIndex = frameIndexOf(readBack(held.Get()));
  ASSERT_TRUE(heldIndex);
  std::vector<ID3D11Texture2D*> later;
  for (int i = 0; i < 3; ++i) {
    ComPtr<ID3D11Texture2D> next = textureOf(readSample().Get());
    ASSERT_TRUE(next);
    EXPECT_NE(next.Get(), held.Get());
    const std::optional<uint64_t> nextIndex = frameIndexOf(readBack(next.Get()));
    ASSERT_TRUE(nextIndex);
    EXPECT_GT(*nextIndex, *heldIndex);
    later.push_back(next.Get());
  }
  EXPECT_EQ(later[0], later[1]) << "a texture nobody holds any more is reused";
  EXPECT_EQ(frameIndexOf(readBack(held.Get())), heldIndex) << "the held texture still has its frame";

  ID3D11Texture2D* released = held.Get();
  held.Reset();
  bool reused = false;
  for (int i = 0; i < 2 && !reused; ++i) {
    ComPtr<ID3D11Texture2D> next = textureOf(readSample().Get());
    reused = next.Get() == released || next.Get() == later[0];
  }
  EXPECT_TRUE(reused) << "the pool does not grow while textures come back";
}

TEST_F(TextureSamplesTest, WithoutADeviceTheReadFails) {
  ComPtr<IMFDXGIDeviceManager> empty;
  UINT token = 0;
  ASSERT_EQ(MFCreateDXGIDeviceManager(&token, &empty), S_OK);
  manager_ = empty;
  openReader(MFVideoFormat_RGB32);
  DWORD stream = 0, flags = 0;
  LONGLONG time = 0;
  ComPtr<IMFSample> sample;
  EXPECT_EQ(reader_->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &stream, &flags, &time, &sample),
            MF_E_DXGI_DEVICE_NOT_INITIALIZED);
  EXPECT_FALSE(sample);
}

}  // namespace
