// tesmira_demo: the whole road on one machine folder. Adds a file camera playing a face
// video, installs the service from an install folder (it registers the media source and the
// "Tesmira" virtual camera and holds the channels), relaunches the agent in the user's
// session, opens "Tesmira" as an application through the frame server stand-in, records,
// closes, waits for the agent to stop the producer, ends the agent, uninstalls, and leaves
// snapshots, a video and a summary of what was measured.
#include <windows.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <mfapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_settings.h"
#include "common/environment.h"
#include "common/error_text.h"
#include "common/program_data.h"
#include "common/pixel_format.h"
#include "common/vcam_registration.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"
#include "tools/demo/demo_agent.h"
#include "tools/demo/demo_camera.h"
#include "tools/demo/demo_landmarks.h"
#include "tools/demo/demo_launcher.h"
#include "tools/demo/demo_service.h"
#include "tools/demo/demo_processes.h"
#include "tools/demo/demo_retouch.h"
#include "tools/demo/demo_telemetry.h"

namespace tesmira::demo {
namespace fs = std::filesystem;
namespace {

constexpr double kRecordSeconds = 6.0;
constexpr const wchar_t* kFileCameraName = L"Demo Face Camera";

struct Paths {
  fs::path repo, agent, producer, mediaSource, video, picture, data, output, machine;
};

std::string narrow(const std::wstring& text) { return fs::path(text).string(); }

double msBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Fails loudly, naming every piece that is not there.
bool findPieces(Paths& p) {
  std::error_code ec;
  p.repo = TESMIRA_SOURCE_DIR;
  if (auto repo = environmentValue(L"TESMIRA_REPO")) p.repo = *repo;
  const auto media = environmentValue(L"TESMIRA_MEDIA_DIR");
  p.video = (media ? fs::path(*media) : p.repo / ".cache" / "media") / "Megamind.avi";
  p.picture = p.video.parent_path() / "astronaut.png";
  const auto data = environmentValue(L"TESMIRA_DATA_DIR");
  p.data = data ? fs::path(*data) : p.repo / ".cache" / "data";
  p.agent = TESMIRA_AGENT_EXE;
  p.producer = TESMIRA_PRODUCER_EXE;
  p.mediaSource = TESMIRA_MEDIA_SOURCE_DLL;
  const std::pair<fs::path, const char*> pieces[] = {
      {p.agent, "the session agent (agent/)"},
      {p.producer, "the producer (producer/)"},
      {p.mediaSource, "the media source module (vcam_source/)"},
      {p.video, "the face video (tools/setup/fetch-media.sh)"},
      {p.data / "libmediapipe.dll", "the data folder with its landmark library (./tesmira build)"},
  };
  bool complete = true;
  for (const auto& [path, what] : pieces) {
    if (!fs::exists(path, ec)) {
      if (complete) std::cerr << "demo: the whole road cannot run yet; missing:\n";
      std::cerr << "  - " << what << ": " << path.string() << "\n";
      complete = false;
    }
  }
  return complete;
}

void setAgentValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, agent::kAgentSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}
void setAgentString(const wchar_t* name, const std::wstring& value) {
  setAgentValue(name, REG_SZ, value.c_str(), DWORD((value.size() + 1) * sizeof(wchar_t)));
}

// The sample is a frame that the producer published when it equals a frame-channel slot.
bool isPublishedFrame(const ServiceChannels& channels, const ReceivedSample& sample) {
  const RetouchFrameHeader* header = channels.frame();
  for (uint32_t slot = 0; slot < 2; ++slot) {
    const RetouchFrameSlot d = header->slots[slot];
    if (d.width != sample.width || d.height != sample.height || d.stride < d.width) continue;
    const uint64_t rows = nv12Rows(d.height);
    if (rows * d.stride > kFrameSlotBytes) continue;
    const uint8_t* data = channels.frameBytes() + frameSlotDataOffset(slot);
    bool same = true;
    for (uint64_t row = 0; row < rows && same; ++row) {
      same = std::memcmp(data + row * d.stride, sample.nv12.data() + row * sample.width, sample.width) == 0;
    }
    if (same) return true;
  }
  return false;
}

uint64_t fingerprint(const std::vector<uint8_t>& bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < bytes.size(); i += 7) hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

cv::Mat toBgr(const ReceivedSample& sample) {
  cv::Mat nv12(int(nv12Rows(sample.height)), int(sample.width), CV_8UC1, const_cast<uint8_t*>(sample.nv12.data()));
  cv::Mat bgr;
  cv::cvtColor(nv12, bgr, cv::COLOR_YUV2BGR_NV12);
  return bgr;
}

const char* stateName(uint32_t state) {
  switch (state) {
    case kProducerStateNone: return "none";
    case kProducerStateStarting: return "starting";
    case kProducerStateLive: return "live";
    case kProducerStateNoCamera: return "no camera";
    case kProducerStateCameraPermissionDenied: return "camera permission denied";
    case kProducerStateCameraBusy: return "camera busy";
    case kProducerStateCaptureFailure: return "capture failure";
    case kProducerStateModelFailure: return "model failure";
    default: return "unknown";
  }
}

struct Recording {
  size_t samples = 0;
  size_t published = 0;
  size_t distinctPublished = 0;
  uint32_t width = 0, height = 0;
  std::optional<double> firstSampleMs, firstPublishedMs, lastSampleMs;
  std::optional<double> firstDistinctMs, lastDistinctMs;
  std::vector<std::string> snapshots;
  std::vector<std::pair<double, std::string>> states;  // producer states as they changed
  std::string error;
};

Recording record(CameraApp& app, const ServiceChannels& channels, Clock::time_point opened, const fs::path& out) {
  Recording r;
  cv::VideoWriter video;
  uint64_t lastPublished = 0;
  int snapshotNumber = 0;
  int nextLiveSnapshot = 0;
  uint32_t lastState = UINT32_MAX;
  bool cardSavedForState = false;
  ReceivedSample sample;
  while (msBetween(opened, Clock::now()) < kRecordSeconds * 1000) {
    if (std::string error = app.next(sample); !error.empty()) {
      r.error = error;
      break;
    }
    const double at = msBetween(opened, Clock::now());
    const uint32_t state = channels.status()->state;
    if (state != lastState) {
      r.states.push_back({at, stateName(state)});
      lastState = state;
      cardSavedForState = false;
    }
    const bool published = isPublishedFrame(channels, sample);
    ++r.samples;
    r.width = sample.width;
    r.height = sample.height;
    if (!r.firstSampleMs) r.firstSampleMs = at;
    r.lastSampleMs = at;
    const cv::Mat bgr = toBgr(sample);
    if (!video.isOpened()) {
      video.open((out / "received.avi").string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0, bgr.size());
    }
    if (video.isOpened()) video.write(bgr);
    auto snapshot = [&](const std::string& what) {
      std::ostringstream name;
      name << std::setw(2) << std::setfill('0') << ++snapshotNumber << "-" << what << "-" << std::lround(at)
           << "ms.png";
      cv::imwrite((out / name.str()).string(), bgr);
      r.snapshots.push_back(name.str());
    };
    // What the application shows before live video: one snapshot per producer state.
    if (!published) {
      if (!cardSavedForState) {
        std::string what = std::string("card-while-") + stateName(state);
        std::replace(what.begin(), what.end(), ' ', '-');
        snapshot(what);
        cardSavedForState = true;
      }
      continue;
    }
    ++r.published;
    if (!r.firstPublishedMs) r.firstPublishedMs = at;
    const uint64_t print = fingerprint(sample.nv12);
    if (print != lastPublished) {
      ++r.distinctPublished;
      if (!r.firstDistinctMs) r.firstDistinctMs = at;
      r.lastDistinctMs = at;
      lastPublished = print;
    }
    // The first live frame, then one a second.
    if (at >= *r.firstPublishedMs + 1000.0 * nextLiveSnapshot) {
      snapshot("live");
      ++nextLiveSnapshot;
    }
  }
  return r;
}

// The producer's states as it writes them, polled every millisecond: the samples alone see a
// change only when the next one arrives.
class StateWatch {
 public:
  StateWatch(const ServiceChannels& channels, Clock::time_point opened)
      : channels_(channels), opened_(opened), thread_([this] { poll(); }) {}
  ~StateWatch() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // The first time each state was seen, in ms after open (after stop()).
  std::optional<double> firstSeen(uint32_t state) const {
    const auto found = first_.find(state);
    return found == first_.end() ? std::nullopt : std::optional<double>(found->second);
  }

