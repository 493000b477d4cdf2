#include <windows.h>

#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>
#include <wrl/implements.h>

#include <vector>

#include "platform/mfdevices/tests/device_enumeration.h"
#include "tesmira/consent_testing.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace {

using Microsoft::WRL::ComPtr;
namespace tc = tesmira::platform::testcameras;

class SourceReaderTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tc::setV4l2Discovery(false);
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_LITE), S_OK);
  }
  void TearDown() override {
    MFShutdown();
    MachineTest::TearDown();
  }

  // The media source of the first video capture device.
  ComPtr<IMFMediaSource> firstCamera() {
    const auto devices = tesmira::testing::videoCaptureDevices();
    ComPtr<IMFMediaSource> source;
    if (!devices.empty()) {
      EXPECT_EQ(devices[0]->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
    }
    return source;
  }

  ComPtr<IMFSourceReader> reader(const tc::TestCamera& camera, bool processing = true) {
    tc::installTestCamera(camera);
    ComPtr<IMFMediaSource> source = firstCamera();
    if (!source) return nullptr;
    ComPtr<IMFAttributes> attributes;
    MFCreateAttributes(&attributes, 1);
    if (processing) attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, TRUE);
    ComPtr<IMFSourceReader> reader;
    EXPECT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), attributes.Get(), &reader), S_OK);
    return reader;
  }

  static ComPtr<IMFMediaType> videoType(const GUID& subtype, UINT32 width, UINT32 height, UINT32 num = 0,
                                        UINT32 den = 0) {
    ComPtr<IMFMediaType> type;
    MFCreateMediaType(&type);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    if (width) MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width, height);
    if (num) MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, num, den);
    return type;
  }
};

TEST_F(SourceReaderTest, CreationArguments) {
  ComPtr<IMFSourceReader> reader;
  EXPECT_EQ(MFCreateSourceReaderFromMediaSource(nullptr, nullptr, &reader), E_POINTER);
  tc::TestCamera camera;
  tc::installTestCamera(camera);
  ComPtr<IMFMediaSource> source = firstCamera();
  ASSERT_TRUE(source);
  EXPECT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, nullptr), E_POINTER);

  ComPtr<IMFAttributes> attributes;
  MFCreateAttributes(&attributes, 2);
  ComPtr<IMFAttributes> anyObject;
  MFCreateAttributes(&anyObject, 0);
  attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, anyObject.Get());
  EXPECT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), attributes.Get(), &reader), E_NOTIMPL);

  attributes->DeleteItem(MF_SOURCE_READER_ASYNC_CALLBACK);
  attributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER, anyObject.Get());
  EXPECT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), attributes.Get(), &reader), S_OK)
      << "a Direct3D device manager is accepted";
  reader.Reset();
  EXPECT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, &reader), MF_E_SHUTDOWN)
      << "the first reader took the camera and shut its source down on release";
}

TEST_F(SourceReaderTest, NativeTypesCarryTheModes) {
  tc::TestCamera camera;
  camera.modes = {{640, 480, 30, 1, tc::Format::YUYV}, {1280, 720, 60, 2, tc::Format::NV12}};
  ComPtr<IMFSourceReader> r = reader(camera);
  ASSERT_TRUE(r);
  struct Expected {
    GUID subtype;
    UINT32 width, height, num, den, stride;
  };
  const Expected expected[] = {{MFVideoFormat_YUY2, 640, 480, 30, 1, 1280}, {MFVideoFormat_NV12, 1280, 720, 60, 2, 1280}};
  for (DWORD i = 0; i < 2; ++i) {
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(r->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, i, &type), S_OK);
    GUID major{}, subtype{};
    type->GetGUID(MF_MT_MAJOR_TYPE, &major);
    type->GetGUID(MF_MT_SUBTYPE, &subtype);
    UINT32 w = 0, h = 0, n = 0, d = 0;
    MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &w, &h);
    MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &n, &d);
    EXPECT_EQ(major, MFMediaType_Video);
    EXPECT_EQ(subtype, expected[i].subtype);
    EXPECT_EQ(w, expected[i].width);
    EXPECT_EQ(h, expected[i].height);
    EXPECT_EQ(n, expected[i].num);
    EXPECT_EQ(d, expected[i].den);
    EXPECT_EQ(MFGetAttributeUINT32(type.Get(), MF_MT_DEFAULT_STRIDE, 0), expected[i].stride);
  }
  ComPtr<IMFMediaType> none;
  EXPECT_EQ(r->GetNativeMediaType(0, 2, &none), MF_E_NO_MORE_TYPES);
  EXPECT_EQ(r->GetNativeMediaType(3, 0, &none), MF_E_INVALIDSTREAMNUMBER);
}

