#include "producer/frame_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "producer/tests/producer_fixture.h"

namespace tesmira {
namespace {

// A plain block standing in for the mapped frame channel.
struct ChannelBlock {
  std::unique_ptr<uint8_t[]> bytes = std::make_unique<uint8_t[]>(kFrameChannelBytes);
  RetouchFrameHeader& header() { return *reinterpret_cast<RetouchFrameHeader*>(bytes.get()); }
  const uint8_t* slotData(uint32_t slot) { return bytes.get() + frameSlotDataOffset(slot); }
};

cv::Mat solid(int width, int height, cv::Scalar bgr) { return cv::Mat(height, width, CV_8UC3, bgr); }

TEST(BgrToNv12, Bt601LimitedRangeValues) {
  struct Case {
    cv::Scalar bgr;
    uint8_t y, u, v;
  };
  for (const Case& c : {Case{{255, 255, 255}, 235, 128, 128}, Case{{0, 0, 0}, 16, 128, 128},
                        Case{{0, 0, 255}, 82, 90, 240}, Case{{0, 255, 0}, 144, 54, 34},
                        Case{{255, 0, 0}, 41, 240, 110}}) {
    std::vector<uint8_t> out;
    ASSERT_TRUE(bgrToNv12(solid(4, 2, c.bgr), 4, 2, out));
    ASSERT_EQ(out.size(), 12u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], c.y);
    for (int i = 8; i < 12; i += 2) {
      EXPECT_EQ(out[i], c.u);
      EXPECT_EQ(out[i + 1], c.v);
    }
  }
}

TEST(BgrToNv12, ChromaIsTheTruncatedMeanOfTheBlock) {
  cv::Mat frame = solid(2, 2, {0, 0, 0});
  frame.at<cv::Vec3b>(0, 0) = {0, 0, 255};  // U 90, V 240; three black pixels: U 128, V 128
  std::vector<uint8_t> out;
  ASSERT_TRUE(bgrToNv12(frame, 2, 2, out));
  EXPECT_EQ(out[4], (90 + 3 * 128) / 4);
  EXPECT_EQ(out[5], (240 + 3 * 128) / 4);
}

TEST(BgrToNv12, ConvertsARegionThroughTheRowPitch) {
  cv::Mat big = solid(10, 6, {0, 0, 0});
  big(cv::Rect(0, 0, 4, 2)).setTo(cv::Scalar(255, 255, 255));
  cv::Mat region = big(cv::Rect(0, 0, 6, 4));  // a view with a row pitch of 30 bytes
  std::vector<uint8_t> out;
  ASSERT_TRUE(bgrToNv12(region, 6, 4, out));
  ASSERT_EQ(out.size(), 36u);
  const std::vector<uint8_t> firstRow{235, 235, 235, 235, 16, 16};
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 6), firstRow);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 12, out.begin() + 18), std::vector<uint8_t>(6, 16));
}

// The conversion written pixel by pixel, straight from the formulas.
std::vector<uint8_t> referenceNv12(const cv::Mat& frame) {
  const int w = frame.cols, h = frame.rows;
  std::vector<uint8_t> out(size_t(w) * h * 3 / 2);
  auto px = [&](int y, int x) { return frame.at<cv::Vec3b>(y, x); };
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const auto p = px(y, x);
      out[size_t(y) * w + x] = uint8_t(((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8) + 16);
    }
  }
  for (int y = 0; y < h; y += 2) {
    for (int x = 0; x < w; x += 2) {
      int u = 0, v = 0;
      for (auto [dy, dx] : {std::pair{0, 0}, {0, 1}, {1, 0}, {1, 1}}) {
        const auto p = px(y + dy, x + dx);
        u += std::clamp(((112 * p[0] - 74 * p[1] - 38 * p[2] + 128) >> 8) + 128, 0, 255);
        v += std::clamp(((112 * p[2] - 94 * p[1] - 18 * p[0] + 128) >> 8) + 128, 0, 255);
      }
      out[size_t(w) * h + size_t(y / 2) * w + x] = uint8_t(u / 4);
      out[size_t(w) * h + size_t(y / 2) * w + x + 1] = uint8_t(v / 4);
    }
  }
  return out;
}

TEST(BgrToNv12, MatchesThePixelFormulasOnNoiseAndExtremes) {
  for (auto [width, height] : {std::pair{1280, 4}, {66, 6}, {34, 2}, {14, 4}}) {
    cv::Mat frame(height, width, CV_8UC3);
    cv::randu(frame, 0, 256);
    // Saturated corners of the colour cube, where the 16-bit sums are largest.
    const cv::Vec3b corners[] = {{255, 255, 255}, {0, 0, 0}, {255, 0, 0}, {0, 255, 255}, {0, 0, 255}, {255, 255, 0}};
    for (int i = 0; i < 6 && i < width; ++i) frame.at<cv::Vec3b>(0, i) = corners[i];
    std::vector<uint8_t> out;
    ASSERT_TRUE(bgrToNv12(frame, width, height, out));
    EXPECT_EQ(out, referenceNv12(frame)) << width << "x" << height;
  }
}

