// The real producer with the telemetry client as its default: events reach a loopback
// endpoint, an endpoint error is fatal, and hostile telemetry input never stops the video.
#include <atomic>
#include <opencv2/imgcodecs.hpp>

#include <cstring>
#include <sstream>

#include "common/channels.h"
#include "producer/frame_writer.h"
#include "producer/kernel_objects.h"
#include "producer/producer_main.h"
#include "producer/telemetry/telemetry_endpoint.h"
#include "producer/tests/producer_fixture.h"
#include "tests/support/host_calls.h"
#include "tests/support/host_calls_http.h"

namespace tesmira {
namespace {

using nlohmann::json;
using testing::HttpAnswer;
using testing::LoopbackHttpServer;
using testing::OutputCapturingChild;

class TelemetryProducerTest : public testing::ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    repo_ = makeRepoRoot();
    cv::imwrite((root() / "face.png").string(), cv::Mat(240, 320, CV_8UC3, cv::Scalar(90, 120, 200)));
    frames_ = openOrCreateChannel(kFrameChannelName, kFrameChannelBytes);
    ready_ = openOrCreateFrameReadyEvent();
    ASSERT_NE(frames_.view, nullptr);
  }
  void TearDown() override {
    closeHandle(ready_);
    closeMapping(frames_);
    ProducerTest::TearDown();
  }

  std::vector<std::string> stillRun(int frames, const std::string& endpoint) const {
    std::vector<std::string> args{"--camera", "--still", (root() / "face.png").string(), "--headless-frames",
                                  std::to_string(frames), "--repo-root", repo_.string()};
    if (!endpoint.empty()) {
      args.push_back("--telemetry-endpoint");
      args.push_back(endpoint);
    }
    return args;
  }
  int runChild(const std::vector<std::string>& options) {
    std::vector<std::string> args{TESMIRA_PRODUCER_EXE};
    args.insert(args.end(), options.begin(), options.end());
    OutputCapturingChild child(args, root() / "stdout.txt", root() / "stderr.txt");
    EXPECT_TRUE(child.started());
    return child.wait(60000);
  }
  // In this process, with every default seam but the loop's sleeps.
  int runHere(std::vector<std::string> options) {
    options.insert(options.begin(), "producer.exe");
    std::vector<char*> argv;
    for (auto& arg : options) argv.push_back(arg.data());
    ProducerSeams seams;
    seams.sleepMs = [](double) {};
    seams.out = &out_;
    seams.err = &err_;
    return runProducer(int(argv.size()), argv.data(), seams);
  }
  std::filesystem::path telemetryFolder(bool local) const {
    auto folder = root() / "AppData" / "Tesmira" / "Telemetry";
    return local ? folder / "Local" : folder;
  }
  json queueIn(bool local) const {
    return json::parse(testing::readFile(telemetryFolder(local) / "usage-queue.json"), nullptr, false);
  }

  std::filesystem::path repo_;
  MappedChannel frames_;
  HANDLE ready_ = nullptr;
  std::ostringstream out_, err_;
};

TEST_F(TelemetryProducerTest, AStillRunSendsOneEventToTheLoopbackEndpoint) {
  LoopbackHttpServer server;
  server.setDefaultAnswer({200, {}, "{}"});
  EXPECT_EQ(runChild(stillRun(40, server.url("/api/telemetryBatch"))), 0) << testing::readFile(root() / "stderr.txt");
  ASSERT_TRUE(server.waitForRequests(1, 20000));
  EXPECT_NE(testing::readFile(root() / "stdout.txt")
                .find("local telemetry endpoint enabled: " + server.url("/api/telemetryBatch") + "\n"),
            std::string::npos);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const json events = json::parse(requests[0].body)["events"];
  ASSERT_EQ(events.size(), 1u);
  const json& e = events[0];
  EXPECT_EQ(e.size(), 42u);
  EXPECT_EQ(e["surface"], "vcam");
  EXPECT_EQ(e["state_index"], 1);
  EXPECT_EQ(e["confirmed_frame_count"], 15);
  EXPECT_TRUE(e["previous_state_id"].is_null());
  EXPECT_EQ(e["output_width"], 320);
  EXPECT_EQ(e["output_height"], 240);
  EXPECT_EQ(e["requested_fps"], 30.0);
}

TEST_F(TelemetryProducerTest, AnHttpsEndpointIsFatal) {
  EXPECT_EQ(runChild(stillRun(5, "https://127.0.0.1:9/api/telemetryBatch")), 1);
  EXPECT_EQ(testing::readFile(root() / "stderr.txt"), "fatal: Local telemetry endpoint must use http:// loopback.\n");
}

