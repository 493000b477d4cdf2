#include "agent/supervisor.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "agent/tests/agent_doubles.h"
#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::agent {
namespace {

using namespace tesmira::agent::testing;
namespace testclock = tesmira::platform::testclock;

constexpr int64_t kNoTick = INT64_MIN;

class SupervisorTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    testclock::freeze();
  }

  static uint64_t now() { return GetTickCount64(); }
  // A tick `age` ms before now (negative: in the future), or 0.
  static uint64_t tickAged(int64_t age) { return age == kNoTick ? 0 : uint64_t(int64_t(now()) - age); }
  void request() { control.block.requestTick = now(); }
  // Passes every 500 ms for `ms`, with the application requesting samples when `requesting`.
  void passesFor(uint64_t ms, bool requesting) {
    for (uint64_t t = 0; t < ms; t += kPassIntervalMs) {
      if (requesting) request();
      supervisor.runPass();
      testclock::advanceMs(kPassIntervalMs);
    }
  }
  void startWithDemand() {
    request();
    supervisor.runPass();
    ASSERT_TRUE(producer.running());
    log.lines.clear();
  }
  // Moves the last request out of the demand window, then advances by `ms`.
  void goQuietFor(uint64_t ms) {
    control.block.requestTick = now() - kAgentDemandWindowMs - 1;
    control.block.streamStartTick = 0;
    testclock::advanceMs(ms);
  }

  FakeSettingsKey settings;
  FakeControlChannel control;
  FakeProducer producer;
  RecordingPublisher publisher;
  RecordingLog log;
  const std::filesystem::path folder = "/opt/tesmira/bin";
  Supervisor supervisor{settings, control, producer, publisher, log, folder};
};

struct DemandCase {
  const char* name;
  int64_t requestAge;
  int64_t streamStartAge;
  bool magicValid;
  bool demand;
};

void PrintTo(const DemandCase& c, std::ostream* os) { *os << c.name; }

class DemandTest : public SupervisorTest, public ::testing::WithParamInterface<DemandCase> {};

