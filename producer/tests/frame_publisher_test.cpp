// The publisher over a caller-owned frame channel and status block: which slot a
// frame lands in, when the status turns live and what telemetry hears.
#include "producer/frame_publisher.h"

#include <memory>

#include "producer/tests/loop_doubles.h"
#include "producer/tests/producer_fixture.h"
#include "tesmira/platform_testing.h"

namespace tesmira {
namespace {

using testing::FakeTelemetry;
using testing::ProducerTest;
using testing::TelemetryRecord;

class FramePublisherTest : public ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    platform::testclock::freeze();
    writer.openOn(channel.get());
    status.openOn(&statusBlock);
  }
  FramePublisher makePublisher(bool stampSeq = false, bool bypass = false) {
    return FramePublisher(writer, status, feed, stampSeq, bypass);
  }
  const RetouchFrameHeader& header() const { return *reinterpret_cast<const RetouchFrameHeader*>(channel.get()); }
  const uint8_t* latestLuma() const { return channel.get() + frameSlotDataOffset(header().latestSlot); }
  static ProcessedFrame bgrFrame(const cv::Mat& image, CameraStateReason reason = CameraStateReason::kNoFace) {
    ProcessedFrame frame;
    frame.output = image;
    frame.reason = reason;
    frame.stateToRecord = true;
    return frame;
  }

  std::unique_ptr<uint8_t[]> channel = std::make_unique<uint8_t[]>(kFrameChannelBytes);
  ProducerStatusBlock statusBlock{};
  SharedFrameWriter writer;
  ProducerStatusWriter status;
  TelemetryRecord telemetry;
  TelemetryFeed feed{std::make_unique<FakeTelemetry>(telemetry), RetouchSettings{}, false};
  cv::Mat image = cv::Mat(48, 64, CV_8UC3, cv::Scalar(40, 80, 120));
};

TEST_F(FramePublisherTest, FramesAlternateSlotsAndTheStatusTurnsLiveOnce) {
  FramePublisher publisher = makePublisher();
  RetouchSettings settings;
  settings.clearSkin = 0.25f;
  ASSERT_TRUE(publisher.publish(bgrFrame(image), settings, CaptureRequest{}, "cuda"));
  EXPECT_EQ(header().frameCounter, 1u);
  const uint32_t firstSlot = header().latestSlot;
  EXPECT_EQ(header().slots[firstSlot].width, 64u);
  EXPECT_EQ(statusBlock.state, uint32_t(kProducerStateLive));
  EXPECT_EQ(statusBlock.sequence, 1u);

  ASSERT_TRUE(publisher.publish(bgrFrame(image, CameraStateReason::kModelError), settings, CaptureRequest{}, "cuda"));
  EXPECT_EQ(header().frameCounter, 2u);
  EXPECT_NE(header().latestSlot, firstSlot);
  EXPECT_EQ(statusBlock.sequence, 1u);  // unchanged within the writer's second
  EXPECT_EQ(logCount("status: live"), 1u);

  ASSERT_EQ(telemetry.reasons, (std::vector<CameraStateReason>{CameraStateReason::kNoFace, CameraStateReason::kModelError}));
  const CameraStateSnapshot& snapshot = telemetry.snapshots[0];
  EXPECT_EQ(snapshot.width, 64u);
  EXPECT_EQ(snapshot.height, 48u);
  EXPECT_EQ(snapshot.provider, "cuda");
  EXPECT_FALSE(snapshot.bypass);
  EXPECT_FLOAT_EQ(snapshot.settings.clearSkin, 0.25f);
}

TEST_F(FramePublisherTest, AFrameNotWrittenChangesNeitherStatusNorTelemetry) {
  writer.close();
  FramePublisher publisher = makePublisher();
  EXPECT_FALSE(publisher.publish(bgrFrame(image), RetouchSettings{}, CaptureRequest{}, "cpu"));
  EXPECT_EQ(statusBlock.sequence, 0u);
  EXPECT_EQ(statusBlock.state, 0u);
  EXPECT_TRUE(telemetry.reasons.empty());
}

