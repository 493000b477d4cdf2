#include "../camera_reader.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::platform::mfreader {
namespace {

namespace tc = testcameras;
using cameras::kCameraBusy;
using cameras::kCameraModeRefused;

// Opened devices live for the test, as a media source keeps its device.
std::vector<std::unique_ptr<cameras::ICameraDevice>>& openedDevices() {
  static std::vector<std::unique_ptr<cameras::ICameraDevice>> devices;
  return devices;
}
cameras::ICameraDevice* open(const std::wstring& link) {
  std::unique_ptr<cameras::ICameraDevice> device;
  EXPECT_EQ(cameras::openCamera(link, device), S_OK);
  openedDevices().push_back(std::move(device));
  return openedDevices().back().get();
}

// Reads one sample into `bytes`.
HRESULT readInto(CameraReader& reader, ReadResult& result, std::vector<uint8_t>& bytes) {
  return reader.read(result, [&](size_t n) {
    bytes.assign(n, 0);
    return bytes.data();
  });
}

class CameraReaderTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tc::setV4l2Discovery(false);
  }
  std::wstring install(tc::TestCamera camera) { return tc::installTestCamera(camera); }
};

TEST_F(CameraReaderTest, NativeTypesFollowTheDeviceModes) {
  tc::TestCamera camera;
  camera.modes = {{640, 480, 30, 1, tc::Format::NV12}, {1280, 720, 60, 2, tc::Format::YUYV},
                  {320, 240, 15, 1, tc::Format::BGR24}};
  CameraReader reader(open(install(camera)), true);
  ASSERT_EQ(reader.nativeTypeCount(), 3u);
  struct Expected {
    Subtype subtype;
    uint32_t width, height, num, den, stride;
  };
  const Expected expected[] = {{Subtype::NV12, 640, 480, 30, 1, 640},
                               {Subtype::YUY2, 1280, 720, 60, 2, 2560},
                               {Subtype::RGB24, 320, 240, 15, 1, 960}};
  for (size_t i = 0; i < 3; ++i) {
    const auto type = reader.nativeType(i);
    ASSERT_TRUE(type);
    EXPECT_EQ(type->subtype, expected[i].subtype) << i;
    EXPECT_EQ(type->width, expected[i].width) << i;
    EXPECT_EQ(type->height, expected[i].height) << i;
    EXPECT_EQ(type->fpsNumerator, expected[i].num) << i;
    EXPECT_EQ(type->fpsDenominator, expected[i].den) << i;
    EXPECT_EQ(type->stride, expected[i].stride) << i;
  }
  EXPECT_FALSE(reader.nativeType(3));
  EXPECT_EQ(reader.currentType().subtype, Subtype::NV12) << "the first native type is current";
}

TEST_F(CameraReaderTest, ChoosingTheCurrentType) {
  tc::TestCamera camera;
  camera.modes = {{640, 480, 30, 1, tc::Format::NV12}, {1280, 720, 60, 2, tc::Format::YUYV},
                  {320, 240, 15, 1, tc::Format::BGR24}, {1280, 720, 30, 1, tc::Format::NV12}};
  const std::wstring link = install(camera);
  struct Case {
    const char* name;
    bool convert;
    WantedType wanted;
    HRESULT hr;
    Subtype subtype;
    uint32_t width, num, den, stride;
  };
  const Case cases[] = {
      {"NV12 at a size, native first", true, {Subtype::NV12, 1280, 720, {}, {}}, S_OK, Subtype::NV12, 1280, 30, 1, 1280},
      {"rate written differently", true, {Subtype::NV12, 1280, 720, 60, 2}, S_OK, Subtype::NV12, 1280, 30, 1, 1280},
      {"YUY2 converted to RGB32", true, {Subtype::RGB32, 1280, 720, 30, 1}, S_OK, Subtype::RGB32, 1280, 60, 2, 5120},
      {"RGB24 into NV12", true, {Subtype::NV12, 320, 240, {}, {}}, S_OK, Subtype::NV12, 320, 15, 1, 320},
      {"no conversion: native only", false, {Subtype::NV12, 320, 240, {}, {}}, kCameraModeRefused, Subtype::NV12, 640, 30, 1, 640},
      {"native YUY2", false, {Subtype::YUY2, {}, {}, {}, {}}, S_OK, Subtype::YUY2, 1280, 60, 2, 2560},
      {"size not offered", true, {Subtype::NV12, 1920, 1080, {}, {}}, kCameraModeRefused, Subtype::NV12, 640, 30, 1, 640},
      {"rate not offered", true, {Subtype::NV12, 640, 480, 15, 1}, kCameraModeRefused, Subtype::NV12, 640, 30, 1, 640},
      {"no subtype", true, {{}, 640, 480, {}, {}}, kCameraModeRefused, Subtype::NV12, 640, 30, 1, 640},
      {"RGB24 is not converted into", true, {Subtype::RGB24, 640, 480, {}, {}}, kCameraModeRefused, Subtype::NV12, 640, 30, 1, 640},
  };
  for (const Case& c : cases) {
    CameraReader reader(open(link), c.convert);
    EXPECT_EQ(reader.setCurrentType(c.wanted), c.hr) << c.name;
    const VideoType& type = reader.currentType();
    EXPECT_EQ(type.subtype, c.subtype) << c.name;
    EXPECT_EQ(type.width, c.width) << c.name;
    EXPECT_EQ(type.fpsNumerator, c.num) << c.name;
    EXPECT_EQ(type.fpsDenominator, c.den) << c.name;
    EXPECT_EQ(type.stride, c.stride) << c.name;
  }
}