TEST(BgrToNv12, RefusesSizesThatCouldOverrun) {
  const cv::Mat frame = solid(8, 8, {1, 2, 3});
  struct Case {
    int width, height;
  };
  for (const Case& c : {Case{7, 8}, Case{8, 7}, Case{0, 8}, Case{10, 8}, Case{8, 10}, Case{-2, 8}}) {
    std::vector<uint8_t> out(5, 9);
    EXPECT_FALSE(bgrToNv12(frame, c.width, c.height, out)) << c.width << "x" << c.height;
    EXPECT_TRUE(out.empty());
  }
  std::vector<uint8_t> out;
  EXPECT_FALSE(bgrToNv12(cv::Mat(8, 8, CV_8UC4), 8, 8, out));
  EXPECT_FALSE(bgrToNv12(cv::Mat(), 2, 2, out));
}

TEST(SharedFrameWriter, OpeningResetsTheHeadAndLeavesSlotsUnpublished) {
  ChannelBlock channel;
  channel.header().magic = 0;
  channel.header().frameCounter = 77;
  channel.header().latestSlot = 1;  // left behind by an earlier producer
  SharedFrameWriter writer;
  writer.openOn(channel.bytes.get());
  EXPECT_EQ(channel.header().magic, kFrameMagic);
  EXPECT_EQ(channel.header().version, 3u);
  EXPECT_EQ(channel.header().frameCounter, 0u);
  EXPECT_EQ(channel.header().latestSlot, kNoSlot);
}

TEST(SharedFrameWriter, SlotsAlternateAndCountPublications) {
  ChannelBlock channel;
  SharedFrameWriter writer;
  writer.openOn(channel.bytes.get());  // no event: publication still succeeds
  const cv::Mat frame = solid(1280, 720, {255, 255, 255});
  const uint32_t expectedSlots[] = {0, 1, 0};
  uint64_t previousQpc = 0;
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(writer.publishBgr(frame));
    const RetouchFrameHeader& h = channel.header();
    const uint32_t s = expectedSlots[i];
    EXPECT_EQ(h.latestSlot, s);
    EXPECT_EQ(h.frameCounter, i + 1);
    EXPECT_EQ(h.slots[s].width, 1280u);
    EXPECT_EQ(h.slots[s].height, 720u);
    EXPECT_EQ(h.slots[s].stride, 1280u);
    EXPECT_EQ(h.slots[s].format, 2u);
    EXPECT_EQ(h.slots[s].dataSize, 1382400u);
    EXPECT_GE(h.slots[s].qpcTime, previousQpc);
    previousQpc = h.slots[s].qpcTime;
    EXPECT_EQ(channel.slotData(s)[0], 235);
    EXPECT_EQ(channel.slotData(s)[1382399], 128);
  }
}

TEST(SharedFrameWriter, LimitsRefuseWithoutTouchingTheChannel) {
  ChannelBlock channel;
  SharedFrameWriter writer;
  writer.openOn(channel.bytes.get());
  struct Case {
    int width, height;
    bool accepted;
  };
  for (const Case& c : {Case{1920, 1080, true}, Case{1080, 1920, true}, Case{2, 2, true}, Case{1920, 1082, false},
                        Case{1922, 2, false}, Case{1920, 1920, false}, Case{1, 1, false}, Case{3, 1, false}}) {
    const cv::Mat frame = solid(c.width, c.height, {9, 9, 9});
    std::vector<uint8_t> nv12(size_t(c.width) * size_t(c.height) * 3 / 2 + 1, 16);
    for (bool asNv12 : {false, true}) {
      // Only even NV12 sizes are meaningful; odd BGR sizes are cropped instead.
      if (asNv12 && (c.width % 2 || c.height % 2)) continue;
      const RetouchFrameHeader before = channel.header();
      const bool published = asNv12 ? writer.publishNv12(nv12.data(), c.width, c.height) : writer.publishBgr(frame);
      EXPECT_EQ(published, c.accepted) << c.width << "x" << c.height << (asNv12 ? " nv12" : " bgr");
      if (!c.accepted) {
        EXPECT_EQ(std::memcmp(&before, &channel.header(), sizeof before), 0);
      }
    }
  }
  std::vector<uint8_t> odd(64 * 64 * 2, 0);
  EXPECT_FALSE(writer.publishNv12(odd.data(), 63, 64));
  EXPECT_FALSE(writer.publishNv12(nullptr, 64, 64));
  EXPECT_FALSE(writer.publishBgr(cv::Mat(4, 4, CV_8UC1)));
  EXPECT_FALSE(writer.publishBgr(cv::Mat()));
}