TEST_F(SourceReaderTest, SetCurrentMediaTypeTable) {
  struct Case {
    const char* name;
    bool processing;
    GUID subtype;
    UINT32 width, height, num, den;
    HRESULT hr;
  };
  const Case cases[] = {
      {"NV12 made from YUY2", true, MFVideoFormat_NV12, 640, 480, 30, 1, S_OK},
      {"no processing, no conversion", false, MFVideoFormat_NV12, 640, 480, 30, 1, MF_E_INVALIDMEDIATYPE},
      {"native without processing", false, MFVideoFormat_YUY2, 640, 480, 0, 0, S_OK},
      {"rate written differently", true, MFVideoFormat_NV12, 640, 480, 60, 2, S_OK},
      {"size not offered", true, MFVideoFormat_NV12, 1280, 720, 30, 1, MF_E_INVALIDMEDIATYPE},
      {"unknown subtype", true, MFVideoFormat_MJPG, 640, 480, 0, 0, MF_E_INVALIDMEDIATYPE},
  };
  for (const Case& c : cases) {
    tc::removeAllCameras();
    tc::TestCamera camera;
    camera.modes = {{640, 480, 30, 1, tc::Format::YUYV}};
    ComPtr<IMFSourceReader> r = reader(camera, c.processing);
    ASSERT_TRUE(r) << c.name;
    EXPECT_EQ(r->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr,
                                     videoType(c.subtype, c.width, c.height, c.num, c.den).Get()),
              c.hr)
        << c.name;
  }
}

TEST_F(SourceReaderTest, BusyCameraFailsOnSetCurrentMediaType) {
  tc::TestCamera camera;
  camera.openError = HRESULT(0x80070020);
  ComPtr<IMFSourceReader> r = reader(camera);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->SetCurrentMediaType(0, nullptr, videoType(MFVideoFormat_NV12, 640, 480).Get()), HRESULT(0x80070020));
}

TEST_F(SourceReaderTest, ReadSampleDeliversTheDeviceRows) {
  tc::TestCamera camera;
  camera.modes = {{64, 48, 500, 1, tc::Format::NV12}};
  camera.rowPadding = 16;
  ComPtr<IMFSourceReader> r = reader(camera);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->SetCurrentMediaType(0, nullptr, videoType(MFVideoFormat_NV12, 64, 48).Get()), S_OK);
  DWORD stream = 9, flags = 0;
  LONGLONG time = -1;
  ComPtr<IMFSample> sample;
  ASSERT_EQ(r->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &stream, &flags, &time, &sample), S_OK);
  EXPECT_EQ(stream, 0u);
  EXPECT_EQ(flags, DWORD(MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED));
  ASSERT_TRUE(sample);
  LONGLONG sampleTime = 0, duration = 0;
  sample->GetSampleTime(&sampleTime);
  sample->GetSampleDuration(&duration);
  EXPECT_EQ(sampleTime, time);
  EXPECT_EQ(duration, 20000);
  ComPtr<IMFMediaBuffer> buffer;
  ASSERT_EQ(sample->ConvertToContiguousBuffer(&buffer), S_OK);
  BYTE* data = nullptr;
  DWORD max = 0, length = 0;
  ASSERT_EQ(buffer->Lock(&data, &max, &length), S_OK);
  EXPECT_EQ(std::vector<uint8_t>(data, data + length), tc::testFrame(tc::Format::NV12, 64, 48, 80, 0));
  buffer->Unlock();

  ComPtr<IMFMediaType> current;
  ASSERT_EQ(r->GetCurrentMediaType(0, &current), S_OK);
  EXPECT_EQ(MFGetAttributeUINT32(current.Get(), MF_MT_DEFAULT_STRIDE, 0), 80u);
}

