// Batches against the loopback server on the test clock: what is sent, and what each
// answer does to the queue and to backend-backoff.json.
#include "producer/telemetry/camera_state.h"
#include "producer/telemetry/tests/telemetry_fixture.h"
#include "tesmira/http_testing.h"
#include "tesmira/platform_testing.h"
#include "tests/support/host_calls_http.h"

namespace {

using nlohmann::json;
using tesmira::testing::HttpAnswer;
using tesmira::testing::LoopbackHttpServer;
using tesmira::testing::TelemetryTest;
using tesmira::testing::UploadTest;
using tesmira::testing::numbered;
namespace telemetry = tesmira::telemetry;
namespace testclock = tesmira::platform::testclock;

constexpr DWORD kIdleMs = 20000;

TEST_F(UploadTest, FortyFiveQueuedEventsGoOutAsTwentyTwentyFive) {
  server_.setDefaultAnswer({200, {}, "{}"});
  localClient();
  queueEvents(1, 45);
  client_->setSurfaceActive(tesmira::TelemetrySurface::kVcam, true);
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 3u);
  std::vector<size_t> sizes;
  int next = 1;
  for (const auto& r : requests) {
    const auto numbers = batchNumbers(r);
    sizes.push_back(numbers.size());
    for (int n : numbers) EXPECT_EQ(n, next++);
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/api/telemetryBatch");
    EXPECT_EQ(r.header("User-Agent"), "TesmiraTelemetry/1.0");
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_FALSE(r.header("Expect"));
    EXPECT_FALSE(r.header("Authorization"));
    EXPECT_EQ(r.body, telemetry::compactJson(json::parse(r.body)));  // compact, keys ascending
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{20, 20, 5}));
  EXPECT_EQ(queue(), json::array());
  EXPECT_EQ(readJson("telemetry-policy-upload.json"), json({{"lastUploadAtUnix", now()}}));
}

