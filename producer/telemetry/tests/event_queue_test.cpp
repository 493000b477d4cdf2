// The queue file, the drop policy with its expiry, the upload-interval gate and the atomic write.
#include "producer/telemetry/tests/telemetry_fixture.h"
#include "tesmira/platform_testing.h"

namespace {

using nlohmann::json;
using tesmira::testing::TelemetryTest;
namespace telemetry = tesmira::telemetry;
namespace testclock = tesmira::platform::testclock;
namespace faults = tesmira::platform::faults;

json previewEvent() {
  return {{"event_name", "camera_state_confirmed"}, {"surface", "preview"}, {"consumer_app", nullptr},
          {"effect_enabled", false}, {"state", "passthrough"}, {"requested_fps", 30.0}, {"state_index", 1}};
}
json vcamEvent(const std::string& app = "zoom") {
  return {{"event_name", "camera_state_confirmed"}, {"surface", "vcam"}, {"consumer_app", app},
          {"effect_enabled", true}, {"state", "retouched"}, {"requested_fps", 30.0}, {"state_index", 1}};
}

TEST(DropPolicy, Rules) {
  struct Case {
    const char* name;
    const char* policy;
    bool dropPreview;
    bool dropVcam;
  };
  const Case cases[] = {
      {"no policy", "null", false, false},
      {"drop_all", R"({"drop_all":true})", true, true},
      {"drop_all false", R"({"drop_all":false})", false, false},
      {"surface preview", R"({"rules":[{"action":"drop","where":{"surface":"preview"}}]})", true, false},
      {"field not allowed", R"({"rules":[{"action":"drop","where":{"requested_fps":30}}]})", false, false},
      {"empty where", R"({"rules":[{"action":"drop","where":{}}]})", false, false},
      {"capital Drop", R"({"rules":[{"action":"Drop","where":{"surface":"preview"}}]})", false, false},
      {"in", R"({"rules":[{"action":"drop","where":{"consumer_app":{"in":["zoom","teams"]}}}]})", false, true},
      {"not_in", R"({"rules":[{"action":"drop","where":{"consumer_app":{"not_in":["zoom","teams"]}}}]})", true,
       false},
      {"exists false", R"({"rules":[{"action":"drop","where":{"consumer_app":{"exists":false}}}]})", true, false},
      {"exists true", R"({"rules":[{"action":"drop","where":{"consumer_app":{"exists":true}}}]})", false, true},
      {"bool false", R"({"rules":[{"action":"drop","where":{"effect_enabled":false}}]})", true, false},
      {"text false", R"({"rules":[{"action":"drop","where":{"effect_enabled":"false"}}]})", true, false},
      {"eq absent both", R"({"rules":[{"action":"drop","where":{"consumer_app":{"eq":null}}}]})", true, false},
      {"ne", R"({"rules":[{"action":"drop","where":{"consumer_app":{"ne":"zoom"}}}]})", true, false},
      {"in not array", R"({"rules":[{"action":"drop","where":{"surface":{"in":"preview"}}}]})", false, false},
      {"null condition", R"({"rules":[{"action":"drop","where":{"surface":null}}]})", false, false},
      {"no known member", R"({"rules":[{"action":"drop","where":{"surface":{"like":"p"}}}]})", false, false},
      {"two members, one fails", R"({"rules":[{"action":"drop","where":{"surface":"vcam","state":"passthrough"}}]})",
       false, false},
      {"second rule", R"({"rules":[{"action":"keep"},{"action":"drop","where":{"state":"retouched"}}]})", false,
       true},
      {"rules not array", R"({"rules":{"action":"drop"}})", false, false},
      // Types the policy format does not have: the evaluation fails, the event is kept.
      {"drop_all yes", R"({"drop_all":"yes"})", false, false},
      {"action number", R"({"rules":[{"action":1,"where":{"surface":"preview"}}]})", false, false},
  };
  for (const auto& c : cases) {
    const json policy = json::parse(c.policy);
    EXPECT_EQ(telemetry::shouldDropEvent(previewEvent(), policy), c.dropPreview) << c.name;
    EXPECT_EQ(telemetry::shouldDropEvent(vcamEvent(), policy), c.dropVcam) << c.name;
  }
  EXPECT_TRUE(telemetry::shouldDropEvent({{"state_index", 1}}, json::parse(R"({"rules":[{"action":"drop",
      "where":{"reason":{"not_in":[]}}}]})")));
  // "1" matches 1, a float has at most six significant digits.
  std::string text;
  ASSERT_TRUE(telemetry::jsonScalarText(json(29.97), text));
  EXPECT_EQ(text, "29.97");
  EXPECT_TRUE(telemetry::shouldDropEvent({{"build", 1}}, json::parse(
      R"({"rules":[{"action":"drop","where":{"build":"1"}}]})")));
}

