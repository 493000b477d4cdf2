#include "tools/demo/demo_launcher.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

#include "common/command_line.h"
#include "common/vcam_registration.h"
#include "tools/demo/demo_camera.h"
#include "tools/demo/demo_processes.h"

namespace tesmira::demo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kStatisticsPrefix = "vcam producer frames=";

// Runs a host tool (xdotool, scrot) through the layer and waits for it.
bool runTool(const std::vector<std::wstring>& args) {
  std::wstring commandLine = joinCommandLine(args);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  const bool ended = WaitForSingleObject(info.hProcess, 10000) == WAIT_OBJECT_0;
  DWORD code = 1;
  if (ended) GetExitCodeProcess(info.hProcess, &code);
  if (!ended) TerminateProcess(info.hProcess, 1);
  CloseHandle(info.hProcess);
  return ended && code == 0;
}

// The launcher's window as the USER stand-in reports it.
class Window {
 public:
  explicit Window(fs::path report) : report_(std::move(report)) {}

  bool waitFor(const std::function<bool(const std::string& pane)>& ready, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      if (read() && ready(pane())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string pane() const { return control(1010).value("text", std::string()); }
  json control(int id) const {
    if (!last_.contains("windows") || last_["windows"].empty()) return json::object();
    for (const auto& c : last_["windows"][0]["controls"]) {
      if (c["id"] == id) return c;
    }
    return json::object();
  }
  std::wstring xid() const {
    if (!last_.contains("windows") || last_["windows"].empty()) return {};
    return std::to_wstring(last_["windows"][0].value("nativeId", 0ul));
  }
  bool click(int id) {
    const json c = control(id);
    if (c.empty() || xid().empty()) return false;
    const int x = c["x"].get<int>() + c["width"].get<int>() / 2;
    const int y = c["y"].get<int>() + c["height"].get<int>() / 2;
    return runTool({L"xdotool", L"mousemove", L"--window", xid(), std::to_wstring(x), std::to_wstring(y), L"click",
                    L"1"});
  }

 private:
  bool read() {
    std::ifstream in(report_, std::ios::binary);
    if (!in) return false;
    try {
      json r = json::parse(in);
      if (!r.contains("windows") || r["windows"].empty()) return false;
      last_ = std::move(r);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

  fs::path report_;
  json last_ = json::object();
};

std::string lineStartingWith(const std::string& pane, const std::string& prefix) {
  const size_t at = pane.find(prefix);
  if (at == std::string::npos) return {};
  return pane.substr(at, pane.find("\r\n", at) - at);
}

}  // namespace

std::string runLauncherStep(const LauncherStep& step) {
  std::ostringstream s;
  s << std::fixed << std::setprecision(1);
  if (GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0) {
    s << "launcher: not run (no X display; ./tesmira demo runs the demo under xvfb-run)\n";
    return s.str();
  }
  const fs::path folder = step.output / "launcher";
  std::error_code ec;
  fs::create_directories(folder);
  fs::copy_file(step.launcher, folder / "tesmira_vcam_launcher.exe", fs::copy_options::overwrite_existing, ec);
  fs::copy_file(step.producer, folder / "tesmira_windows_retouch_vcam_producer.exe",
                fs::copy_options::overwrite_existing, ec);
  fs::copy_file(step.mediaSource, folder / "tesmira_windows_vcam_source.dll", fs::copy_options::overwrite_existing,
                ec);
  if (step.makeDataFolder) step.makeDataFolder(folder);  // the producer's --repo-root is the launcher's folder

  const fs::path report = step.output / "launcher-window.json";
  SetEnvironmentVariableW(L"TESMIRA_USER_REPORT", report.wstring().c_str());
  SetEnvironmentVariableW(L"TESMIRA_ELEVATED", L"1");  // registration writes HKLM
  Program launcher = spawnProgram(folder / "tesmira_vcam_launcher.exe");
  SetEnvironmentVariableW(L"TESMIRA_USER_REPORT", nullptr);
  if (!launcher.process) {
    s << "launcher: could not be started\n";
    return s.str();
  }
  std::cout << "demo: launcher window started (pid " << launcher.id << ") from " << folder.string() << "\n";
  Window window(report);
  auto has = [](const char* text) { return [text](const std::string& pane) { return pane.find(text) != std::string::npos; }; };
  std::string failure;
  std::string statistics;
  double firstStatisticsMs = 0;
  size_t samplesRead = 0;
  bool stoppedShown = false;
  do {
    if (!window.waitFor(has("camera device(s)."), std::chrono::seconds(30))) {
      failure = "the window did not come up";
      break;
    }
    window.click(1001);
    if (!window.waitFor([](const std::string& p) { return p.find("Registered.") != std::string::npos ||
                                                          p.find("Register FAILED") != std::string::npos; },
                        std::chrono::seconds(40))) {
      failure = "Register did not finish";
      break;
    }
    if (window.pane().find("Register FAILED") != std::string::npos) {
      failure = lineStartingWith(window.pane(), "Register FAILED");
      break;
    }
    // The application reads "Tesmira" while the launcher's producer runs.
    std::atomic<bool> reading{true};
    std::string appError;
    std::thread app([&] {
      std::string missing;
      std::unique_ptr<CameraApp> camera = makeCameraApp(missing);
      if (!camera) {
        appError = "missing " + missing;
        return;
      }
      if (std::string error = camera->open(kVirtualCameraFriendlyName); !error.empty()) {
        appError = error;
        return;
      }
      ReceivedSample sample;
      while (reading.load() && camera->next(sample).empty()) ++samplesRead;
      camera->close();
    });
    const auto clicked = Clock::now();
    window.click(1008);
    const bool live = window.waitFor(has(kStatisticsPrefix), std::chrono::seconds(40));
    firstStatisticsMs = std::chrono::duration<double, std::milli>(Clock::now() - clicked).count();
    reading = false;
    app.join();
    statistics = lineStartingWith(window.pane(), kStatisticsPrefix);
    if (!appError.empty()) s << "launcher: the application could not read \"Tesmira\": " << appError << "\n";
    window.click(1009);
    stoppedShown = window.waitFor(has("Producer stopped."), std::chrono::seconds(20));
    if (!live) failure = "no statistics line from the producer within 40 s";
  } while (false);

  runTool({L"scrot", L"-o", L"-a", L"0,0,596,600", (step.output / "launcher.png").wstring()});
  std::ofstream(step.output / "launcher-pane.txt", std::ios::binary) << window.pane();
  if (!window.xid().empty()) runTool({L"xdotool", L"windowfocus", L"--sync", window.xid(), L"key", L"alt+F4"});
  DWORD exitCode = STILL_ACTIVE;
  if (WaitForSingleObject(launcher.process, 15000) == WAIT_OBJECT_0) GetExitCodeProcess(launcher.process, &exitCode);
  if (exitCode == STILL_ACTIVE) {
    killProgram(launcher);
  } else {
    CloseHandle(launcher.process);
  }

  s << "launcher: " << (failure.empty() ? "registered, ran and stopped the producer" : "FAILED: " + failure)
    << " (window on Xvfb, elevated, from " << folder.filename().string()
    << "/ with the producer beside the media source module)\n";
  if (!statistics.empty()) {
    s << "launcher: the producer's first statistics line reached the pane " << firstStatisticsMs
      << " ms after the Start click, while the application read " << samplesRead << " samples from \"Tesmira\":\n  "
      << statistics << "\n";
  }
  std::string rows;
  for (const auto& row : window.control(1005).value("items", json::array())) rows += " [" + row.get<std::string>() + "]";
  s << "launcher: camera rows:" << (rows.empty() ? " none" : rows) << "\n";
  s << "launcher: \"Producer stopped.\" " << (stoppedShown ? "shown" : "NOT shown") << "; window closed with exit code "
    << (exitCode == STILL_ACTIVE ? std::string("none (ended by the demo)") : std::to_string(exitCode)) << "\n";
  s << "launcher: the camera and width chosen in the window go to the producer's command line but do not steer "
       "this run (the producer takes its camera from the control channel)\n";
  s << "launcher: screenshot launcher.png, pane text launcher-pane.txt\n";
  return s.str();
}

}  // namespace tesmira::demo