TEST_F(UploadTest, EachStatusDecidesTheBatchAndTheBackoff) {
  struct Case {
    const char* name;
    HttpAnswer answer;
    bool closedPort;
    size_t queuedAfter;   // of 3
    int backoffFile;      // 0 deleted, 1 unchanged, 2 written
    int64_t minDelay, maxDelay;
  };
  const std::string ahead = telemetry::utcTimestamp(telemetry::unixNow() + 600);
  const std::string past = telemetry::utcTimestamp(telemetry::unixNow() - 600);
  // Every row starts with an expired backoff of 3 failures, so the fallback is the fourth: 480 to 575 s.
  const Case cases[] = {
      {"200", {200, {}, "{}"}, false, 0, 0, 0, 0},
      {"204 no body", {204, {}, ""}, false, 0, 0, 0, 0},
      {"429 Retry-After 120", {429, {{"Retry-After", "120"}}, ""}, false, 3, 2, 120, 120},
      {"429 Retry-After with text after", {429, {{"Retry-After", " +90 s"}}, ""}, false, 3, 2, 90, 90},
      {"503 Retry-After as a date", {503, {{"Retry-After", "Wed, 21 Oct 2026 07:28:00 GMT"}}, ""}, false, 3, 2, 480,
       575},
      {"503 backoff_seconds 100000", {503, {}, R"({"backoff_seconds":100000})"}, false, 3, 2, 86400, 86400},
      {"500 backoff_seconds -4", {500, {}, R"({"backoff_seconds":-4})"}, false, 3, 2, 1, 1},
      {"500 backoff_until ahead", {500, {}, R"({"backoff_until":")" + ahead + "\"}"}, false, 3, 2, 600, 600},
      {"500 backoff_until past", {500, {}, R"({"backoff_until":")" + past + "\"}"}, false, 3, 2, 1, 1},
      {"500 backoff_seconds text", {500, {}, R"({"backoff_seconds":"9"})"}, false, 3, 2, 480, 575},
      {"408", {408, {}, ""}, false, 3, 2, 480, 575},
      {"400", {400, {}, ""}, false, 0, 1, 0, 0},
      {"304", {304, {}, ""}, false, 0, 1, 0, 0},
      {"401", {401, {}, ""}, false, 0, 2, 480, 575},
      {"403 Retry-After 5", {403, {{"Retry-After", "5"}}, ""}, false, 0, 2, 5, 5},
      {"closed port", {}, true, 3, 2, 480, 575},
  };
  for (const auto& c : cases) {
    std::unique_ptr<LoopbackHttpServer> target = std::make_unique<LoopbackHttpServer>();
    telemetry::setTelemetryEndpoint(telemetry::parseTelemetryEndpoint(target->url("/b")));
    const uint16_t port = target->port();
    if (c.closedPort) {
      target.reset();
    } else {
      target->script(c.answer);
      target->setDefaultAnswer({599, {}, ""});  // a second request would show up as a failure
    }
    std::filesystem::remove_all(folder());
    const json earlier = {{"backoffUntilUnix", now() - 10}, {"failureCount", 3}};
    writeText("backend-backoff.json", earlier.dump());
    queueEvents(1, 3);
    telemetry::scheduleTelemetryUpload();
    ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs)) << c.name;
    if (target) {
      EXPECT_EQ(target->requestCount(), 1u) << c.name;
    }
    EXPECT_EQ(queued(), c.queuedAfter) << c.name;
    const json backoff = readJson("backend-backoff.json");
    if (c.backoffFile == 0) {
      EXPECT_FALSE(std::filesystem::exists(folder() / "backend-backoff.json")) << c.name;
    } else if (c.backoffFile == 1) {
      EXPECT_EQ(backoff, earlier) << c.name;
    } else {
      EXPECT_EQ(backoff["failureCount"], 4) << c.name;
      const int64_t delay = backoff["backoffUntilUnix"].get<int64_t>() - now();
      EXPECT_GE(delay, c.minDelay) << c.name;
      EXPECT_LE(delay, c.maxDelay) << c.name;
    }
    (void)port;
  }
}