TEST_F(CameraReaderTest, BusyOrDeniedCameraFailsTheTypeAndKeepsTheCurrentOne) {
  for (HRESULT failure : {kCameraBusy, HRESULT(0xC00D3704), HRESULT(E_ACCESSDENIED)}) {
    tc::TestCamera camera;
    camera.modes = {{640, 480, 30, 1, tc::Format::NV12}, {320, 240, 30, 1, tc::Format::NV12}};
    camera.openError = failure;
    CameraReader reader(open(install(camera)), true);
    EXPECT_EQ(reader.setCurrentType({Subtype::NV12, 320, 240, {}, {}}), failure);
    EXPECT_EQ(reader.currentType().width, 640u);
    ReadResult result;
    std::vector<uint8_t> bytes;
    EXPECT_EQ(readInto(reader, result, bytes), failure) << "reading starts the device, which fails again";
    EXPECT_EQ(result.flags, kReadError);
    tc::removeAllCameras();
  }
}

TEST_F(CameraReaderTest, PassThroughKeepsTheDevicesRowsAndReportsTheirStride) {
  tc::TestCamera camera;
  camera.modes = {{64, 48, 1000, 1, tc::Format::NV12}};
  camera.rowPadding = 16;
  camera.shortFrameIndex = 1;
  CameraReader reader(open(install(camera)), true);
  ASSERT_EQ(reader.setCurrentType({Subtype::NV12, 64, 48, {}, {}}), S_OK);
  ReadResult result;
  std::vector<uint8_t> bytes;
  ASSERT_EQ(readInto(reader, result, bytes), S_OK);
  EXPECT_EQ(result.flags, kReadCurrentTypeChanged);
  EXPECT_EQ(reader.currentType().stride, 80u);
  EXPECT_TRUE(result.sample);
  EXPECT_EQ(bytes, tc::testFrame(tc::Format::NV12, 64, 48, 80, 0));
  EXPECT_EQ(result.duration, 10'000);

  ASSERT_EQ(readInto(reader, result, bytes), S_OK);
  EXPECT_EQ(result.flags, 0u) << "the type stays";
  EXPECT_EQ(bytes.size(), 80u * 72 - 80) << "the short frame comes as short as the device gave it";
}

TEST_F(CameraReaderTest, ConvertedFramesArePackedAndShortOnesDropped) {
  tc::TestCamera camera;
  camera.modes = {{64, 48, 1000, 1, tc::Format::YUYV}};
  camera.rowPadding = 8;
  camera.shortFrameIndex = 1;
  CameraReader reader(open(install(camera)), true);
  ASSERT_EQ(reader.setCurrentType({Subtype::NV12, 64, 48, {}, {}}), S_OK);
  ReadResult result;
  std::vector<uint8_t> bytes;
  ASSERT_EQ(readInto(reader, result, bytes), S_OK);
  EXPECT_EQ(result.flags, 0u) << "a converted type keeps its packed stride";
  ASSERT_TRUE(result.sample);
  const std::vector<uint8_t> yuyv = tc::testFrame(tc::Format::YUYV, 64, 48, 136, 0);
  std::vector<uint8_t> expected(64 * 72);
  ASSERT_TRUE(convertFrame({yuyv.data(), yuyv.size(), 136, 64, 48, cameras::PixelFormat::YUYV, 0, 0},
                           OutputFormat::NV12, expected.data(), expected.size()));
  EXPECT_EQ(bytes, expected);

  ASSERT_EQ(readInto(reader, result, bytes), S_OK);
  EXPECT_FALSE(result.sample);
}

TEST_F(CameraReaderTest, ADifferentDeliveredSizeChangesTheType) {
  tc::TestCamera camera;
  camera.modes = {{64, 48, 1000, 1, tc::Format::NV12}};
  camera.deliveredWidth = 32;
  camera.deliveredHeight = 24;
  CameraReader reader(open(install(camera)), true);
  ASSERT_EQ(reader.setCurrentType({Subtype::NV12, 64, 48, {}, {}}), S_OK);
  ReadResult result;
  std::vector<uint8_t> bytes;
  ASSERT_EQ(readInto(reader, result, bytes), S_OK);
  EXPECT_EQ(result.flags, kReadCurrentTypeChanged);
  EXPECT_EQ(reader.currentType().width, 32u);
  EXPECT_EQ(reader.currentType().height, 24u);
  EXPECT_EQ(bytes.size(), 32u * 36);
}

TEST_F(CameraReaderTest, ReadFailureSticks) {
  tc::TestCamera camera;
  camera.modes = {{64, 48, 1000, 1, tc::Format::NV12}};
  camera.readError = HRESULT(0x80070490);
  camera.readErrorAfterFrames = 1;
  CameraReader reader(open(install(camera)), true);
  ReadResult result;
  std::vector<uint8_t> bytes;
  EXPECT_EQ(readInto(reader, result, bytes), S_OK) << "reading without a set type starts the default";
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(readInto(reader, result, bytes), HRESULT(0x80070490));
    EXPECT_EQ(result.flags, kReadError);
    EXPECT_FALSE(result.sample);
  }
}

