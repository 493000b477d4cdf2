#pragma once
// A machine with APPDATA under its root and helpers to read the telemetry files.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "producer/telemetry/batch_upload.h"
#include "producer/telemetry/event_queue.h"
#include "producer/telemetry/telemetry_client.h"
#include "producer/telemetry/telemetry_endpoint.h"
#include "tesmira/platform_testing.h"
#include "tests/support/host_calls_http.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::testing {

class TelemetryTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    SetEnvironmentVariableW(L"APPDATA", (root() / "AppData").wstring().c_str());
    SetEnvironmentVariableW(L"ProgramData", (root() / "ProgramData").wstring().c_str());
  }
  void TearDown() override {
    EXPECT_TRUE(telemetry::waitForIdleUploader(20000));
    // The endpoint is process-wide: the next test in this binary starts from the default.
    telemetry::clearDefaultEndpointOverrideForTesting();
    telemetry::setTelemetryEndpoint({});
    MachineTest::TearDown();
  }

  std::filesystem::path folder() const { return telemetry::telemetryFolder(); }
  nlohmann::json readJson(const std::string& name) const {
    std::ifstream in(folder() / name, std::ios::binary);
    return in ? nlohmann::json::parse(in, nullptr, false) : nlohmann::json(nlohmann::json::value_t::discarded);
  }
  void writeText(const std::string& name, const std::string& text) const {
    std::filesystem::create_directories(folder());
    std::ofstream(folder() / name, std::ios::binary | std::ios::trunc) << text;
  }
  nlohmann::json queue() const { return readJson("usage-queue.json"); }
  size_t queued() const {
    auto q = queue();
    return q.is_array() ? q.size() : 0;
  }
};

inline nlohmann::json numbered(int n) {
  return {{"event_id", "E" + std::to_string(n)}, {"surface", "vcam"}, {"n", n}};
}

// Uploads to a loopback server on a frozen test clock.
class UploadTest : public TelemetryTest {
 protected:
  void SetUp() override {
    TelemetryTest::SetUp();
    platform::testclock::freeze();
  }
  // A client for the local endpoint of this server.
  void localClient() { client_ = std::make_unique<telemetry::TelemetryClient>(server_.url("/api/telemetryBatch")); }
  void queueEvents(int from, int to) {
    std::vector<nlohmann::json> events;
    for (int i = from; i <= to; ++i) events.push_back(numbered(i));
    ASSERT_TRUE(telemetry::writeJsonArrayAtomic(telemetry::queueFilePath(), events));
  }
  int64_t now() const { return telemetry::unixNow(); }
  static std::vector<int> batchNumbers(const HttpRequestRecord& request) {
    std::vector<int> numbers;
    const nlohmann::json batch = nlohmann::json::parse(request.body);
    for (const auto& e : batch["events"]) numbers.push_back(e["n"]);
    return numbers;
  }

  LoopbackHttpServer server_;
  std::unique_ptr<telemetry::TelemetryClient> client_;
};

inline CameraStateSnapshot snapshotOf(uint32_t width = 1280, uint32_t height = 720, double fps = 30.0) {
  CameraStateSnapshot s;
  s.width = width;
  s.height = height;
  s.fps = fps;
  s.provider = "cpu";
  return s;
}

}  // namespace tesmira::testing
