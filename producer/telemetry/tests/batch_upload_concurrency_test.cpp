// The main thread enqueues while the upload thread sends and removes: every event
// arrives exactly once and the queue ends empty.
#include <random>
#include <set>

#include "producer/telemetry/tests/telemetry_fixture.h"
#include "tests/support/host_calls_http.h"

namespace {

using nlohmann::json;
using tesmira::testing::HttpAnswer;
using tesmira::testing::LoopbackHttpServer;
using tesmira::testing::TelemetryTest;
namespace telemetry = tesmira::telemetry;

using UploadConcurrencyTest = TelemetryTest;

TEST_F(UploadConcurrencyTest, EveryEventArrivesOnceWhileTheMainThreadKeepsEnqueueing) {
  LoopbackHttpServer server;
  std::mutex randomMutex;
  std::mt19937 random(7);
  server.setResponder([&](const tesmira::testing::HttpRequestRecord&) {
    std::lock_guard lock(randomMutex);
    HttpAnswer answer{200, {}, "{}"};
    answer.delayMs = int(random() % 6);
    return answer;
  });
  telemetry::TelemetryClient client(server.url("/api/telemetryBatch"));
  constexpr int kEvents = 2000;
  constexpr int kRound = 100;  // keeps fewer than 200 waiting, so the cap never trims
  for (int i = 0; i < kEvents; ++i) {
    client.enqueueEvent({{"event_id", "E" + std::to_string(i)}});
    if (i % kRound == kRound - 1) {
      ASSERT_TRUE(telemetry::waitForIdleUploader(20000));
    }
  }
  ASSERT_TRUE(telemetry::waitForIdleUploader(20000));
  std::multiset<std::string> arrived;
  for (const auto& request : server.requests()) {
    const json batch = json::parse(request.body);
    EXPECT_LE(batch["events"].size(), telemetry::kBatchSize);
    for (const auto& e : batch["events"]) arrived.insert(e["event_id"].get<std::string>());
  }
  EXPECT_EQ(arrived.size(), size_t(kEvents));
  for (int i = 0; i < kEvents; ++i) EXPECT_EQ(arrived.count("E" + std::to_string(i)), 1u) << i;
  EXPECT_EQ(queue(), json::array());
}

}  // namespace