class EventQueueTest : public TelemetryTest {
 protected:
  void SetUp() override {
    TelemetryTest::SetUp();
    testclock::freeze();
    telemetry::setTelemetryEndpoint({});
  }
  int64_t now() const { return telemetry::unixNow(); }
};

TEST_F(EventQueueTest, TheQueueHoldsAtMost200AndDropsTheOldest) {
  for (int i = 1; i <= 201; ++i) telemetry::appendToQueue({{"n", i}});
  const json q = queue();
  ASSERT_EQ(q.size(), 200u);
  EXPECT_EQ(q.front()["n"], 2);
  EXPECT_EQ(q.back()["n"], 201);
}

TEST_F(EventQueueTest, ReadingSkipsNonObjectsAndCorruptFilesReadEmpty) {
  struct Case {
    const char* text;
    size_t events;
  };
  const Case cases[] = {{R"([1,{"a":1},"x"])", 1}, {"{", 0}, {R"({"a":1})", 0}, {"", 0}, {"[[],null,{}]", 1}};
  for (const auto& c : cases) {
    writeText("usage-queue.json", c.text);
    std::lock_guard lock(telemetry::telemetryMutex());
    EXPECT_EQ(telemetry::loadEventQueue().size(), c.events) << c.text;
  }
  writeText("usage-queue.json", "not json");
  telemetry::appendToQueue({{"n", 1}});
  EXPECT_EQ(queue(), json::parse(R"([{"n":1}])"));
}

TEST_F(EventQueueTest, StoredPolicyTtl) {
  struct Case {
    const char* ttl;
    bool stored;
    int64_t expiresIn;
  };
  const Case cases[] = {{"1000000", true, 604800}, {"-5", true, 0}, {"\"x\"", false, 0}, {"null", false, 0},
                        {nullptr, true, 86400},    {"90.5", true, 90}};
  for (const auto& c : cases) {
    std::filesystem::remove(folder() / "telemetry-policy.json");
    const std::string body = c.ttl ? std::string(R"({"policy":{"drop_all":true,"ttl_seconds":)") + c.ttl + "}}"
                                   : std::string(R"({"policy":{"drop_all":true}})");
    telemetry::storePolicyFromResponse(body);
    const json stored = readJson("telemetry-policy.json");
    ASSERT_EQ(stored.is_object(), c.stored) << body;
    if (!c.stored) continue;
    EXPECT_EQ(stored["expiresAtUnix"], now() + c.expiresIn) << body;
    EXPECT_EQ(stored["drop_all"], true);
  }
  // ttl -5: the next read deletes it.
  telemetry::storePolicyFromResponse(R"({"policy":{"ttl_seconds":-5}})");
  EXPECT_TRUE(telemetry::loadDropPolicy().is_null());
  EXPECT_FALSE(std::filesystem::exists(folder() / "telemetry-policy.json"));
}

TEST_F(EventQueueTest, ResponsesWithoutAPolicyKeepTheCachedOne) {
  telemetry::storePolicyFromResponse(R"({"policy":{"drop_all":true}})");
  for (const char* body : {"", "{}", "[]", "not json", R"({"policy":[1]})", R"({"policy":"x"})"}) {
    telemetry::storePolicyFromResponse(body);
    EXPECT_EQ(readJson("telemetry-policy.json")["drop_all"], true) << body;
  }
}