TEST(SharedFrameWriter, OddFramesArePublishedFromTheirTopLeftRegion) {
  ChannelBlock channel;
  SharedFrameWriter writer;
  writer.openOn(channel.bytes.get());
  cv::Mat frame = solid(1281, 721, {0, 0, 0});
  frame.col(1280).setTo(cv::Scalar(255, 255, 255));  // the dropped column and row
  frame.row(720).setTo(cv::Scalar(255, 255, 255));
  ASSERT_TRUE(writer.publishBgr(frame));
  const RetouchFrameSlot& slot = channel.header().slots[0];
  EXPECT_EQ(slot.width, 1280u);
  EXPECT_EQ(slot.height, 720u);
  EXPECT_EQ(slot.dataSize, 1382400u);
  const uint8_t* data = channel.slotData(0);
  for (size_t i = 0; i < 1280u * 720u; ++i) ASSERT_EQ(data[i], 16) << i;
}

TEST(SharedFrameWriter, PublishNv12CopiesTheBytesAsGiven) {
  ChannelBlock channel;
  SharedFrameWriter writer;
  writer.openOn(channel.bytes.get());
  std::vector<uint8_t> nv12(16 * 4 * 3 / 2);
  for (size_t i = 0; i < nv12.size(); ++i) nv12[i] = uint8_t(i);
  ASSERT_TRUE(writer.publishNv12(nv12.data(), 16, 4));
  EXPECT_EQ(std::memcmp(channel.slotData(0), nv12.data(), nv12.size()), 0);
  EXPECT_EQ(channel.header().slots[0].dataSize, 96u);
}

TEST(SharedFrameWriter, WithoutAChannelNothingIsPublished) {
  SharedFrameWriter writer;
  EXPECT_FALSE(writer.usable());
  EXPECT_FALSE(writer.publishBgr(solid(4, 4, {0, 0, 0})));
  std::vector<uint8_t> nv12(24);
  EXPECT_FALSE(writer.publishNv12(nv12.data(), 4, 4));
}

TEST(Stamp, BandGeometry) {
  struct Case {
    int width, height, bandWidth, bandHeight;
  };
  for (const Case& c : {Case{1280, 720, 80, 30}, Case{1280, 96, 80, 6}, Case{100, 48, 6, 6}}) {
    std::vector<uint8_t> luma(size_t(c.width) * c.height, 128);
    const uint32_t code1 = 0b1000'0000'0000'0101, code2 = 0x0002;
    stampNv12Frame(luma.data(), c.width, c.height, code1, code2);
    auto at = [&](int row, int column) { return luma[size_t(row) * c.width + column]; };
    // code1 bit 0 and bit 2 are white, bit 1 black; band 15 runs to the last column.
    EXPECT_EQ(at(0, 0), 255);
    EXPECT_EQ(at(c.bandHeight - 1, c.bandWidth - 1), 255);
    EXPECT_EQ(at(0, c.bandWidth), 0);
    EXPECT_EQ(at(0, 2 * c.bandWidth), 255);
    EXPECT_EQ(at(0, c.width - 1), 255);
    EXPECT_EQ(at(0, 15 * c.bandWidth - 1), 0);
    // code2 in the next band row: only bit 1.
    EXPECT_EQ(at(c.bandHeight, 0), 0);
    EXPECT_EQ(at(c.bandHeight, c.bandWidth), 255);
    EXPECT_EQ(at(2 * c.bandHeight - 1, c.bandWidth), 255);
    // Below the stamp nothing changes.
    EXPECT_EQ(at(2 * c.bandHeight, 0), 128);
    StampCodes read = readCodeBands(luma.data(), c.width, c.width, c.height);
    EXPECT_EQ(read.code1, code1 & 0xFFFF);
    EXPECT_EQ(read.code2, code2);
  }
}

TEST(Stamp, OnlyTheLow16BitsAppearAndTinyFramesAreClippedOrLeftAlone) {
  std::vector<uint8_t> luma(32 * 8, 77);
  stampNv12Frame(luma.data(), 32, 8, 0x1FFFF, 0);  // rows 0..5 code1, rows 6..7 code2 (clipped)
  EXPECT_EQ(readCodeBands(luma.data(), 32, 32, 8).code1, 0xFFFF);
  EXPECT_EQ(luma[7 * 32 + 31], 0);
  std::vector<uint8_t> narrow(15 * 8, 77);
  stampNv12Frame(narrow.data(), 15, 8, 0xFFFF, 0xFFFF);
  EXPECT_EQ(narrow, std::vector<uint8_t>(15 * 8, 77));
}

TEST(Stamp, BgrBandsAreWhiteOrBlackInAllChannels) {
  cv::Mat frame = solid(64, 48, {10, 20, 30});
  stampBgrFrame(frame, 0x0001, 0x8000);
  EXPECT_EQ(frame.at<cv::Vec3b>(0, 0), cv::Vec3b(255, 255, 255));
  EXPECT_EQ(frame.at<cv::Vec3b>(0, 4), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(frame.at<cv::Vec3b>(6, 63), cv::Vec3b(255, 255, 255));
  EXPECT_EQ(frame.at<cv::Vec3b>(12, 0), cv::Vec3b(10, 20, 30));
}

}  // namespace
}  // namespace tesmira
