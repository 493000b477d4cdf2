// Telemetry files and answers as a hostile user or server writes them: nesting deep
// enough to overflow a recursive parse, bodies without end, a server that drips, and
// a failure count at its limit. Telemetry never stops the producer.
#include <limits>
#include <thread>

#include "producer/telemetry/tests/telemetry_fixture.h"
#include "tests/support/host_calls.h"

namespace {

using nlohmann::json;
using tesmira::testing::HttpAnswer;
using tesmira::testing::numbered;
namespace telemetry = tesmira::telemetry;
namespace testclock = tesmira::platform::testclock;

constexpr DWORD kIdleMs = 20000;
constexpr size_t kDepth = 100000;
constexpr size_t kOneMebibyte = 1 << 20;

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

class HostileTelemetryTest : public tesmira::testing::UploadTest {};

TEST_F(HostileTelemetryTest, DeepFilesReadAsMalformedOnAOneMebibyteStack) {
  writeText("usage-queue.json", R"([{"event_id":"A","x":)" + nested(kDepth) + "}]");
  writeText("backend-backoff.json", R"({"failureCount":3,"backoffUntilUnix":)" + std::to_string(now() + 500) +
                                        R"(,"x":)" + nested(kDepth) + "}");
  writeText("telemetry-policy.json", R"({"drop_all":true,"x":)" + nested(kDepth) + "}");
  writeText("telemetry-token.json", R"({"TelemetryToken":")" + std::string(40, 't') + R"(","x":)" +
                                        nested(kDepth) + "}");
  ASSERT_TRUE(tesmira::testing::runOnStackOf(kOneMebibyte, [&] {
    EXPECT_TRUE(telemetry::loadEventQueue().empty());
    EXPECT_EQ(telemetry::readFailureCount(), 0);
    EXPECT_EQ(telemetry::readBackoffUntil(), 0);
    EXPECT_TRUE(telemetry::loadDropPolicy().is_null());
    // The queue starts afresh with the next event.
    telemetry::appendToQueue(numbered(1));
    EXPECT_EQ(telemetry::loadEventQueue(), std::vector<json>{numbered(1)});
  }));
  // The events of a document just inside the bound are kept.
  writeText("usage-queue.json", R"([{"event_id":"A","x":)" + nested(60) + "}]");
  std::lock_guard lock(telemetry::telemetryMutex());
  EXPECT_EQ(telemetry::loadEventQueue().size(), 1u);
}

TEST_F(HostileTelemetryTest, DeepAnswersOnlyChangeTheBackoffRule) {
  const std::string deepPolicy = R"({"policy":{"drop_all":true,"x":)" + nested(kDepth) + "}}";
  ASSERT_TRUE(tesmira::testing::runOnStackOf(kOneMebibyte, [&] {
    EXPECT_TRUE(telemetry::policyFromResponse(deepPolicy, now()).is_discarded());
    telemetry::storePolicyFromResponse(deepPolicy);
    const int64_t delay = telemetry::backoffSecondsFor(
        {500, R"({"backoff_seconds":5,"x":)" + nested(kDepth) + "}", ""});
    EXPECT_GE(delay, 60);  // the fallback, not the 5 s the deep body names
    EXPECT_LE(delay, 71);
  }));
  EXPECT_FALSE(std::filesystem::exists(telemetry::policyFilePath()));

  // Through the upload thread: the batch goes, no policy is cached.
  server_.script({200, {}, deepPolicy});
  localClient();
  queueEvents(1, 2);
  telemetry::scheduleTelemetryUpload();
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  EXPECT_EQ(queued(), 0u);
  EXPECT_FALSE(std::filesystem::exists(telemetry::policyFilePath()));
}

TEST_F(HostileTelemetryTest, ABodyPastTheLimitCountsAsAbsent) {
  const std::string pad(telemetry::kMaxResponseBodyBytes, ' ');
  struct Case {
    const char* what;
    HttpAnswer answer;
    bool policyStored;
    size_t queuedAfter;
  };
  const Case cases[] = {
      {"a policy just inside the limit", {200, {}, R"({"policy":{"drop_all":false}})" + pad.substr(40)}, true, 0},
      {"a policy after padding past it", {200, {}, R"({"policy":{"drop_all":false}})" + pad}, false, 0},
      {"megabytes of brackets", {500, {}, std::string(16 << 20, '[')}, false, 2},
  };
  localClient();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeleteFileW(telemetry::policyFilePath().wstring().c_str());
    DeleteFileW(telemetry::backoffFilePath().wstring().c_str());
    DeleteFileW(telemetry::uploadStateFilePath().wstring().c_str());
    queueEvents(1, 2);
    server_.script(c.answer);
    telemetry::scheduleTelemetryUpload();
    ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
    EXPECT_EQ(std::filesystem::exists(telemetry::policyFilePath()), c.policyStored);
    EXPECT_EQ(queued(), c.queuedAfter);
    if (c.answer.status == 500) {
      const int64_t delay = readJson("backend-backoff.json")["backoffUntilUnix"].get<int64_t>() - now();
      EXPECT_GE(delay, 60);
      EXPECT_LE(delay, 71);
    }
  }
}

TEST_F(HostileTelemetryTest, AServerThatDripsIsLeftAtTheDeadline) {
  HttpAnswer drip{200, {}, std::string(100000, ' ')};
  drip.dripMs = 20;  // 2,000 s for the whole body, every byte well inside the idle time-outs
  server_.script(drip);
  localClient();
  queueEvents(1, 3);
  telemetry::scheduleTelemetryUpload();
  ASSERT_TRUE(server_.waitForRequests(1, 10000));
  testclock::advanceMs(telemetry::kUploadDeadlineMs + 1);
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  // No answer in time: the batch stays queued and the uploader backs off.
  EXPECT_EQ(queued(), 3u);
  EXPECT_EQ(readJson("backend-backoff.json")["failureCount"], 1);
}

TEST_F(HostileTelemetryTest, TheFailureCountSaturates) {
  telemetry::setTelemetryEndpoint({});
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (const int64_t stored : {kMax, kMax - 1}) {
    SCOPED_TRACE(stored);
    writeText("backend-backoff.json", json({{"failureCount", stored}}).dump());
    const int64_t delay = telemetry::backoffSecondsFor({500, "", ""});
    EXPECT_GE(delay, 3600);  // the hour of a long run of failures, not the first failure's minute
    EXPECT_LT(delay, 4320);
    telemetry::recordBackoff(delay);
    EXPECT_EQ(telemetry::readFailureCount(), kMax);
  }
}

}  // namespace