 private:
  void poll() {
    while (!stop_) {
      const uint32_t state = std::atomic_ref<uint32_t>(channels_.status()->state).load(std::memory_order_relaxed);
      first_.try_emplace(state, msBetween(opened_, Clock::now()));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  const ServiceChannels& channels_;
  Clock::time_point opened_;
  std::map<uint32_t, double> first_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Where the first-frame latency goes: the agent's start of the producer, its first state,
// live, and the first live frame; the states as the samples saw them (one sample apart).
std::string firstFrameTimeline(const Recording& rec, const std::vector<ProcessWatch::Run>& runs,
                               const StateWatch& states, Clock::time_point opened) {
  std::ostringstream s;
  s << "first-frame timeline (ms after open):";
  if (!runs.empty()) s << " producer process " << std::lround(msBetween(opened, runs.front().started));
  for (const uint32_t state : {kProducerStateStarting, kProducerStateLive}) {
    if (const auto at = states.firstSeen(state)) s << ", " << stateName(state) << " " << std::lround(*at);
  }
  s << ", first live frame " << (rec.firstPublishedMs ? std::to_string(std::lround(*rec.firstPublishedMs)) : "none");
  return s.str();
}

double fileCameraRate(const fs::path& video) {
  cv::VideoCapture capture(video.string());
  return capture.isOpened() ? capture.get(cv::CAP_PROP_FPS) : 0.0;
}

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int run() {
  Paths p;
  if (!findPieces(p)) return 2;
  p.output = p.repo / "demo-output";
  p.machine = p.output / "machine";
  std::error_code ec;
  fs::remove_all(p.output, ec);
  fs::create_directories(p.machine);
  platform::setMachineRoot(p.machine.string());
  // Every process of the road (the producer reads it from its environment) logs into the machine.
  SetEnvironmentVariableW(L"ProgramData", programDataFolder().wstring().c_str());
  std::cout << "demo: fresh machine folder " << p.machine.string() << "\n";
  ServiceDemo service({TESMIRA_SERVICE_EXE, p.agent, p.producer, p.mediaSource, p.machine / "Program Files" / "Tesmira"});
  if (std::string error = service.describeSession(L"demo", 1); !error.empty()) {
    std::cerr << "demo: " << error << "\n";
    return 1;
  }

  // The physical camera: a file camera playing the face video.
  platform::testcameras::setV4l2Discovery(false);
  platform::testcameras::installFileCamera(kFileCameraName, p.video.string());
  const double cameraRate = fileCameraRate(p.video);
  std::cout << "demo: file camera \"" << narrow(kFileCameraName) << "\" plays " << p.video.filename().string() << " at "
            << cameraRate << " fps\n";

  // The administrator's install: the service registers the camera and creates the channels.
  ServiceChannels channels;
  std::string step = service.layOut();
  if (step.empty()) step = service.install();
  if (step.empty()) {
    if (const std::wstring missing = channels.open(); !missing.empty()) step = "the service created no " + narrow(missing);
  }
  if (!step.empty()) {
    std::cerr << "demo: " << step << "\n" << service.summary();
    return 1;
  }
  std::cout << "demo: service installed and RUNNING; its channels opened under " << narrow(channels.prefixUsed()) << "\n";

  const uint32_t capabilitiesBefore = capabilitySequence();

  const DemoTelemetry telemetry(p.output / "data");
  setAgentString(L"RepoRoot", demo::copyDataFolder(p.repo, p.output / "data").wstring());
  ProcessWatch producerWatch(service.installed(L"tesmira_windows_retouch_vcam_producer.exe"));
  if (std::string error = service.relaunchAgent(); !error.empty()) {
    std::cerr << "demo: " << error << "\n";
    service.endAgent();
    return 1;
  }
  const Clock::time_point agentStarted = service.relaunched();
  std::cout << "demo: agent relaunched in session 1 (pid " << service.agentPid() << ")\n";
  const CapabilityPublication modes = waitForCapabilities(capabilitiesBefore, agentStarted, std::chrono::seconds(10));
  std::string published;
  for (const CameraCapability& m : modes.modes) published += (published.empty() ? "" : ", ") + modeText(m);
  if (!modes.published) {
    std::cerr << "demo: the agent published no capture modes within 10 s\n";
    service.endAgent();
    return 1;
  }
  std::cout << "demo: the agent published " << published << " after " << std::lround(modes.afterAgentStartMs) << " ms\n";

  std::string missing;
  std::unique_ptr<CameraApp> app = makeCameraApp(missing);
  if (!app) {
    std::cerr << "demo: cannot open \"Tesmira\" as an application: missing " << missing << "\n";
    service.endAgent();
    return 2;
  }
  const Clock::time_point opened = Clock::now();
  ConsumerWatch consumers(opened);
  if (std::string error = app->open(kVirtualCameraFriendlyName); !error.empty()) {
    std::cerr << "demo: opening \"Tesmira\" failed: " << error << "\n";
    service.endAgent();
    return 1;
  }
  const double openMs = msBetween(opened, Clock::now());
  std::cout << "demo: \"Tesmira\" opened through the frame server stand-in; recording " << kRecordSeconds << " s\n";
  StateWatch states(channels, opened);
  const Recording rec = record(*app, channels, opened, p.output);
  states.stop();
  app->close();
  const Clock::time_point closed = Clock::now();
  consumers.closed(closed);
  std::cout << "demo: closed after " << rec.samples << " samples; waiting for the agent to stop the producer\n";

  // The agent's idle time (8000 ms by default) after the 2500 ms demand window, plus a margin.
  const auto stopDeadline = closed + std::chrono::seconds(16);
  while (Clock::now() < stopDeadline && (producerWatch.anyRunning() || producerWatch.runs().empty())) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const auto runs = producerWatch.runs();
  // Decided before the agent goes: ending the agent ends its producer too.
  const bool stopped = !runs.empty() && !producerWatch.anyRunning();
  consumers.waitForEmpty(std::chrono::seconds(5));
  const std::string agentEnded = service.endAgent();
  const std::string uninstalled = service.uninstall();
  std::cout << "demo: agent ended, service uninstalled" << (uninstalled.empty() ? "" : ": " + uninstalled) << "\n";
  const std::string launcherSummary = runLauncherStep(
      {TESMIRA_LAUNCHER_EXE, p.producer, p.mediaSource, p.output, [&p](const fs::path& f) { demo::copyDataFolder(p.repo, f); }});

  for (const char* log : {"vcam-agent.log", "vcam-producer.log", "vcam-service.log"}) {
    fs::copy_file(programDataFolder() / "Tesmira" / "Logs" / log, p.output / log, ec);
  }
  std::cout << "demo: before and after, and the strength sweep\n";
  const std::string retouch = runRetouchDemo({p.producer, p.data, p.picture, p.video, p.output}, channels);

  // The summary: only what was measured.
  std::ostringstream s;
  s << std::fixed << std::setprecision(1);
  s << "Tesmira demo: the whole road on one machine\n\n";
  s << "physical camera: file camera \"" << narrow(kFileCameraName) << "\" playing " << p.video.filename().string()
    << " at " << cameraRate << " fps\n";
  s << "producer data folder: data/ (a copy of the built data folder)\n";
  s << demo::faceFramesLine(p.output / "vcam-producer.log") << "\n";
  s << "channels: created, seeded and held by the service, under " << narrow(channels.prefixUsed()) << "\n";
  s << "capture modes published by the agent " << std::lround(modes.afterAgentStartMs) << " ms after it started: "
    << published << "\n";
  s << "mode the application received: " << rec.width << "x" << rec.height
    << (isPublishedMode(modes, rec.width, rec.height) ? " (one the agent published)\n" : " (NOT one the agent published)\n");
  s << consumers.summary();
  s << "application: opened \"Tesmira\" through the frame server stand-in in " << openMs << " ms, recorded "
    << kRecordSeconds << " s\n\n";
  s << "samples received: " << rec.samples;
  if (rec.samples) s << " (" << rec.width << "x" << rec.height << " NV12)";
  s << "\n";
  if (rec.firstSampleMs && rec.lastSampleMs && rec.samples > 1) {
    s << "sample rate: " << (rec.samples - 1) * 1000.0 / (*rec.lastSampleMs - *rec.firstSampleMs) << " samples/s\n";
  }
  s << "first sample after open: " << (rec.firstSampleMs ? std::to_string(std::lround(*rec.firstSampleMs)) + " ms" : "none")
    << "\n";
  s << "samples that were not live frames (status cards): "
    << (rec.samples - rec.published) << "\n";
  s << "live frames (equal to a frame the producer published): " << rec.published << ", distinct: "
    << rec.distinctPublished << "\n";
  s << "first-frame latency (open to first live frame): "
    << (rec.firstPublishedMs ? std::to_string(std::lround(*rec.firstPublishedMs)) + " ms" : "no live frame arrived")
    << "\n";
  if (rec.firstDistinctMs && rec.lastDistinctMs && rec.distinctPublished > 1) {
    const double rate = (rec.distinctPublished - 1) * 1000.0 / (*rec.lastDistinctMs - *rec.firstDistinctMs);
    s << "delivered live rate: " << rate << " distinct frames/s against the file camera's " << cameraRate
      << " fps (" << (cameraRate > 0 ? 100.0 * rate / cameraRate : 0.0) << "%)\n";
  }
  s << producerStatisticsSummary(readText(p.output / "vcam-producer.log"));
  s << "producer states seen:";
  for (const auto& [at, state] : rec.states) s << " " << state << "@" << std::lround(at) << "ms";
  s << "\n";
  s << firstFrameTimeline(rec, runs, states, opened) << "\n";
  if (runs.empty()) {
    s << "producer: never started\n";
  }
  for (const auto& run : runs) {
    s << "producer pid " << run.pid << ": started " << std::lround(msBetween(opened, run.started))
      << " ms after open (" << std::lround(msBetween(agentStarted, run.started)) << " ms after the agent started)";
    if (run.ended != Clock::time_point{}) {
      s << ", stopped " << std::lround(msBetween(closed, run.ended)) << " ms after close\n";
    } else {
      s << ", still running " << std::lround(msBetween(closed, Clock::now())) << " ms after close\n";
    }
  }
  if (!rec.error.empty()) s << "\nsample delivery ended early: " << rec.error << "\n";
  s << telemetry.finish(p.output, rec.width, rec.height, opened, rec.firstPublishedMs);
  s << "\nverdict: " << (rec.firstPublishedMs ? "live frames reached the application" : "NO live frame reached the application")
    << "; the agent " << (runs.empty() ? "never started the producer" : stopped ? "started and stopped the producer"
                                                                                 : "did not stop the producer in time");
  if (!rec.firstPublishedMs && !rec.states.empty()) {
    s << "; the producer's last state was \"" << rec.states.back().second << "\" (see vcam-producer.log)";
  }
  s << "\n";
  s << retouch;
  s << "\n" << service.summary() << service.figures();
  s << "first-frame latency (open to first live frame): "
    << (rec.firstPublishedMs ? std::to_string(std::lround(*rec.firstPublishedMs)) + " ms" : "no live frame arrived") << "\n";
  s << "\n" << launcherSummary;
  s << "\nagent log:\n" << readText(p.output / "vcam-agent.log");
  s << "\nfiles: received.avi (every sample received), ";
  for (const auto& name : rec.snapshots) s << name << " ";
  s << "\nlogs: vcam-agent.log, vcam-producer.log, vcam-service.log; machine folder: machine/\n";

  std::ofstream(p.output / "summary.txt") << s.str();
  std::cout << "\n" << s.str() << "\ndemo: output in " << p.output.string() << "\n";
  return rec.firstPublishedMs && stopped && agentEnded.empty() && uninstalled.empty() ? 0 : 1;
}

}  // namespace
}  // namespace tesmira::demo

int main() {
  int exitCode = 0;
  return tesmira::demo::runUnderApplicationName(exitCode) ? tesmira::demo::run() : exitCode;
}