TEST_F(TelemetryProducerTest, AnEventHeldAtExitIsSentByTheNextRun) {
  LoopbackHttpServer server;
  HttpAnswer held{200, {}, "{}"};
  held.hold = true;
  server.script(held);
  server.setDefaultAnswer({200, {}, "{}"});
  const std::string url = server.url("/api/telemetryBatch");
  EXPECT_EQ(runChild(stillRun(30, url)), 0) << testing::readFile(root() / "stderr.txt");
  ASSERT_TRUE(server.waitForRequests(1, 20000));
  const json queued = queueIn(true);
  ASSERT_TRUE(queued.is_array());
  ASSERT_EQ(queued.size(), 1u);
  server.releaseHeld();
  // Fewer than 15 frames: nothing new, only the queued event goes out.
  EXPECT_EQ(runChild(stillRun(10, url)), 0) << testing::readFile(root() / "stderr.txt");
  ASSERT_TRUE(server.waitForRequests(2, 20000));
  const json sent = json::parse(server.requests()[1].body)["events"];
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]["event_id"], queued[0]["event_id"]);
}

TEST_F(TelemetryProducerTest, HostileTelemetryInputNeverStopsTheVideo) {
  struct Case {
    const char* name;
    const char* file;
    std::string text;
  };
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const Case cases[] = {
      {"queue 100,000 levels deep", "usage-queue.json", R"([{"event_id":"A","x":)" + deep + "}]"},
      {"policy 100,000 levels deep", "telemetry-policy.json", R"({"drop_all":true,"x":)" + deep + "}"},
      {"backoff 100,000 levels deep", "backend-backoff.json", R"({"backoffUntilUnix":1,"x":)" + deep + "}"},
      {"drop_all yes", "telemetry-policy.json", R"({"drop_all":"yes"})"},
      {"action a number", "telemetry-policy.json", R"({"rules":[{"action":7,"where":{"surface":"vcam"}}]})"},
      {"in with objects", "telemetry-policy.json",
       R"({"rules":[{"action":"drop","where":{"surface":{"in":[{"x":1}]}}}]})"},
      {"where an array", "telemetry-policy.json", R"({"rules":[{"action":"drop","where":[1]}]})"},
      {"policy cut short", "telemetry-policy.json", R"({"rules":[)"},
      {"expiry text", "telemetry-policy.json", R"({"drop_all":false,"expiresAtUnix":"x"})"},
      {"queue an object", "usage-queue.json", R"({"events":[]})"},
      {"queue of junk", "usage-queue.json", R"([1,"x",null,[]])"},
      {"backoff texts", "backend-backoff.json", R"({"backoffUntilUnix":"x","failureCount":"y"})"},
      {"token a number", "telemetry-token.json", R"({"TelemetryToken":5})"},
      {"upload state an array", "telemetry-policy-upload.json", "[]"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(telemetryFolder(false));
    std::filesystem::create_directories(telemetryFolder(false));
    std::ofstream(telemetryFolder(false) / c.file, std::ios::binary) << c.text;
    EXPECT_EQ(runHere(stillRun(20, "")), 0) << c.name << ": " << err_.str();
    const json q = queueIn(false);
    ASSERT_TRUE(q.is_array()) << c.name;
    EXPECT_EQ(q.size(), 1u) << c.name;
  }
}

TEST_F(TelemetryProducerTest, AConsumerKeyThatIsNotUtf8IsReplacedNotThrown) {
  MappedChannel consumers = openOrCreateChannel(kVcamConsumersChannelName, sizeof(VcamConsumersBlock));
  ASSERT_NE(consumers.view, nullptr);
  auto& block = *static_cast<VcamConsumersBlock*>(consumers.view);
  block.magic = kVcamConsumersMagic;
  block.version = kVcamConsumersVersion;
  block.count = 1;
  std::strcpy(block.entries[0].key, "zoom\xff\xfe.exe");
  // Fresh on every pass: the tick follows the clock for as long as the run lasts, which
  // under a sanitizer is many seconds.
  block.tick = GetTickCount64();
  std::atomic<bool> runDone{false};
  std::thread keeper([&] {
    while (!runDone.load()) {
      block.tick = GetTickCount64();
      Sleep(5);
    }
  });
  const int code = runHere(stillRun(20, ""));
  runDone = true;
  keeper.join();
  closeMapping(consumers);
  EXPECT_EQ(code, 0) << err_.str();
  const json q = queueIn(false);
  ASSERT_TRUE(q.is_array());
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0]["consumer_app"], "zoom");
  EXPECT_EQ(q[0]["consumer_raw"], "zoom\xEF\xBF\xBD\xEF\xBF\xBD.exe");
}

}  // namespace
}  // namespace tesmira