TEST_F(EventQueueTest, PolicyExpiresAfterItsTtl) {
  telemetry::storePolicyFromResponse(R"({"policy":{"drop_all":true,"ttl_seconds":100}})");
  testclock::advanceMs(99'000);
  EXPECT_TRUE(telemetry::loadDropPolicy().is_object());
  testclock::advanceMs(1'000);
  EXPECT_TRUE(telemetry::loadDropPolicy().is_null());
  EXPECT_FALSE(std::filesystem::exists(folder() / "telemetry-policy.json"));
  writeText("telemetry-policy.json", R"({"drop_all":true,"expiresAtUnix":0})");
  EXPECT_TRUE(telemetry::loadDropPolicy().is_object());  // 0 never expires
  writeText("telemetry-policy.json", R"({"drop_all":true,"expiresAtUnix":"soon"})");
  EXPECT_TRUE(telemetry::loadDropPolicy().is_object());  // wrong type reads as 0
}

TEST_F(EventQueueTest, UploadIntervalGate) {
  struct Case {
    const char* policy;
    const char* upload;  // telemetry-policy-upload.json, or null for none
    int64_t ago;
    bool tooSoon;
  };
  const Case cases[] = {
      {R"({"min_upload_interval_seconds":300})", "last", 299, true},
      {R"({"min_upload_interval_seconds":300})", "last", 300, false},
      {R"({"min_upload_interval_seconds":0})", "last", 1, false},
      {R"({"min_upload_interval_seconds":"300"})", "last", 1, false},
      {R"({"min_upload_interval_seconds":300})", nullptr, 0, false},
      {R"({"min_upload_interval_seconds":300})", "garbage", 0, false},
      {"[1]", "last", 1, false},
  };
  for (const auto& c : cases) {
    writeText("telemetry-policy.json", c.policy);
    std::filesystem::remove(folder() / "telemetry-policy-upload.json");
    if (c.upload) {
      const std::string text = std::string(c.upload) == "last"
                                   ? json{{"lastUploadAtUnix", now() - c.ago}}.dump()
                                   : std::string("{\"lastUploadAtUnix\":");
      writeText("telemetry-policy-upload.json", text);
    }
    EXPECT_EQ(telemetry::uploadTooSoon(), c.tooSoon) << c.policy << " " << c.ago;
  }
}

TEST_F(EventQueueTest, AFailedMoveKeepsTheOldFileByteForByteAndLeavesNoTemporaryFile) {
  const std::filesystem::path target = folder() / "usage-queue.json";
  ASSERT_TRUE(telemetry::writeJsonAtomic(target, json::parse(R"([{"old":1}])")));
  const std::string before = tesmira::testing::readFile(target);
  EXPECT_EQ(before, R"([{"old":1}])");
  struct Case {
    int failures;
    bool written;
  };
  for (const Case c : {Case{2, false}, Case{-1, false}, Case{1, true}}) {
    faults::inject("MoveFileExW", ERROR_ACCESS_DENIED, c.failures);
    EXPECT_EQ(telemetry::writeJsonAtomic(target, json::parse(R"([{"new":1}])")), c.written) << c.failures;
    faults::clear("MoveFileExW");
    EXPECT_EQ(tesmira::testing::readFile(target), c.written ? R"([{"new":1}])" : before) << c.failures;
    for (const auto& entry : std::filesystem::directory_iterator(folder())) {
      EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    }
  }
}

TEST_F(EventQueueTest, RemovingSentEventsKeepsEverythingNotSent) {
  // Queue: a b c d b'; sent: b c x (x no longer queued). b appears twice: only the first goes.
  const json a = {{"event_id", "a"}}, b = {{"event_id", "b"}}, c = {{"event_id", "c"}}, d = {{"event_id", "d"}};
  const json b2 = {{"event_id", "b"}, {"state_index", 2}};
  for (const json& e : {a, b, c, d, b, b2}) telemetry::appendToQueue(e);
  telemetry::removeSentEvents({b, c, {{"event_id", "x"}}});
  EXPECT_EQ(queue(), json({a, d, b, b2}));
}

}  // namespace
