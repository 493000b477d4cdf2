#include "vcam_source/media_types.h"

#include "vcam_source/tests/stream/vcam_test_support.h"

namespace tesmira::vcam::testing {
namespace {

TEST(MediaTypes, VideoTypeCarriesEveryAttribute) {
  struct Row {
    const GUID* subtype;
    UINT32 w, h, n, d;
    UINT32 sampleSize, bitrate, stride;
  } rows[] = {
      {&MFVideoFormat_NV12, 1280, 720, 30, 1, 1382400, 331776000, 1280},
      {&MFVideoFormat_RGB32, 1280, 720, 30, 1, 3686400, 884736000, 5120},
      {&MFVideoFormat_NV12, 640, 480, 30000, 1001, 460800, 110481518, 640},
  };
  for (auto& row : rows) {
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(makeVideoMediaType(*row.subtype, row.w, row.h, row.n, row.d, &type), S_OK);
    UINT32 count = 0;
    type->GetCount(&count);
    EXPECT_EQ(count, 11u);
    GUID g{};
    type->GetGUID(MF_MT_MAJOR_TYPE, &g);
    EXPECT_EQ(g, MFMediaType_Video);
    type->GetGUID(MF_MT_SUBTYPE, &g);
    EXPECT_EQ(g, *row.subtype);
    auto u32 = [&](REFGUID key) {
      UINT32 v = 0xDEAD;
      EXPECT_EQ(type->GetUINT32(key, &v), S_OK);
      return v;
    };
    auto u64 = [&](REFGUID key) {
      UINT64 v = 0;
      EXPECT_EQ(type->GetUINT64(key, &v), S_OK);
      return v;
    };
    EXPECT_EQ(u32(MF_MT_INTERLACE_MODE), 2u);
    EXPECT_EQ(u32(MF_MT_ALL_SAMPLES_INDEPENDENT), 1u);
    EXPECT_EQ(u32(MF_MT_FIXED_SIZE_SAMPLES), 1u);
    EXPECT_EQ(u64(MF_MT_FRAME_SIZE), (UINT64(row.w) << 32) | row.h);
    EXPECT_EQ(u64(MF_MT_FRAME_RATE), (UINT64(row.n) << 32) | row.d);
    EXPECT_EQ(u64(MF_MT_PIXEL_ASPECT_RATIO), (UINT64(1) << 32) | 1);
    EXPECT_EQ(u32(MF_MT_SAMPLE_SIZE), row.sampleSize);
    EXPECT_EQ(u32(MF_MT_AVG_BITRATE), row.bitrate);
    EXPECT_EQ(u32(MF_MT_DEFAULT_STRIDE), row.stride);
  }
}

TEST(MediaTypes, DescriptionsForLogLines) {
  ComPtr<IMFMediaType> nv12;
  makeVideoMediaType(MFVideoFormat_NV12, 1280, 720, 30, 1, &nv12);
  EXPECT_EQ(describeMediaType(nv12.Get()), L"NV12 1280x720 @30/1fps stride=1280 sample=1382400");
  EXPECT_EQ(describeMediaType(nullptr), L"<null media type>");
  ComPtr<IMFMediaType> bare;
  MFCreateMediaType(&bare);
  bare->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_YUY2);
  EXPECT_EQ(describeMediaType(bare.Get()), L"YUY2 0x0");
  EXPECT_EQ(subtypeName(MFVideoFormat_MJPG), L"MJPG");
  EXPECT_EQ(subtypeName(MFMediaType_Video), L"{73646976-0000-0010-8000-00AA00389B71}");
}

TEST(MediaTypes, ServableSizesAndDurations) {
  struct Size {
    UINT32 w, h;
    bool ok;
  } sizes[] = {{1920, 1080, true}, {1080, 1920, true}, {2, 2, true},     {1922, 2, false},
               {1920, 1082, false}, {0, 720, false},   {1281, 720, false}, {0xFFFFFFFEu, 0xFFFFFFFEu, false}};
  for (auto& s : sizes) EXPECT_EQ(isServableFrameSize(s.w, s.h), s.ok) << s.w << "x" << s.h;
  EXPECT_EQ(sampleDuration(30, 1), 333333);
  EXPECT_EQ(sampleDuration(15, 1), 666666);
  EXPECT_EQ(sampleDuration(30000, 1001), 333666);
  EXPECT_EQ(sampleDuration(0, 1), 333333);
  EXPECT_EQ(sampleDuration(1, 0xFFFFFFFFu), LONGLONG(0xFFFFFFFFull * 10000000ull));
}

}  // namespace
}  // namespace tesmira::vcam::testing