TEST_F(SourceReaderTest, ReadSampleArgumentsAndSelection) {
  tc::TestCamera camera;
  camera.modes = {{64, 48, 500, 1, tc::Format::NV12}};
  ComPtr<IMFSourceReader> r = reader(camera);
  ASSERT_TRUE(r);
  DWORD flags = 0;
  ComPtr<IMFSample> sample;
  EXPECT_EQ(r->ReadSample(0, 0, nullptr, nullptr, nullptr, &sample), E_POINTER);
  EXPECT_EQ(r->ReadSample(0, 0, nullptr, &flags, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(r->ReadSample(1, 0, nullptr, &flags, nullptr, &sample), MF_E_INVALIDSTREAMNUMBER);
  ASSERT_EQ(r->SetStreamSelection(MF_SOURCE_READER_ALL_STREAMS, FALSE), S_OK);
  EXPECT_EQ(r->ReadSample(0, 0, nullptr, &flags, nullptr, &sample), MF_E_INVALIDREQUEST);
  ASSERT_EQ(r->SetStreamSelection(0, TRUE), S_OK);
  EXPECT_EQ(r->ReadSample(MF_SOURCE_READER_ANY_STREAM, 0, nullptr, &flags, nullptr, &sample), S_OK);
  EXPECT_TRUE(sample);
}

TEST_F(SourceReaderTest, ReadFailureSetsTheErrorFlag) {
  tc::TestCamera camera;
  camera.modes = {{64, 48, 500, 1, tc::Format::NV12}};
  camera.readError = HRESULT(0xC00D3EA2);
  camera.readErrorAfterFrames = 0;
  ComPtr<IMFSourceReader> r = reader(camera);
  ASSERT_TRUE(r);
  DWORD flags = 0;
  ComPtr<IMFSample> sample;
  EXPECT_EQ(r->ReadSample(0, 0, nullptr, &flags, nullptr, &sample), HRESULT(0xC00D3EA2));
  EXPECT_EQ(flags, DWORD(MF_SOURCE_READERF_ERROR));
  EXPECT_FALSE(sample);
}

}  // namespace

namespace {

BYTE* bufferOf(IMFSample* sample) {
  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(sample->GetBufferByIndex(0, &buffer))) return nullptr;
  BYTE* data = nullptr;
  buffer->Lock(&data, nullptr, nullptr);
  buffer->Unlock();
  return data;
}

TEST_F(SourceReaderTest, ABufferStillHeldIsNeverReused) {
  tc::TestCamera camera;
  camera.modes = {{64, 48, 500, 1, tc::Format::NV12}};
  ComPtr<IMFSourceReader> r = reader(camera);
  ASSERT_TRUE(r);
  DWORD flags = 0;
  ComPtr<IMFSample> first, second, third;
  ASSERT_EQ(r->ReadSample(0, 0, nullptr, &flags, nullptr, &first), S_OK);
  ASSERT_EQ(r->ReadSample(0, 0, nullptr, &flags, nullptr, &second), S_OK);
  ASSERT_TRUE(first && second);
  BYTE* held = bufferOf(first.Get());
  EXPECT_NE(bufferOf(second.Get()), held) << "the first sample is still held";
  const std::vector<uint8_t> firstBytes(held, held + 64 * 72);
  BYTE* released = bufferOf(second.Get());
  second.Reset();
  ASSERT_EQ(r->ReadSample(0, 0, nullptr, &flags, nullptr, &third), S_OK);
  EXPECT_EQ(bufferOf(third.Get()), released) << "a released buffer is reused";
  EXPECT_EQ(std::vector<uint8_t>(held, held + 64 * 72), firstBytes) << "the held sample was overwritten";
}


// ---- what scripted cameras describe beyond their modes ----------------------------

TEST_F(SourceReaderTest, NativeTypesCarryRangesAndLackWhatTheScriptLeavesOut) {
  tc::TestCamera camera;
  tc::Mode ranged;
  ranged.fpsNumerator = 60;
  ranged.rangeMin = {15, 1};
  ranged.rangeMax = {60, 1};
  tc::Mode bare;
  bare.withoutFrameRate = true;
  bare.withoutFrameSize = true;
  tc::Mode zero;
  zero.width = 0;
  zero.height = 0;
  camera.modes = {ranged, bare, zero};
  ComPtr<IMFSourceReader> r = reader(camera, false);
  ASSERT_TRUE(r);

  ComPtr<IMFMediaType> type;
  UINT32 a = 0, b = 0;
  ASSERT_EQ(r->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &type), S_OK);
  EXPECT_EQ(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE_RANGE_MIN, &a, &b), S_OK);
  EXPECT_EQ(std::pair(a, b), std::pair(15u, 1u));
  EXPECT_EQ(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE_RANGE_MAX, &a, &b), S_OK);
  EXPECT_EQ(std::pair(a, b), std::pair(60u, 1u));
  EXPECT_EQ(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &a, &b), S_OK);
  EXPECT_EQ(std::pair(a, b), std::pair(60u, 1u));

  ASSERT_EQ(r->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 1, &type), S_OK);
  EXPECT_TRUE(FAILED(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &a, &b)));
  EXPECT_TRUE(FAILED(MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &a, &b)));
  EXPECT_TRUE(FAILED(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE_RANGE_MIN, &a, &b)));

  ASSERT_EQ(r->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 2, &type), S_OK);
  EXPECT_EQ(MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &a, &b), S_OK);
  EXPECT_EQ(std::pair(a, b), std::pair(0u, 0u));
  EXPECT_EQ(r->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 3, &type), MF_E_NO_MORE_TYPES);
}

