// The effect fingerprint, the state machine of each surface and the event it reports.
#include <cmath>
#include <limits>
#include <set>

#include "producer/telemetry/camera_state.h"
#include "producer/telemetry/tests/telemetry_fixture.h"
#include "tesmira/platform_testing.h"

namespace {

using nlohmann::json;
using tesmira::CameraStateReason;
using tesmira::CameraStateSnapshot;
using tesmira::TelemetrySurface;
using tesmira::testing::snapshotOf;
using tesmira::testing::TelemetryTest;
namespace telemetry = tesmira::telemetry;

TEST(StrengthPercent, RoundsInSinglePrecisionAndClamps) {
  struct Case {
    float strength;
    int32_t percent;
    const char* level;
  };
  const Case cases[] = {
      {0.285f, 29, "low"},  // 28.5 in f32 rounds away from zero; in f64 it would be 28
      {0.345f, 35, "medium"},
      {0.015f, 2, "low"},
      {0.005f, 1, "off"},
      {0.34f, 34, "medium"},
      {0.67f, 67, "high"},
      {0.02f, 2, "low"},
      {0.01f, 1, "off"},
      {1.5f, 100, "high"},
      {-0.5f, 0, "off"},
      {std::numeric_limits<float>::quiet_NaN(), 0, "off"},
      {std::numeric_limits<float>::infinity(), 100, "high"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(telemetry::strengthPercent(c.strength), c.percent) << c.strength;
    json f = {{"v", telemetry::strengthPercent(c.strength)}};
    EXPECT_EQ(telemetry::effectLevel(f, "v"), c.level) << c.strength;
  }
  EXPECT_EQ(telemetry::effectLevel(json{{"v", "30"}}, "v"), "unknown");
  EXPECT_EQ(telemetry::effectLevel(json::object(), "v"), "unknown");
}

TEST(EffectFingerprint, DefaultSettingsGiveTheKnownTextAndHash) {
  const CameraStateSnapshot s = snapshotOf();
  EXPECT_EQ(telemetry::fingerprintText(s),
            "enabled=1|clearSkin=75|eyeBags=25|wrinkles=65|teeth=45|eyeWhite=22|eyeSharp=25|sharpen=0|perspective=55|"
            "tone=0");
  const json f = telemetry::buildEffectFingerprint(s);
  EXPECT_EQ(f["settings_hash"], "c5cec39189f6cc567409047484dacddedf9c9ef4f87f903f4a723d7cef034ae0");
  EXPECT_EQ(f.size(), 12u);
  EXPECT_EQ(f["active_effects"], json({"skin", "teeth", "eyes"}));
  EXPECT_EQ(f["effect_enabled"], true);
  EXPECT_EQ(telemetry::effectLevelKey(f), "high:medium:low:low:medium");
}

TEST(EffectFingerprint, BypassToneAndZeroStrengths) {
  struct Case {
    const char* name;
    bool bypass;
    float all;  // every effect strength
    int32_t tone;
    json active;
    bool enabled;
    int toneId;
  };
  const Case cases[] = {
      {"bypass", true, 0.5f, 2, json::array(), false, 2},
      {"all at 0.01", false, 0.01f, 0, json::array(), false, 0},
      {"tone 7", false, 0.5f, 7, json({"skin", "teeth", "eyes"}), true, 0},
      {"tone -1", false, 0.5f, -1, json({"skin", "teeth", "eyes"}), true, 0},
  };
  for (const auto& c : cases) {
    CameraStateSnapshot s = snapshotOf();
    s.bypass = c.bypass;
    auto& r = s.settings;
    r.clearSkin = r.eyeBags = r.wrinkles = r.teeth = r.eyeWhite = r.eyeSharp = c.all;
    r.tone = c.tone;
    const json f = telemetry::buildEffectFingerprint(s);
    EXPECT_EQ(f["active_effects"], c.active) << c.name;
    EXPECT_EQ(f["effect_enabled"], c.enabled) << c.name;
    EXPECT_EQ(f["tone_id"], c.toneId) << c.name;
    EXPECT_EQ(telemetry::fingerprintText(s).rfind(c.bypass ? "enabled=0" : "enabled=1", 0), 0u) << c.name;
  }
}

// Distinct values in every field, so a field read under another's name shows.
TEST(EffectFingerprint, EachSettingHasItsOwnNameAndMember) {
  CameraStateSnapshot s = snapshotOf();
  auto& r = s.settings;
  r.clearSkin = 0.11f, r.eyeBags = 0.22f, r.wrinkles = 0.33f, r.teeth = 0.44f, r.eyeWhite = 0.55f, r.eyeSharp = 0.66f;
  r.gain = 0.5f, r.maskBypass = true;  // in neither the text nor the object
  r.sharpen = 0.77f, r.perspectiveStrength = 0.88f, r.tone = 4;
  EXPECT_EQ(telemetry::fingerprintText(s),
            "enabled=1|clearSkin=11|eyeBags=22|wrinkles=33|teeth=44|eyeWhite=55|eyeSharp=66|sharpen=77|perspective=88|"
            "tone=4");
  json f = telemetry::buildEffectFingerprint(s);
  f.erase("settings_hash");
  EXPECT_EQ(f, json({{"effect_enabled", true},
                     {"active_effects", {"skin", "teeth", "eyes"}},
                     {"clear_skin_value", 11},
                     {"eye_bags_value", 22},
                     {"wrinkles_value", 33},
                     {"teeth_value", 44},
                     {"eye_white_value", 55},
                     {"eye_sharp_value", 66},
                     {"sharpen_value", 77},
                     {"perspective_value", 88},
                     {"tone_id", 4}}));
}

TEST(EffectFingerprint, EachStrengthAloneTurnsOnItsGroup) {
  struct Case {
    float tesmira::RetouchSettings::*field;
    json active;
  };
  using R = tesmira::RetouchSettings;
  const Case cases[] = {
      {&R::clearSkin, {"skin"}}, {&R::eyeBags, {"skin"}},  {&R::wrinkles, {"skin"}},     {&R::teeth, {"teeth"}},
      {&R::eyeWhite, {"eyes"}},  {&R::eyeSharp, {"eyes"}}, {&R::sharpen, json::array()}, {&R::perspectiveStrength, json::array()},
  };
  for (const Case& c : cases) {
    CameraStateSnapshot s = snapshotOf();
    auto& r = s.settings;
    r.clearSkin = r.eyeBags = r.wrinkles = r.teeth = r.eyeWhite = r.eyeSharp = r.sharpen = r.perspectiveStrength = 0.0f;
    s.settings.*c.field = 0.02f;
    const json f = telemetry::buildEffectFingerprint(s);
    EXPECT_EQ(f["active_effects"], c.active) << f;
    EXPECT_EQ(f["effect_enabled"], !c.active.empty()) << f;
  }
}

TEST(EffectFingerprint, AFailingPlatformHashLeavesTheHashEmpty) {
  tesmira::platform::faults::inject("BCryptCreateHash", 0xC0000017u, 1);
  EXPECT_EQ(telemetry::buildEffectFingerprint(snapshotOf())["settings_hash"], "");
  EXPECT_EQ(telemetry::sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  tesmira::platform::faults::clearAll();
}

TEST(UtcTimestamp, FormatsAndParsesUtcSeconds) {
  EXPECT_EQ(telemetry::utcTimestamp(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(telemetry::utcTimestamp(1772355907), "2026-03-01T09:05:07Z");
  EXPECT_EQ(telemetry::parseUtcTimestamp("2026-03-01T09:05:07Z"), 1772355907);
  for (const char* bad : {"", "2026-03-01 09:05:07", "tomorrow", "2026-13-01T00:00:00Z"}) {
    EXPECT_EQ(telemetry::parseUtcTimestamp(bad), 0) << bad;
  }
  EXPECT_EQ(telemetry::shortNumber(30.0), "30");
  EXPECT_EQ(telemetry::shortNumber(29.97), "29.97");
  EXPECT_EQ(telemetry::shortNumber(1.0 / 3.0), "0.333333");
}

// The client with its events read back from the queue; no upload happens (default endpoint, no token).
class CameraStateTest : public TelemetryTest {
 protected:
  void SetUp() override {
    TelemetryTest::SetUp();
    client_ = std::make_unique<telemetry::TelemetryClient>("");
  }
  void frames(int count, const CameraStateSnapshot& s, CameraStateReason reason = CameraStateReason::kRetouched) {
    for (int i = 0; i < count; ++i) client_->recordCameraState(s, reason);
  }
  std::unique_ptr<telemetry::TelemetryClient> client_;
};

CameraStateSnapshot stateB() { return snapshotOf(640, 480); }

TEST_F(CameraStateTest, FrameSequences) {
  struct Step {
    int count;
    bool b;  // state B (640x480) instead of A (1280x720)
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    size_t events;
  };
  std::vector<Step> abab;
  for (int i = 0; i < 40; ++i) abab.push_back({1, i % 2 == 1});
  const Case cases[] = {
      {"14 then 1 other", {{14, false}, {1, true}}, 0},
      {"15", {{15, false}}, 1},
      {"ABAB", abab, 0},
      {"A then 20 B", {{15, false}, {20, true}}, 2},
      {"A, 3 B, 30 A", {{15, false}, {3, true}, {30, false}}, 1},
      {"14 B then 1 more B after 14 A", {{14, true}, {14, false}, {1, true}}, 0},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(folder() / "usage-queue.json");
    client_->setSurfaceActive(TelemetrySurface::kVcam, false);
    client_->setSurfaceActive(TelemetrySurface::kVcam, true);
    for (const auto& step : c.steps) frames(step.count, step.b ? stateB() : snapshotOf());
    EXPECT_EQ(queued(), c.events) << c.name;
  }
}

TEST_F(CameraStateTest, ASecondStateNamesThePreviousOne) {
  client_->setSurfaceActive(TelemetrySurface::kVcam, true);
  frames(15, snapshotOf());
  frames(20, stateB());
  const json q = queue();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_TRUE(q[0]["previous_state_id"].is_null());
  EXPECT_EQ(q[0]["state_index"], 1);
  EXPECT_EQ(q[1]["previous_state_id"], q[0]["state_id"]);
  EXPECT_EQ(q[1]["state_index"], 2);
  EXPECT_EQ(q[1]["confirmed_frame_count"], 15);
  EXPECT_EQ(q[1]["output_width"], 640);
  EXPECT_NE(q[0]["event_id"], q[1]["event_id"]);
  EXPECT_EQ(q[0]["session_id"], q[1]["session_id"]);
}

TEST_F(CameraStateTest, ReactivationStartsANewSessionAndReportsAgain) {
  client_->setSurfaceActive(TelemetrySurface::kVcam, true);
  frames(15, snapshotOf());
  client_->setSurfaceActive(TelemetrySurface::kVcam, false);
  frames(15, snapshotOf());  // inactive: nothing
  client_->setSurfaceActive(TelemetrySurface::kVcam, true);
  frames(10, snapshotOf());
  client_->setSurfaceActive(TelemetrySurface::kVcam, false);  // discards the candidate
  client_->setSurfaceActive(TelemetrySurface::kVcam, true);
  frames(14, snapshotOf());
  EXPECT_EQ(queued(), 1u);
  frames(1, snapshotOf());
  const json q = queue();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_NE(q[0]["session_id"], q[1]["session_id"]);
  EXPECT_EQ(q[1]["state_index"], 1);
  EXPECT_TRUE(q[1]["previous_state_id"].is_null());
}

TEST_F(CameraStateTest, BothSurfacesReportTheirOwnEvents) {
  client_->setSurfaceActive(TelemetrySurface::kPreview, true);
  client_->setSurfaceActive(TelemetrySurface::kVcam, true);
  client_->setConsumerKey("msteams.exe");
  frames(15, snapshotOf());
  const json q = queue();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0]["surface"], "preview");
  EXPECT_TRUE(q[0]["consumer_app"].is_null());
  EXPECT_TRUE(q[0]["consumer_raw"].is_null());
  EXPECT_EQ(q[1]["surface"], "vcam");
  EXPECT_EQ(q[1]["consumer_app"], "teams");
  EXPECT_EQ(q[1]["consumer_raw"], "msteams.exe");
  EXPECT_NE(q[0]["session_id"], q[1]["session_id"]);
  EXPECT_NE(q[0]["state_id"], q[1]["state_id"]);
}

TEST_F(CameraStateTest, PreviewOffIsReportedAtOnceAndASteadyStateAgainAfterIt) {
  client_->recordPreviewOff(snapshotOf());  // inactive: nothing
  EXPECT_EQ(queued(), 0u);
  client_->setSurfaceActive(TelemetrySurface::kPreview, true);
  frames(15, snapshotOf());
  client_->recordPreviewOff(snapshotOf());
  frames(15, snapshotOf());
  const json q = queue();
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q[1]["state"], "preview_off");
  EXPECT_EQ(q[1]["reason"], "none");
  EXPECT_EQ(q[1]["confirmed_after_frames"], 0);
  EXPECT_EQ(q[1]["confirmed_frame_count"], 0);
  EXPECT_EQ(q[1]["state_index"], 2);
  EXPECT_EQ(q[1]["previous_state_id"], q[0]["state_id"]);
  EXPECT_EQ(q[2]["previous_state_id"], q[1]["state_id"]);
  EXPECT_EQ(q[2]["state_index"], 3);
}

TEST_F(CameraStateTest, ReasonsAndStateKeys) {
  struct Case {
    const char* name;
    CameraStateReason reason;
    bool zeroStrengths;
    bool bypass;
    const char* state;
    const char* reasonText;
  };
  const Case cases[] = {
      {"retouched", CameraStateReason::kRetouched, false, false, "retouched", "none"},
      {"zero strength", CameraStateReason::kRetouched, true, false, "passthrough", "zero_strength"},
      {"bypass", CameraStateReason::kBypass, false, true, "passthrough", "bypass"},
      {"no face", CameraStateReason::kNoFace, false, false, "passthrough", "no_face"},
      {"model error", CameraStateReason::kModelError, false, false, "passthrough", "model_error"},
      {"unknown reason", CameraStateReason(4), false, false, "passthrough", "none"},
  };
  client_->setSurfaceActive(TelemetrySurface::kVcam, true);
  size_t n = 0;
  for (const auto& c : cases) {
    CameraStateSnapshot s = snapshotOf();
    s.bypass = c.bypass;
    if (c.zeroStrengths) {
      auto& r = s.settings;
      r.clearSkin = r.eyeBags = r.wrinkles = r.teeth = r.eyeWhite = r.eyeSharp = 0.0f;
    }
    frames(15, s, c.reason);
    const json q = queue();
    ASSERT_EQ(q.size(), ++n) << c.name;
    EXPECT_EQ(q.back()["state"], c.state) << c.name;
    EXPECT_EQ(q.back()["reason"], c.reasonText) << c.name;
  }
  CameraStateSnapshot s = snapshotOf();
  client_->setConsumerKey("zoom.exe");
  EXPECT_EQ(client_->stateKey(TelemetrySurface::kVcam, s, telemetry::buildEffectFingerprint(s), 0),
            "retouched:none|high:medium:low:low:medium|1280x720@30|zoom.exe");
  client_->setConsumerKey("");
  s.fps = 29.97;
  EXPECT_EQ(client_->stateKey(TelemetrySurface::kVcam, s, telemetry::buildEffectFingerprint(s), 0),
            "retouched:none|high:medium:low:low:medium|1280x720@29.97|vcam_unknown");
}

TEST_F(CameraStateTest, SharpeningPerspectiveAndToneDoNotMakeANewState) {
  client_->setSurfaceActive(TelemetrySurface::kVcam, true);
  frames(15, snapshotOf());
  CameraStateSnapshot s = snapshotOf();
  s.settings.sharpen = 0.9f;
  s.settings.perspectiveStrength = 0.1f;
  s.settings.tone = 3;
  frames(30, s);
  EXPECT_EQ(queued(), 1u);
}

TEST_F(CameraStateTest, GoldenEvent) {
  tesmira::platform::testclock::freeze();
  client_->setSurfaceActive(TelemetrySurface::kVcam, true);
  client_->setConsumerKey("obs64.exe");
  frames(15, snapshotOf(1280, 720, 30.0));
  json e = queue().at(0);
  ASSERT_EQ(e.size(), 42u);
  for (const char* id : {"install_id", "session_id", "state_id", "event_id"}) {
    ASSERT_TRUE(e[id].is_string()) << id;
    EXPECT_EQ(e[id].get<std::string>().size(), 36u) << id;
    e[id] = "<" + std::string(id) + ">";
  }
  EXPECT_EQ(e["event_time"], telemetry::utcTimestampNow());
  e["event_time"] = "<time>";
  const char* golden =
      R"({"active_effects":["skin","teeth","eyes"],"app_version":"1.5.2","arch":"x64","build":"unknown",)"
      R"("camera_id_hash":null,"camera_kind":"external","clear_skin_value":75,"confirmed_after_frames":15,)"
      R"("confirmed_frame_count":15,"consumer_app":"obs","consumer_bundle_hash":null,"consumer_raw":"obs64.exe",)"
      R"("effect_enabled":true,"event_id":"<event_id>","event_name":"camera_state_confirmed",)"
      R"("event_time":"<time>","eye_bags_value":25,"eye_sharp_value":25,"eye_white_value":22,)"
      R"("install_id":"<install_id>","os_version":"windows","output_height":720,"output_width":1280,)"
      R"("perspective_value":55,"platform":"windows","previous_state_id":null,"protocol_version":1,)"
      R"("reason":"none","requested_fps":30.0,"runtime_version":"windows-vcam-producer","schema_version":1,)"
      R"("session_id":"<session_id>","settings_hash":"c5cec39189f6cc567409047484dacddedf9c9ef4f87f903f4a723d7cef034ae0",)"
      R"("sharpen_value":0,"state":"retouched","state_id":"<state_id>","state_index":1,"surface":"vcam",)"
      R"("teeth_value":45,"tone_id":0,"user_id":null,"wrinkles_value":65})";
  EXPECT_EQ(telemetry::compactJson(e), golden);
}

TEST_F(CameraStateTest, IdentifiersAreUpperCaseGuidsOrTicksWhenNoGuidCanBeMade) {
  const std::string id = telemetry::newGuidString();
  ASSERT_EQ(id.size(), 36u);
  for (size_t i = 0; i < id.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      EXPECT_EQ(id[i], '-');
    } else {
      EXPECT_TRUE(std::isdigit(id[i]) || (id[i] >= 'A' && id[i] <= 'F')) << id;
    }
  }
  tesmira::platform::testclock::freeze();
  tesmira::platform::faults::inject("CoCreateGuid", 0x80004005u, 1);
  EXPECT_EQ(telemetry::newGuidString(), std::to_string(GetTickCount64()));
}

}  // namespace
