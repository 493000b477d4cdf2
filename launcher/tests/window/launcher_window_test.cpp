// The real launcher under Xvfb, in a folder with a stand-in producer: what the window
// shows (through the USER stand-in's report), clicks by xdotool, and a screenshot of
// each test beside its output.
#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/vcam_registration.h"
#include "tesmira/test_cameras.h"
#include "tests/support/child_process.h"
#include "tests/support/host_calls.h"
#include "tests/support/machine_fixture.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

const std::string kOwnSuffix = "  [Tesmira \xE2\x80\x94 do not select]";

class LauncherWindowTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_GT(GetEnvironmentVariableW(L"DISPLAY", nullptr, 0), 0u)
        << "the window tests need an X display: ./tesmira test runs them under xvfb-run";
    folder_ = root() / "Tesmira Launcher";
    fs::create_directories(folder_);
    fs::copy_file(TESMIRA_LAUNCHER_EXE, folder_ / "tesmira_vcam_launcher.exe");
    fs::copy_file(TESMIRA_TEST_PRODUCER_EXE, folder_ / "tesmira_windows_retouch_vcam_producer.exe");
    report_ = root() / "launcher-report.json";
    SetEnvironmentVariableW(L"TESMIRA_USER_REPORT", report_.wstring().c_str());
    SetEnvironmentVariableW(L"TESMIRA_ELEVATED", L"1");
    tesmira::platform::testcameras::setV4l2Discovery(false);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    output_ = fs::path(TESMIRA_LAUNCHER_EXE).parent_path() / "window-test-output";
    fs::create_directories(output_);
    name_ = info->name();
  }
  void TearDown() override {
    screenshot();
    launcher_.reset();
    MachineTest::TearDown();
  }

  void start() {
    launcher_ = std::make_unique<tesmira::testing::ChildProcess>(
        std::vector<std::wstring>{(folder_ / "tesmira_vcam_launcher.exe").wstring()});
    ASSERT_TRUE(launcher_->started());
    ASSERT_TRUE(waitFor([](const json& r) { return paneHas(r, "Found "); }, std::chrono::seconds(30)))
        << "the launcher window did not come up";
  }

  std::optional<json> report() const {
    std::ifstream in(report_, std::ios::binary);
    if (!in) return std::nullopt;
    try {
      json r = json::parse(in);
      if (r["windows"].empty()) return std::nullopt;
      return r;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  // Polls the report until `ready` holds; the last report read is kept in last_.
  bool waitFor(const std::function<bool(const json&)>& ready, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      if (auto r = report()) {
        last_ = *r;
        if (ready(*r)) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  static const json& window(const json& r) { return r["windows"][0]; }
  static json control(const json& r, int id) {
    if (!r.is_object() || !r.contains("windows") || r["windows"].empty()) return json();
    for (const auto& c : window(r)["controls"]) {
      if (c["id"] == id) return c;
    }
    return json();
  }
  static std::string pane(const json& r) {
    const json c = control(r, 1010);
    return c.is_null() ? std::string() : c["text"].get<std::string>();
  }
  static bool paneHas(const json& r, const std::string& text) { return pane(r).find(text) != std::string::npos; }
  static std::vector<std::string> paneLines(const json& r) {
    std::vector<std::string> lines;
    const std::string text = pane(r);
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }
  static std::string lastLine(const json& r) {
    const auto lines = paneLines(r);
    return lines.empty() ? std::string() : lines.back();
  }
  static bool enabled(const json& r, int id) { return control(r, id)["enabled"].get<bool>(); }

  std::string xid() const { return std::to_string(window(last_)["nativeId"].get<unsigned long>()); }
  // A real pointer click at the middle of the control's table rectangle.
  void click(int id) {
    const json c = control(last_, id);
    ASSERT_FALSE(c.is_null());
    const int x = c["x"].get<int>() + c["width"].get<int>() / 2;
    const int y = c["y"].get<int>() + std::min(c["height"].get<int>(), 24) / 2;
    tesmira::testing::commandOutput("xdotool mousemove --window " + xid() + " " + std::to_string(x) + " " +
                                    std::to_string(y) + " click 1 2>&1");
  }
  void screenshot() {
    if (name_.empty()) return;
    tesmira::testing::commandOutput("scrot -o '" + (output_ / (name_ + ".png")).string() + "' 2>&1");
    std::ofstream(output_ / (name_ + ".txt")) << pane(last_);
  }

  fs::path folder_, report_, output_;
  std::string name_;
  json last_;
  std::unique_ptr<tesmira::testing::ChildProcess> launcher_;
};

TEST_F(LauncherWindowTest, ShowsEveryControlAtItsTableRectangleWithItsTextAndState) {
  tesmira::platform::testcameras::TestCamera camera;
  camera.friendlyName = L"Integrated Webcam";
  tesmira::platform::testcameras::installTestCamera(camera, 0);
  start();
  ASSERT_TRUE(waitFor([](const json& r) { return paneHas(r, "Found 1 camera device(s)."); }));
  const json& w = window(last_);
  EXPECT_EQ(w["class"], "TesmiraLauncherWindow");
  EXPECT_EQ(w["title"], "Tesmira Launcher");
  EXPECT_EQ(w["clientWidth"], 596);
  EXPECT_EQ(w["clientHeight"], 600);
  EXPECT_NE(w["nativeId"], 0);

  struct Expected {
    int id;
    const char* className;
    const char* text;
    int x, y, width, height;
    bool enabled, checked;
  };
  const Expected expected[] = {
      {0, "BUTTON", "Virtual camera", 10, 12, 560, 60, true, false},
      {1001, "BUTTON", "Register vcam", 24, 34, 160, 28, true, false},
      {1002, "BUTTON", "Unregister vcam", 200, 34, 160, 28, true, false},
      {0, "BUTTON", "Producer settings", 10, 90, 560, 110, true, false},
      {0, "STATIC", "Provider:", 24, 116, 70, 20, true, false},
      {1003, "COMBOBOX", "", 100, 112, 180, 200, true, false},
      {0, "STATIC", "Max width:", 300, 116, 70, 20, true, false},
      {1004, "COMBOBOX", "", 380, 112, 120, 200, true, false},
      {0, "STATIC", "Camera:", 24, 156, 70, 20, true, false},
      {1005, "COMBOBOX", "", 100, 152, 340, 240, true, false},
      {1007, "BUTTON", "Refresh", 450, 151, 100, 26, true, false},
      {1006, "BUTTON", "D3D capture", 100, 180, 120, 20, true, true},
      {0, "BUTTON", "Producer", 10, 214, 560, 60, true, false},
      {1008, "BUTTON", "Start producer", 24, 236, 160, 28, true, false},
      {1009, "BUTTON", "Stop producer", 200, 236, 160, 28, false, false},
      {1010, "EDIT", nullptr, 10, 284, 560, 230, true, false},
  };
  const json& controls = w["controls"];
  ASSERT_EQ(controls.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const Expected& e = expected[i];
    const json& c = controls[i];
    const std::string where = "control " + std::to_string(i) + " (" + c.dump().substr(0, 120) + ")";
    EXPECT_EQ(c["id"], e.id) << where;
    EXPECT_EQ(c["class"], e.className) << where;
    if (e.text) {
      EXPECT_EQ(c["text"], e.text) << where;
    }
    EXPECT_EQ(c["x"], e.x) << where;
    EXPECT_EQ(c["y"], e.y) << where;
    EXPECT_EQ(c["width"], e.width) << where;
    EXPECT_EQ(c["height"], e.height) << where;
    EXPECT_EQ(c["enabled"], e.enabled) << where;
    EXPECT_EQ(c["checked"], e.checked) << where;
    EXPECT_TRUE(c["visible"].get<bool>()) << where;
    EXPECT_EQ(c["fontFace"], "Segoe UI") << where;
    EXPECT_EQ(c["fontHeight"], -14) << where;
  }
  EXPECT_EQ(control(last_, 1003)["items"], json({"GPU (DirectML)", "CPU"}));
  EXPECT_EQ(control(last_, 1003)["selection"], 0);
  EXPECT_EQ(control(last_, 1004)["items"], json({"640", "960", "1280", "1920"}));
  EXPECT_EQ(control(last_, 1004)["selection"], 2);
  EXPECT_EQ(control(last_, 1005)["items"], json({"0: Integrated Webcam"}));
  EXPECT_EQ(control(last_, 1005)["selection"], 0);
  // The launcher runs elevated here: no warning between the two lines.
  EXPECT_EQ(paneLines(last_), (std::vector<std::string>{"Tesmira launcher ready. Folder: " + folder_.string(),
                                                        "Found 1 camera device(s)."}));
}

TEST_F(LauncherWindowTest, StartShowsTheProducersLinesAndStopReturnsToIdle) {
  start();
  const auto clicked = Clock::now();
  click(1008);
  ASSERT_TRUE(waitFor([](const json& r) { return paneHas(r, "Producer started (pid "); })) << pane(last_);
  const double startedMs = std::chrono::duration<double, std::milli>(Clock::now() - clicked).count();
  ASSERT_TRUE(waitFor([](const json& r) { return paneHas(r, "test producer: "); })) << pane(last_);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - clicked).count();
  std::ostringstream figure;
  figure << "Start click to \"Producer started\" in the pane: " << startedMs
         << " ms; to the first producer line in the pane: " << ms << " ms\n";
  std::cout << "[ figure ] " << figure.str();
  std::ofstream(output_ / "start-to-first-line.txt") << figure.str();
  ASSERT_TRUE(waitFor([](const json& r) { return paneHas(r, "[stats] 30.0 fps"); }));
  EXPECT_FALSE(enabled(last_, 1008));
  EXPECT_TRUE(enabled(last_, 1009));
  const auto lines = paneLines(last_);
  const std::string exe = (folder_ / "tesmira_windows_retouch_vcam_producer.exe").string();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "test producer: --camera --no-mirror --provider directml --max-width 1280 --camera-index 0 "
                      "--repo-root " + folder_.string()),
            lines.end())
      << pane(last_);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "d3d capture: 1"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[stats] 30.0 fps, frame 7.1 ms \xE2\x80\x94 retouch 3.2 ms"),
            lines.end());

  click(1009);
  ASSERT_TRUE(waitFor([](const json& r) { return paneHas(r, "Producer stopped."); })) << pane(last_);
  const auto after = paneLines(last_);
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(after[after.size() - 2], "Stopping producer...");
  EXPECT_EQ(after.back(), "Producer stopped.");
  EXPECT_TRUE(enabled(last_, 1008));
  EXPECT_FALSE(enabled(last_, 1009));
}

