// The retouch context's lifetime on the test clock: built on first need, kept 60 s
// past the last demand, its build failure and CPU-fallback flag in the status channel.
#include "producer/context_keeper.h"

#include <stdexcept>

#include "producer/loop_clock.h"
#include "producer/tests/loop_doubles.h"
#include "producer/tests/producer_fixture.h"
#include "tesmira/platform_testing.h"

namespace tesmira {
namespace {

using testing::ContextScript;
using testing::FakeContext;
using testing::ProducerTest;

class ContextKeeperTest : public ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    platform::testclock::freeze();
    status.openOn(&statusBlock);
  }
  ContextKeeper makeKeeper() {
    return ContextKeeper(
        [this](const ProducerOptions&) -> std::unique_ptr<IRetouchContext> {
          if (context.failBuild) throw std::runtime_error("no models here");
          return std::make_unique<FakeContext>(context);
        },
        options, status);
  }
  static int64_t seconds(double s) { return int64_t(s * double(kNsPerSecond)); }

  ProducerStatusBlock statusBlock{};
  ProducerStatusWriter status;
  ProducerOptions options;
  ContextScript context;
};

TEST_F(ContextKeeperTest, TheContextIsKeptUntil60SecondsAfterTheLastDemand) {
  struct Case {
    double idleSeconds;
    bool released;
  };
  for (const Case& c : {Case{59.999, false}, Case{60.0, true}}) {
    ContextKeeper keeper = makeKeeper();
    EXPECT_FALSE(keeper.releaseIfIdle(seconds(100)));  // nothing to release yet
    EXPECT_EQ(keeper.providerName(), "none");
    keeper.acquire(seconds(1));
    keeper.acquire(seconds(10));  // the idle count starts from the last demand
    EXPECT_EQ(keeper.providerName(), "directml");
    EXPECT_EQ(keeper.releaseIfIdle(seconds(10 + c.idleSeconds)), c.released) << c.idleSeconds;
    EXPECT_EQ(keeper.built(), !c.released);
  }
  EXPECT_EQ(context.builds, 2);  // one per keeper: a second demand reuses the context
  EXPECT_EQ(logCount("initializing retouch context"), 2u);
  EXPECT_EQ(logCount("retouch context released after idle"), 1u);
}

TEST_F(ContextKeeperTest, ALaterDemandBuildsANewContextAndReportsStartingAgain) {
  ContextKeeper keeper = makeKeeper();
  keeper.acquire(0);
  ASSERT_TRUE(keeper.releaseIfIdle(seconds(60)));
  EXPECT_EQ(context.releases, 1);
  status.setState(kProducerStateNone, 0);  // as the idle passes write it
  keeper.acquire(seconds(61));
  EXPECT_EQ(context.builds, 2);
  EXPECT_EQ(statusBlock.state, uint32_t(kProducerStateStarting));
  EXPECT_EQ(logCount("status: starting"), 2u);
}

TEST_F(ContextKeeperTest, ABuildFailureReportsModelFailureAndPassesTheErrorOn) {
  context.failBuild = true;
  ContextKeeper keeper = makeKeeper();
  EXPECT_THROW(keeper.acquire(0), std::runtime_error);
  EXPECT_FALSE(keeper.built());
  EXPECT_EQ(statusBlock.state, uint32_t(kProducerStateModelFailure));
  const auto lines = logMessages();
  EXPECT_EQ(lines, (std::vector<std::string>{"initializing retouch context", "status: starting",
                                             "status: model-failure"}));
}

TEST_F(ContextKeeperTest, TheCpuFallbackFlagIsPassedOnWhenItChanges) {
  ContextKeeper keeper = makeKeeper();
  keeper.acquire(0);
  EXPECT_EQ(status.detail(), 1u);
  EXPECT_EQ(logCount("status: CPU fallback active (D3D compositor unavailable)"), 1u);
  ASSERT_TRUE(keeper.releaseIfIdle(seconds(60)));
  EXPECT_EQ(status.detail(), 1u);  // kept while no context exists
  keeper.acquire(seconds(61));
  EXPECT_EQ(logCount("status: CPU fallback active (D3D compositor unavailable)"), 1u);  // no change, no line
  ASSERT_TRUE(keeper.releaseIfIdle(seconds(121)));
  alignas(8) static char standIn[8];
  context.device = reinterpret_cast<ID3D11Device*>(standIn);
  keeper.acquire(seconds(122));
  EXPECT_EQ(status.detail(), 0u);
  EXPECT_EQ(logCount("status: CPU fallback active (D3D compositor unavailable)"), 1u);
  EXPECT_EQ(logCount("retouch context ready provider=directml"), 3u);
}

}  // namespace
}  // namespace tesmira