TEST_F(CameraReaderTest, CancelEndsTheStream) {
  tc::TestCamera camera;
  camera.modes = {{64, 48, 1000, 1, tc::Format::NV12}};
  CameraReader reader(open(install(camera)), true);
  reader.cancel();
  ReadResult result;
  std::vector<uint8_t> bytes;
  EXPECT_EQ(readInto(reader, result, bytes), S_OK);
  EXPECT_EQ(result.flags, kReadEndOfStream);
  EXPECT_FALSE(result.sample);
}

// A device whose frames skip sequence numbers, as a camera that dropped some.
class GappyDevice final : public cameras::ICameraDevice {
 public:
  GappyDevice() : bytes_(64 * 72, 0x10) {}
  const cameras::CameraInfo& info() const override { return info_; }
  std::vector<cameras::CameraMode> modes() const override { return {{64, 48, 30, 1, cameras::PixelFormat::NV12}}; }
  HRESULT start(const cameras::CameraMode&) override { return S_OK; }
  HRESULT readFrame(cameras::CameraFrame& frame) override {
    if (sequences.empty()) return cameras::kCameraStopped;
    frame = {bytes_.data(), bytes_.size(), 64, 64, 48, cameras::PixelFormat::NV12, sequences.front() * 1000, sequences.front()};
    sequences.pop_front();
    return S_OK;
  }
  void stop() override {}
  void cancel() override {}
  std::deque<uint64_t> sequences{0, 1, 4, 5};

 private:
  cameras::CameraInfo info_;
  std::vector<uint8_t> bytes_;
};

TEST(CameraReaderTicks, AGapComesAsAStreamTickBeforeTheFrame) {
  GappyDevice device;
  CameraReader reader(&device, true);
  struct Step {
    uint32_t flags;
    bool sample;
    int64_t timestamp;
  };
  const Step steps[] = {{0, true, 0}, {0, true, 10}, {kReadStreamTick, false, 40}, {0, true, 40}, {0, true, 50},
                        {kReadEndOfStream, false, 0}};
  for (const Step& step : steps) {
    ReadResult result;
    std::vector<uint8_t> bytes;
    EXPECT_EQ(readInto(reader, result, bytes), S_OK);
    EXPECT_EQ(result.flags, step.flags);
    EXPECT_EQ(result.sample, step.sample);
    EXPECT_EQ(result.timestamp, step.timestamp);
  }
}

}  // namespace
}  // namespace tesmira::platform::mfreader