TEST_F(LauncherWindowTest, ClosingWithTheProducerRunningEndsItAndExitsZero) {
  start();
  click(1008);
  ASSERT_TRUE(waitFor([](const json& r) { return paneHas(r, "[stats]"); })) << pane(last_);
  const std::string text = pane(last_);
  const size_t at = text.find("Producer started (pid ");
  ASSERT_NE(at, std::string::npos);
  const DWORD pid = DWORD(std::stoul(text.substr(at + 22)));
  screenshot();
  name_.clear();  // the window is about to go
  tesmira::testing::commandOutput("xdotool windowfocus --sync " + xid() + " key alt+F4 2>&1");
  EXPECT_EQ(launcher_->wait(20000), std::optional<DWORD>(0));
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!tesmira::testing::processGone(pid) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(tesmira::testing::processGone(pid));
}

TEST_F(LauncherWindowTest, ThePaneShowsTheNewestLineAfterMoreThanTheDefaultLimit) {
  SetEnvironmentVariableW(L"TESMIRA_TEST_PRODUCER", L"flood");
  start();
  click(1008);
  ASSERT_TRUE(waitFor([](const json& r) { return paneHas(r, "last line of the flood"); })) << pane(last_).size();
  const auto lines = paneLines(last_);
  EXPECT_EQ(lines.back(), "last line of the flood");
  EXPECT_LE(pane(last_).size(), 262144u);
  EXPECT_GT(pane(last_).size(), 100000u);
  click(1009);
  ASSERT_TRUE(waitFor([](const json& r) { return lastLine(r) == "Producer stopped."; }));
}

