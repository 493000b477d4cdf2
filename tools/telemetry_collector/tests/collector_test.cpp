// The collector keeps what the producer's uploader sends, in order, and answers 200 with {}.
#include <gtest/gtest.h>

#include "producer/telemetry/batch_upload.h"
#include "producer/telemetry/telemetry_endpoint.h"
#include "tests/support/machine_fixture.h"
#include "tools/telemetry_collector/collector.h"

namespace {

using CollectorTest = tesmira::testing::MachineTest;
namespace telemetry = tesmira::telemetry;

TEST_F(CollectorTest, KeepsEveryBatchInArrivalOrder) {
  tesmira::tools::TelemetryCollector collector;
  ASSERT_TRUE(collector.listening());
  telemetry::setTelemetryEndpoint(telemetry::parseTelemetryEndpoint(collector.url()));
  const char* bodies[] = {R"({"events":[{"n":1}]})", "not json", R"({"events":[]})"};
  for (const char* body : bodies) {
    const telemetry::TelemetryResponse r = telemetry::postTelemetryBatch(body);
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body, "{}");
  }
  const auto batches = collector.batches();
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[0].path, "/api/telemetryBatch");
  EXPECT_LE(batches[0].arrived, batches[1].arrived);
  EXPECT_EQ(collector.batchesJson(), nlohmann::json::parse(R"([{"events":[{"n":1}]},"not json",{"events":[]}])"));
}

}  // namespace