TEST_P(DemandTest, StartsTheProducerOnlyOnAFreshHeartbeat) {
  const DemandCase& c = GetParam();
  control.block.requestTick = tickAged(c.requestAge);
  control.block.streamStartTick = tickAged(c.streamStartAge);
  if (!c.magicValid) control.block.magic = 0;
  supervisor.runPass();
  EXPECT_EQ(producer.running(), c.demand);
  EXPECT_EQ(supervisor.lastDemandMs(), c.demand ? now() : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Ticks, DemandTest,
    ::testing::Values(DemandCase{"request2500", 2500, kNoTick, true, true},
                      DemandCase{"request2501", 2501, kNoTick, true, false},
                      DemandCase{"requestNow", 0, kNoTick, true, true},
                      DemandCase{"request2400WithStaleStart", 2400, 3000, true, true},
                      DemandCase{"request2600Start3000", 2600, 3000, true, false},
                      DemandCase{"streamStartAlone", kNoTick, 100, true, true},
                      DemandCase{"requestInFuture", -1, kNoTick, true, false},
                      DemandCase{"newerTickInFuture", 100, -5, true, false},
                      DemandCase{"noTicks", kNoTick, kNoTick, true, false},
                      DemandCase{"unseededChannel", 0, 0, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SupervisorTest, MissingControlChannelGivesNoDemandAndIsRetried) {
  control.present = false;
  request();
  supervisor.runPass();
  EXPECT_FALSE(producer.running());
  control.present = true;
  request();
  supervisor.runPass();
  EXPECT_TRUE(producer.running());
}

struct CameraIndexCase {
  const char* name;
  bool set;
  DWORD registryValue;
  uint32_t written;
  const wchar_t* passed;
};

void PrintTo(const CameraIndexCase& c, std::ostream* os) { *os << c.name; }

class CameraIndexTest : public SupervisorTest, public ::testing::WithParamInterface<CameraIndexCase> {};

TEST_P(CameraIndexTest, WrittenClampedButPassedAsRead) {
  const CameraIndexCase& c = GetParam();
  if (c.set) settings.setDword(L"CameraIndex", c.registryValue);
  control.block.cameraIndex = 77;
  control.block.width = 640;
  request();
  VcamControlBlock before = control.block;
  supervisor.runPass();
  EXPECT_EQ(control.block.cameraIndex, c.written);
  // Nothing but the camera index is written by the agent.
  before.cameraIndex = c.written;
  EXPECT_EQ(std::memcmp(&before, &control.block, sizeof(before)), 0);
  ASSERT_EQ(producer.starts.size(), 1u);
  EXPECT_EQ(producer.starts[0][6], c.passed);
  EXPECT_EQ(publisher.capabilityIndexes, std::vector<int32_t>{int32_t(c.registryValue)});
}

INSTANTIATE_TEST_SUITE_P(Values, CameraIndexTest,
                         ::testing::Values(CameraIndexCase{"missing", false, 0, 0, L"0"},
                                           CameraIndexCase{"three", true, 3, 3, L"3"},
                                           CameraIndexCase{"minusOne", true, 0xFFFFFFFFu, 0, L"-1"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SupervisorTest, UnseededChannelIsNotWritten) {
  control.block.magic = 0;
  control.block.cameraIndex = 9;
  settings.setDword(L"CameraIndex", 2);
  supervisor.runPass();
  EXPECT_EQ(control.block.cameraIndex, 9u);
}

TEST_F(SupervisorTest, ProducerCommandLine) {
  settings.setDword(L"CameraIndex", 0xFFFFFFFFu);
  settings.setString(L"Provider", L"cpu");
  settings.setString(L"ProducerExe", L"/srv/p/producer.exe");
  settings.setString(L"RepoRoot", L"/srv/data");
  request();
  supervisor.runPass();
  ASSERT_EQ(producer.starts.size(), 1u);
  const std::vector<std::wstring> expected = {L"/srv/p/producer.exe", L"--camera",       L"--no-mirror",
                                              L"--provider",          L"cpu",            L"--camera-index",
                                              L"-1",                  L"--repo-root",    L"/srv/data"};
  EXPECT_EQ(producer.starts[0], expected);
  EXPECT_EQ(log.lines, std::vector<std::wstring>{L"producer started (camera-index=-1 provider=cpu)"});
}

TEST_F(SupervisorTest, DefaultsComeFromTheAgentFolderAndRelativePathsBecomeAbsolute) {
  request();
  supervisor.runPass();
  ASSERT_EQ(producer.starts.size(), 1u);
  EXPECT_EQ(producer.starts[0][0], (folder / kProducerExeName).wstring());
  EXPECT_EQ(producer.starts[0][4], L"directml");
  EXPECT_EQ(producer.starts[0][8], folder.wstring());

  producer.stop();
  settings.setString(L"ProducerExe", L"rel/producer.exe");
  request();
  supervisor.runPass();
  ASSERT_EQ(producer.starts.size(), 2u);
  EXPECT_EQ(producer.starts[1][0], (std::filesystem::current_path() / "rel/producer.exe").wstring());
}

struct IdleCase {
  const char* name;
  DWORD idleStopMs;
  uint64_t quietMs;
  bool stopped;
};

void PrintTo(const IdleCase& c, std::ostream* os) { *os << c.name; }

class IdleStopTest : public SupervisorTest, public ::testing::WithParamInterface<IdleCase> {};

TEST_P(IdleStopTest, StopsOnlyAfterMoreThanIdleStopMsWithoutDemand) {
  const IdleCase& c = GetParam();
  settings.setDword(L"IdleStopMs", c.idleStopMs);
  startWithDemand();
  goQuietFor(c.quietMs);
  supervisor.runPass();
  EXPECT_EQ(producer.running(), !c.stopped);
  if (c.stopped) {
    EXPECT_EQ(log.lines, std::vector<std::wstring>{L"no demand for " + std::to_wstring(c.idleStopMs) +
                                                   L" ms; stopping producer"});
  } else {
    EXPECT_TRUE(log.lines.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Durations, IdleStopTest,
                         ::testing::Values(IdleCase{"default8000", 8000, 8000, false},
                                           IdleCase{"default8001", 8000, 8001, true},
                                           IdleCase{"short1000", 1000, 1000, false},
                                           IdleCase{"short1001", 1000, 1001, true},
                                           IdleCase{"zero", 0, 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SupervisorTest, SevenSecondPauseKeepsTheProducerAndIdleIsLoggedOncePerStop) {
  passesFor(1000, false);
  passesFor(2000, true);
  passesFor(7000, false);
  passesFor(1000, true);
  EXPECT_EQ(producer.stops, 0);
  // Demand lasts 2500 ms past the last request, then 8000 ms more until the stop.
  passesFor(10500, false);
  EXPECT_EQ(producer.stops, 0);
  passesFor(1000, false);
  EXPECT_EQ(producer.stops, 1);
  EXPECT_EQ(log.lines, (std::vector<std::wstring>{L"idle; waiting for a consumer to open Tesmira",
                                                  L"producer started (camera-index=0 provider=directml)",
                                                  L"no demand for 8000 ms; stopping producer",
                                                  L"idle; waiting for a consumer to open Tesmira"}));
}

TEST_F(SupervisorTest, DisabledStopsWithinOnePassAndPreventsStartsUntilEnabled) {
  startWithDemand();
  settings.setDword(L"Enabled", 0);
  request();
  supervisor.runPass();
  EXPECT_FALSE(producer.running());
  EXPECT_EQ(log.lines, std::vector<std::wstring>{L"disabled via config; stopping producer"});
  passesFor(2000, true);
  EXPECT_EQ(producer.starts.size(), 1u);
  EXPECT_EQ(log.lines.size(), 1u);

  settings.setDword(L"Enabled", 1);
  request();
  supervisor.runPass();
  EXPECT_TRUE(producer.running());
  EXPECT_EQ(producer.starts.size(), 2u);
}

TEST_F(SupervisorTest, ExitedProducerIsRestartedInTheNextPassNotTheSame) {
  startWithDemand();
  producer.exitedOnItsOwn = true;
  request();
  supervisor.runPass();
  EXPECT_FALSE(producer.running());
  EXPECT_EQ(producer.starts.size(), 1u);
  EXPECT_EQ(log.lines, std::vector<std::wstring>{L"producer exited unexpectedly"});

  testclock::advanceMs(kPassIntervalMs);
  request();
  supervisor.runPass();
  EXPECT_TRUE(producer.running());
  EXPECT_EQ(producer.starts.size(), 2u);
}

TEST_F(SupervisorTest, ExitedProducerWithoutDemandStaysDown) {
  startWithDemand();
  producer.exitedOnItsOwn = true;
  goQuietFor(kPassIntervalMs);
  supervisor.runPass();
  goQuietFor(kPassIntervalMs);
  supervisor.runPass();
  EXPECT_FALSE(producer.running());
  EXPECT_EQ(producer.starts.size(), 1u);
  EXPECT_EQ(log.lines, (std::vector<std::wstring>{L"producer exited unexpectedly",
                                                  L"idle; waiting for a consumer to open Tesmira"}));
}

TEST_F(SupervisorTest, MissingProducerIsLoggedOnEveryPassWithDemand) {
  settings.setString(L"ProducerExe", L"/nowhere/producer.exe");
  producer.missing.insert("/nowhere/producer.exe");
  passesFor(1000, true);
  EXPECT_TRUE(producer.starts.empty());
  EXPECT_EQ(log.lines, (std::vector<std::wstring>(2, L"producer exe not found: /nowhere/producer.exe")));
}

TEST_F(SupervisorTest, FailedStartIsLoggedAndTriedAgain) {
  producer.startError = ERROR_ACCESS_DENIED;
  passesFor(1000, true);
  EXPECT_EQ(producer.starts.size(), 2u);
  EXPECT_EQ(log.lines, (std::vector<std::wstring>(2, L"failed to start producer: 5 (text)")));
  producer.startError = 0;
  passesFor(500, true);
  EXPECT_TRUE(producer.running());
}

struct FreshnessCase {
  const char* name;
  int64_t formatAge;
  bool fresh;
};

void PrintTo(const FreshnessCase& c, std::ostream* os) { *os << c.name; }

class ConsumerSeamTest : public SupervisorTest, public ::testing::WithParamInterface<FreshnessCase> {};

TEST_P(ConsumerSeamTest, FreshnessOfTheRequestedFormat) {
  control.block.formatTick = tickAged(GetParam().formatAge);
  control.block.streamStartTick = now() - 50;
  supervisor.runPass();
  ASSERT_EQ(publisher.consumerCalls.size(), 1u);
  EXPECT_EQ(publisher.consumerCalls[0].first, GetParam().fresh);
  EXPECT_EQ(publisher.consumerCalls[0].second, now() - 50);
}

INSTANTIATE_TEST_SUITE_P(Ages, ConsumerSeamTest,
                         ::testing::Values(FreshnessCase{"none", kNoTick, false}, FreshnessCase{"age2500", 2500, true},
                                           FreshnessCase{"age2501", 2501, false},
                                           FreshnessCase{"future", -1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SupervisorTest, ConsumerSeamGetsNoStreamStartWithoutAValidChannel) {
  control.block.magic = 0;
  control.block.streamStartTick = now();
  control.block.formatTick = now();
  supervisor.runPass();
  ASSERT_EQ(publisher.consumerCalls.size(), 1u);
  EXPECT_EQ(publisher.consumerCalls[0], (std::pair<bool, uint64_t>{false, 0}));
}

}  // namespace
}  // namespace tesmira::agent