TEST_F(LauncherWindowTest, AProducerEndingByItselfShowsItsLastLineAndTheLauncherReturnsToIdle) {
  SetEnvironmentVariableW(L"TESMIRA_TEST_PRODUCER", L"exit");
  start();
  click(1008);
  ASSERT_TRUE(waitFor([](const json& r) { return paneHas(r, "Producer stopped."); })) << pane(last_);
  const auto lines = paneLines(last_);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "bye");
  EXPECT_TRUE(enabled(last_, 1008));
}

bool classRegistered() {
  HKEY key = nullptr;
  const std::wstring path = std::wstring(L"Software\\Classes\\CLSID\\") + tesmira::kMediaSourceClsidText;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

TEST_F(LauncherWindowTest, RegisterAndUnregisterWriteAndRemoveTheClassAndTheCamera) {
  fs::copy_file(TESMIRA_MEDIA_SOURCE_DLL, folder_ / "tesmira_windows_vcam_source.dll");
  tesmira::platform::testcameras::TestCamera camera;
  camera.friendlyName = L"Integrated Webcam";
  tesmira::platform::testcameras::installTestCamera(camera, 0);
  start();
  ASSERT_FALSE(classRegistered());
  click(1001);
  ASSERT_TRUE(waitFor([](const json& r) { return paneHas(r, "Registered.") || paneHas(r, "Register FAILED"); },
                      std::chrono::seconds(40)))
      << pane(last_);
  ASSERT_TRUE(waitFor([](const json& r) { return paneHas(r, "Found 2 camera device(s)."); })) << pane(last_);
  EXPECT_TRUE(paneHas(last_, "Registered. Tesmira should now appear in OBS / camera apps.")) << pane(last_);
  EXPECT_TRUE(classRegistered());
  const json rows = control(last_, 1005)["items"];
  ASSERT_EQ(rows.size(), 2u) << rows.dump();
  bool ours = false;
  for (const auto& row : rows) ours |= row.get<std::string>().ends_with(kOwnSuffix);
  EXPECT_TRUE(ours) << rows.dump();
  // The physical camera stays the selected row.
  EXPECT_EQ(rows[control(last_, 1005)["selection"].get<int>()].get<std::string>().find("Integrated Webcam") !=
                std::string::npos,
            true);

  click(1002);
  ASSERT_TRUE(waitFor([](const json& r) { return paneHas(r, "Unregister complete."); })) << pane(last_);
  ASSERT_TRUE(waitFor([](const json& r) { return lastLine(r) == "Found 1 camera device(s)."; }))
      << pane(last_);
  EXPECT_TRUE(paneHas(last_, "  device removed.\r\n  COM server unregistered.\r\nUnregister complete.")) << pane(last_);
  EXPECT_FALSE(classRegistered());
  EXPECT_EQ(control(last_, 1005)["items"], json({"0: Integrated Webcam"}));
}

TEST_F(LauncherWindowTest, WithoutADisplayTheLauncherExitsOne) {
  name_.clear();  // nothing to see
  SetEnvironmentVariableW(L"DISPLAY", nullptr);
  SetEnvironmentVariableW(L"WAYLAND_DISPLAY", nullptr);
  tesmira::testing::ChildProcess launcher({(folder_ / "tesmira_vcam_launcher.exe").wstring()});
  ASSERT_TRUE(launcher.started());
  EXPECT_EQ(launcher.wait(20000), std::optional<DWORD>(1));
}

}  // namespace