TEST_F(UploadTest, RepeatedFailuresBackOffLongerAndHoldNewEvents) {
  server_.setDefaultAnswer({500, {}, ""});
  localClient();
  queueEvents(1, 3);
  telemetry::scheduleTelemetryUpload();
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  json backoff = readJson("backend-backoff.json");
  int64_t delay = backoff["backoffUntilUnix"].get<int64_t>() - now();
  EXPECT_GE(delay, 60);
  EXPECT_LE(delay, 71);
  EXPECT_EQ(backoff["failureCount"], 1);
  // Events queued during the backoff are kept but not sent.
  client_->enqueueEvent(numbered(4));
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  EXPECT_EQ(server_.requestCount(), 1u);
  EXPECT_EQ(queued(), 4u);
  testclock::advanceMs(uint64_t(delay) * 1000);
  client_->enqueueEvent(numbered(5));
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  EXPECT_EQ(server_.requestCount(), 2u);
  backoff = readJson("backend-backoff.json");
  delay = backoff["backoffUntilUnix"].get<int64_t>() - now();
  EXPECT_GE(delay, 120);
  EXPECT_LE(delay, 143);
  EXPECT_EQ(backoff["failureCount"], 2);
  EXPECT_EQ(batchNumbers(server_.requests()[1]), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(UploadTest, APolicyInTheAnswerIsStoredAndDropsLaterEvents) {
  server_.script({200, {}, R"({"policy":{"drop_all":true}})"});
  localClient();
  queueEvents(1, 2);
  telemetry::scheduleTelemetryUpload();
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(readJson("telemetry-policy.json")["expiresAtUnix"], now() + 86400);
  client_->enqueueEvent(numbered(3));
  EXPECT_EQ(queued(), 0u);
  testclock::advanceMs(86400'000);
  client_->enqueueEvent(numbered(4));
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  EXPECT_EQ(server_.requestCount(), 2u);
}

TEST_F(UploadTest, TheMinimumIntervalHoldsTheNextBatch) {
  server_.script({200, {}, R"({"policy":{"min_upload_interval_seconds":300}})"});
  server_.setDefaultAnswer({200, {}, "{}"});
  localClient();
  queueEvents(1, 25);
  telemetry::scheduleTelemetryUpload();
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  EXPECT_EQ(server_.requestCount(), 1u);
  EXPECT_EQ(queued(), 5u);
  testclock::advanceMs(299'000);
  telemetry::scheduleTelemetryUpload();
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  EXPECT_EQ(server_.requestCount(), 1u);
  testclock::advanceMs(1'000);
  telemetry::scheduleTelemetryUpload();
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  EXPECT_EQ(server_.requestCount(), 2u);
  EXPECT_EQ(queued(), 0u);
}

TEST_F(UploadTest, EventsQueuedWhileABatchIsInFlightGoInTheNextBatch) {
  HttpAnswer held{200, {}, "{}"};
  held.hold = true;
  server_.script(held);
  server_.setDefaultAnswer({200, {}, "{}"});
  localClient();
  queueEvents(1, 1);
  telemetry::scheduleTelemetryUpload();
  ASSERT_TRUE(server_.waitForHeld(1, kIdleMs));
  client_->enqueueEvent(numbered(2));
  client_->enqueueEvent(numbered(3));
  EXPECT_EQ(server_.requestCount(), 1u);
  server_.releaseHeld();
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(batchNumbers(requests[0]), std::vector<int>{1});
  EXPECT_EQ(batchNumbers(requests[1]), (std::vector<int>{2, 3}));
  EXPECT_EQ(queued(), 0u);
}

// The cap trims the front while a batch is in flight: after its 2xx only the events it
// carried go, the unsent ones stay.
TEST_F(UploadTest, ASuccessfulBatchRemovesOnlyTheEventsItCarried) {
  HttpAnswer held{200, {}, "{}"};
  held.hold = true;
  server_.script(held);
  server_.script(held);
  server_.setDefaultAnswer({503, {}, ""});
  localClient();
  queueEvents(1, 200);
  telemetry::scheduleTelemetryUpload();
  ASSERT_TRUE(server_.waitForHeld(1, kIdleMs));
  for (int i = 201; i <= 205; ++i) client_->enqueueEvent(numbered(i));  // trims 1..5
  server_.releaseHeld();
  ASSERT_TRUE(server_.waitForRequests(2, kIdleMs));
  ASSERT_TRUE(server_.waitForHeld(1, kIdleMs));
  const json q = queue();
  ASSERT_EQ(q.size(), 185u);
  EXPECT_EQ(q.front()["n"], 21);
  EXPECT_EQ(q.back()["n"], 205);
  EXPECT_EQ(batchNumbers(server_.requests()[1]).front(), 21);
  server_.releaseHeld();
}

TEST_F(UploadTest, WrongTypedFilesReadAsTheirDefaults) {
  server_.setDefaultAnswer({200, {}, "{}"});
  localClient();
  writeText("backend-backoff.json", R"({"backoffUntilUnix":"never","failureCount":[1]})");
  writeText("telemetry-policy.json", R"({"min_upload_interval_seconds":"300","drop_all":"yes"})");
  writeText("telemetry-policy-upload.json", R"({"lastUploadAtUnix":true})");
  EXPECT_EQ(telemetry::readBackoffUntil(), 0);
  EXPECT_EQ(telemetry::readFailureCount(), 0);
  client_->enqueueEvent(numbered(1));
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  EXPECT_EQ(server_.requestCount(), 1u);
  EXPECT_EQ(queued(), 0u);
}

TEST_F(UploadTest, BackoffFallbackGrowsToAnHour) {
  telemetry::setTelemetryEndpoint({});
  struct Case {
    int earlierFailures;
    int64_t base;
  };
  for (const Case c : {Case{0, 60}, Case{1, 120}, Case{2, 240}, Case{5, 1920}, Case{6, 3600}, Case{40, 3600}}) {
    writeText("backend-backoff.json", json({{"failureCount", c.earlierFailures}}).dump());
    for (int i = 0; i < 5; ++i) {
      const int64_t delay = telemetry::backoffSecondsFor({500, "", ""});
      EXPECT_GE(delay, c.base) << c.earlierFailures;
      EXPECT_LT(delay, c.base + c.base / 5) << c.earlierFailures;
      testclock::advanceMs(7);
    }
  }
  // A number past 64 bits falls through to the fallback (the 41st failure here).
  const int64_t overflow = telemetry::backoffSecondsFor({429, "", "99999999999999999999"});
  EXPECT_GE(overflow, 3600);
  EXPECT_LT(overflow, 4320);
  EXPECT_EQ(telemetry::backoffSecondsFor({429, "", "-9223372036854775808"}), 1);
}

// The secure default endpoint, pointed at loopback HTTPS: a token goes out only there,
// and only when it is 32 to 256 characters.
class TokenTest : public UploadTest {};

TEST_F(TokenTest, TheBearerTokenGoesOnlyToTheSecureEndpoint) {
  const auto& certs = tesmira::testing::TestCertificates::get();
  tesmira::platform::http::trustRootCertificate("telemetry-test-root", certs.caPem);
  LoopbackHttpServer secure(LoopbackHttpServer::Tls{certs.serverCertPem, certs.serverKeyPem});
  secure.setDefaultAnswer({200, {}, "{}"});
  telemetry::overrideDefaultEndpointForTesting(L"127.0.0.1", secure.port());
  client_ = std::make_unique<telemetry::TelemetryClient>("");
  struct Case {
    const char* name;
    json file;
    bool sent;
  };
  const std::string t20(20, 'a'), t32(32, 'b'), t256(256, 'c'), t257(257, 'd');
  const Case cases[] = {
      {"20 characters", {{"TelemetryToken", t20}}, false},
      {"32 characters", {{"TelemetryToken", t32}}, true},
      {"256 characters", {{"TelemetryToken", t256}}, true},
      {"257 characters", {{"TelemetryToken", t257}}, false},
      {"a number", {{"TelemetryToken", 12345678901234567890ull}}, false},
      {"lower-case key", {{"telemetryToken", t32}}, true},
      {"upper-case key wins", {{"TelemetryToken", t256}, {"telemetryToken", t32}}, true},
      {"not an object", json::array({t32}), false},
  };
  int n = 0;
  for (const auto& c : cases) {
    writeText("telemetry-token.json", c.file.dump());
    const size_t before = secure.requestCount();
    client_->enqueueEvent(numbered(++n));
    ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
    EXPECT_EQ(secure.requestCount(), before + (c.sent ? 1 : 0)) << c.name;
    if (!c.sent) continue;
    const auto request = secure.requests().back();
    const std::string token =
        c.file.contains("TelemetryToken") ? c.file["TelemetryToken"].get<std::string>() : t32;
    EXPECT_EQ(request.header("Authorization"), "Bearer " + token) << c.name;
    EXPECT_EQ(queued(), 0u) << c.name;
  }
  // The local endpoint never reads the token, although a file sits in its folder.
  LoopbackHttpServer local;
  local.setDefaultAnswer({200, {}, "{}"});
  client_ = std::make_unique<telemetry::TelemetryClient>(local.url("/"));
  writeText("telemetry-token.json", json({{"TelemetryToken", t32}}).dump());
  client_->enqueueEvent(numbered(100));
  ASSERT_TRUE(telemetry::waitForIdleUploader(kIdleMs));
  ASSERT_EQ(local.requestCount(), 1u);
  EXPECT_FALSE(local.requests()[0].header("Authorization"));
}

}  // namespace
