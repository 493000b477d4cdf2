#include "producer/status_writer.h"

#include <cstring>

#include "producer/tests/producer_fixture.h"
#include "tesmira/platform_testing.h"

namespace tesmira {
namespace {

using testing::ProducerTest;
namespace testclock = platform::testclock;

class StatusWriterTest : public ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    testclock::freeze();
    std::memset(&block_, 0xEE, sizeof block_);  // a stale block: rewritten fresh on open
    writer_.openOn(&block_);
  }
  uint32_t sequence() const { return block_.sequence; }

  ProducerStatusBlock block_;
  ProducerStatusWriter writer_;
};

TEST_F(StatusWriterTest, OpenWritesAFreshBlock) {
  ProducerStatusBlock fresh{};
  fresh.magic = kProducerStatusMagic;
  fresh.version = 1;
  EXPECT_EQ(std::memcmp(&block_, &fresh, sizeof fresh), 0);
}

TEST_F(StatusWriterTest, WritesOnChangeAndRefreshesEverySecond) {
  writer_.setState(kProducerStateLive, 0);
  EXPECT_EQ(block_.state, 2u);
  EXPECT_EQ(block_.heartbeat, GetTickCount64());
  EXPECT_EQ(block_.producerPid, GetCurrentProcessId());
  EXPECT_EQ(sequence(), 1u);
  // 30 frames a second: one write at the change, then about one a second.
  for (int frame = 0; frame < 60; ++frame) {
    testclock::advanceMs(33);
    writer_.setState(kProducerStateLive, 0);
  }
  EXPECT_EQ(sequence(), 2u);  // the refresh at 1023 ms; 1980 ms is below the next one
  testclock::advanceMs(999 - (60 * 33 - 1023));
  writer_.setState(kProducerStateLive, 0);
  EXPECT_EQ(sequence(), 2u);
  testclock::advanceMs(1);
  writer_.setState(kProducerStateLive, 0);
  EXPECT_EQ(sequence(), 3u);
  EXPECT_EQ(logCount("status: live"), 1u);
}

TEST_F(StatusWriterTest, HrAndDetailChangesWriteAtOnceWithoutALine) {
  writer_.setState(kProducerStateLive, 0);
  writer_.setState(kProducerStateLive, 0x80004005u);
  EXPECT_EQ(sequence(), 2u);
  EXPECT_EQ(block_.hr, 0x80004005u);
  writer_.setDetail(1);
  writer_.setState(kProducerStateLive, 0x80004005u);
  EXPECT_EQ(sequence(), 3u);
  EXPECT_EQ(block_.detail, 1u);
  EXPECT_EQ(logCountStartingWith("status: "), 1u);
}

TEST_F(StatusWriterTest, EachStateChangeLogsItsName) {
  struct Case {
    uint32_t state, hr;
    const char* line;
  };
  const Case cases[] = {
      {kProducerStateNoCamera, 0xC00D36D5u, "status: no-camera hr=0xc00d36d5"},
      {kProducerStateCameraBusy, 0x80070020u, "status: camera-busy hr=0x80070020"},
      {kProducerStateCameraPermissionDenied, 0x80070005u, "status: camera-permission-denied hr=0x80070005"},
      {kProducerStateCaptureFailure, 0, "status: capture-failure"},
      {kProducerStateModelFailure, 0, "status: model-failure"},
      {kProducerStateStarting, 0, "status: starting"},
      {kProducerStateNone, 0, "status: unknown"},
      {3, 0, "status: unknown"},
      {kProducerStateLive, 0, "status: live"},
  };
  for (const auto& c : cases) {
    writer_.setState(c.state, c.hr);
    EXPECT_EQ(block_.state, c.state);
    EXPECT_EQ(block_.hr, c.hr);
  }
  std::vector<std::string> expected;
  for (const auto& c : cases) expected.push_back(c.line);
  EXPECT_EQ(logMessages(), expected);
}

TEST_F(StatusWriterTest, AnOverwrittenBlockIsLeftAloneAndLogsOncePerChange) {
  writer_.setState(kProducerStateLive, 0);
  block_.version = 9;  // someone else took the block over
  const uint32_t before = sequence();
  for (int i = 0; i < 30; ++i) {
    testclock::advanceMs(33);
    writer_.setState(kProducerStateCaptureFailure, 0);
  }
  EXPECT_EQ(sequence(), before);
  EXPECT_EQ(block_.state, 2u);
  EXPECT_EQ(logCount("status: capture-failure"), 1u);
  writer_.setState(kProducerStateLive, 0);
  EXPECT_EQ(logCount("status: live"), 2u);
}

TEST_F(StatusWriterTest, CloseReportsIdle) {
  writer_.setState(kProducerStateLive, 0);
  writer_.close();
  EXPECT_EQ(block_.state, 0u);
  EXPECT_EQ(block_.hr, 0u);
  EXPECT_EQ(sequence(), 2u);
  writer_.setState(kProducerStateLive, 0);  // closed: nothing reaches the block
  EXPECT_EQ(sequence(), 2u);
}

TEST(StateFromHresult, MapsCaptureFailures) {
  struct Case {
    uint32_t hr;
    ProducerState state;
  };
  for (const Case& c : {Case{0x80070005u, kProducerStateCameraPermissionDenied}, Case{0xC00D36D5u, kProducerStateNoCamera},
                        Case{0x80070020u, kProducerStateCameraBusy}, Case{0xC00D3704u, kProducerStateCameraBusy},
                        Case{0x80004005u, kProducerStateCaptureFailure}, Case{0xC00D36B4u, kProducerStateCaptureFailure},
                        Case{0u, kProducerStateCaptureFailure}}) {
    EXPECT_EQ(stateFromHresult(HRESULT(c.hr)), c.state) << std::hex << c.hr;
  }
}

}  // namespace
}  // namespace tesmira