TEST_F(FramePublisherTest, AFrameWithoutStateToRecordOnlyTurnsLive) {
  FramePublisher publisher = makePublisher();
  ProcessedFrame frame = bgrFrame(image);
  frame.stateToRecord = false;
  ASSERT_TRUE(publisher.publish(frame, RetouchSettings{}, CaptureRequest{}, "cpu"));
  EXPECT_EQ(statusBlock.state, uint32_t(kProducerStateLive));
  EXPECT_TRUE(telemetry.reasons.empty());
}

TEST_F(FramePublisherTest, Nv12FramesArePublishedAsTheEngineLeftThem) {
  std::vector<uint8_t> nv12(16 * 2 * 3 / 2);
  for (size_t i = 0; i < nv12.size(); ++i) nv12[i] = uint8_t(i);
  ProcessedFrame frame = bgrFrame(image, CameraStateReason::kRetouched);
  frame.nv12Ready = true;
  frame.nv12 = nv12.data();
  frame.outWidth = 16;
  frame.outHeight = 2;
  FramePublisher publisher = makePublisher(false, true);
  ASSERT_TRUE(publisher.publish(frame, RetouchSettings{}, CaptureRequest{}, "directml"));
  EXPECT_EQ(header().slots[header().latestSlot].width, 16u);
  EXPECT_EQ(std::vector<uint8_t>(latestLuma(), latestLuma() + nv12.size()), nv12);
  ASSERT_EQ(telemetry.snapshots.size(), 1u);
  EXPECT_EQ(telemetry.snapshots[0].width, 16u);  // the engine's size, not the BGR image's
  EXPECT_EQ(telemetry.snapshots[0].height, 2u);
  EXPECT_TRUE(telemetry.snapshots[0].bypass);
}

TEST_F(FramePublisherTest, TheFrameRateComesFromTheSelection) {
  struct Case {
    uint32_t numerator, denominator;
    double fps;
  };
  FramePublisher publisher = makePublisher();
  for (const Case& c : {Case{30, 1, 30.0}, Case{30000, 1001, 30000.0 / 1001.0}, Case{15, 0, 30.0},
                        Case{60, 0x80000000u, 30.0}}) {
    CaptureRequest selection;
    selection.fpsNumerator = c.numerator;
    selection.fpsDenominator = c.denominator;
    ASSERT_TRUE(publisher.publish(bgrFrame(image), RetouchSettings{}, selection, "cpu"));
    EXPECT_DOUBLE_EQ(telemetry.snapshots.back().fps, c.fps) << c.numerator << "/" << c.denominator;
  }
}

TEST_F(FramePublisherTest, TheStampPaintsACopyOfTheCameraFrame) {
  const cv::Mat pristine = image.clone();
  ProcessedFrame frame = bgrFrame(image);
  makePublisher(false).stamp(frame, 7);
  EXPECT_EQ(frame.output.data, image.data);  // without --stamp-seq nothing happens

  FramePublisher publisher = makePublisher(true);
  publisher.stamp(frame, 0x10007);
  EXPECT_NE(frame.output.data, image.data);
  EXPECT_EQ(cv::norm(image, pristine, cv::NORM_INF), 0.0);
  ASSERT_TRUE(publisher.publish(frame, RetouchSettings{}, CaptureRequest{}, "cpu"));
  const StampCodes codes = readCodeBands(latestLuma(), 64, 64, 48);
  EXPECT_EQ(codes.code1, 0x0007);
  EXPECT_EQ(codes.code2, uint16_t(GetTickCount64()));
}

TEST_F(FramePublisherTest, TheStampPaintsNv12InPlace) {
  std::vector<uint8_t> nv12(64 * 48 * 3 / 2, 128);
  ProcessedFrame frame = bgrFrame(image);
  frame.nv12Ready = true;
  frame.nv12 = nv12.data();
  frame.outWidth = 64;
  frame.outHeight = 48;
  makePublisher(true).stamp(frame, 3);
  EXPECT_EQ(readCodeBands(nv12.data(), 64, 64, 48).code1, 3);
  EXPECT_EQ(frame.output.data, image.data);
}

}  // namespace
}  // namespace tesmira