TEST_F(SourceReaderTest, ScriptedNativeTypeFailures) {
  tc::TestCamera camera;
  camera.modes = {tc::Mode{}, tc::Mode{}};
  camera.nativeTypeFailures = {{1, E_UNEXPECTED}, {5, E_ACCESSDENIED}};
  ComPtr<IMFSourceReader> r = reader(camera, false);
  ASSERT_TRUE(r);
  ComPtr<IMFMediaType> type;
  EXPECT_EQ(r->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &type), S_OK);
  EXPECT_EQ(r->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 1, &type), E_UNEXPECTED);
  EXPECT_EQ(r->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 2, &type), MF_E_NO_MORE_TYPES);
  EXPECT_EQ(r->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 5, &type), E_ACCESSDENIED);

  tc::removeAllCameras();
  camera.nativeTypeFailures.clear();
  camera.everyNativeTypeError = E_FAIL;
  r = reader(camera, false);
  ASSERT_TRUE(r);
  for (DWORD index : {0u, 1u, 2u, 1000u}) {
    EXPECT_EQ(r->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, index, &type), E_FAIL) << index;
  }
}

TEST_F(SourceReaderTest, ScriptedActivationFailure) {
  tc::TestCamera camera;
  camera.activateError = E_ACCESSDENIED;
  tc::installTestCamera(camera);
  const auto devices = tesmira::testing::videoCaptureDevices();
  ASSERT_EQ(devices.size(), 1u);
  ComPtr<IMFMediaSource> source;
  EXPECT_EQ(devices[0]->ActivateObject(IID_PPV_ARGS(&source)), E_ACCESSDENIED);
  EXPECT_FALSE(source);
}

// ---- the consent store, as the capability access manager keeps it ----------------

uint64_t fileTimeNow() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

TEST_F(SourceReaderTest, ReadingACameraIsRecordedInTheUsersConsentStore) {
  namespace consent = tesmira::platform::consenttesting;
  tesmira::platform::testclock::freeze();
  ASSERT_FALSE(consent::ownCameraUse());
  const uint64_t opened = fileTimeNow();
  ComPtr<IMFSourceReader> r = reader(tc::TestCamera{}, false);
  ASSERT_TRUE(r);
  ASSERT_TRUE(consent::ownCameraUse());
  EXPECT_EQ(consent::ownCameraUse()->lastUsedTimeStart, opened);
  EXPECT_EQ(consent::ownCameraUse()->lastUsedTimeStop, 0u);

  tesmira::platform::testclock::advanceMs(1500);
  r.Reset();
  EXPECT_EQ(consent::ownCameraUse()->lastUsedTimeStart, opened);
  EXPECT_EQ(consent::ownCameraUse()->lastUsedTimeStop, opened + 1500 * 10000);
}

}  // namespace
