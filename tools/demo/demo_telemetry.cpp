#include "tools/demo/demo_telemetry.h"

#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>
#include <objbase.h>

#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace tesmira::demo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

fs::path roamingAppData() {
  PWSTR path = nullptr;
  fs::path folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &path))) folder = path;
  CoTaskMemFree(path);
  return folder;
}

}  // namespace

DemoTelemetry::DemoTelemetry(const fs::path& repoRoot) {
  std::error_code ec;
  fs::create_directories(repoRoot, ec);
  std::ofstream(repoRoot / "telemetry-endpoint.txt", std::ios::binary | std::ios::trunc) << collector_.url() << "\n";
  const fs::path appData = roamingAppData();
  if (!appData.empty()) {
    fs::create_directories(appData, ec);
    SetEnvironmentVariableW(L"APPDATA", appData.wstring().c_str());
  }
  queueFile_ = appData / "Tesmira" / "Telemetry" / "Local" / "usage-queue.json";
}

std::string DemoTelemetry::finish(const fs::path& output, uint32_t frameWidth, uint32_t frameHeight,
                                  std::chrono::steady_clock::time_point opened,
                                  std::optional<double> firstLiveMs) const {
  const auto batches = collector_.batches();
  const json all = collector_.batchesJson();
  std::ofstream(output / "telemetry.json", std::ios::binary | std::ios::trunc) << all.dump(2) << "\n";

  size_t events = 0, with42 = 0, rightSize = 0;
  std::set<std::string> ids;
  std::map<std::string, int> states;
  for (const auto& batch : all) {
    if (!batch.is_object() || !batch.contains("events") || !batch["events"].is_array()) continue;
    for (const auto& e : batch["events"]) {
      ++events;
      if (!e.is_object()) continue;
      with42 += e.size() == 42;
      if (e.contains("event_id") && e["event_id"].is_string()) ids.insert(e["event_id"].get<std::string>());
      rightSize += e.value("output_width", json()) == json(frameWidth) && e.value("output_height", json()) == json(frameHeight);
      states[e.value("surface", std::string("?")) + " " + e.value("state", std::string("?")) + ":" +
             e.value("reason", std::string("?"))]++;
    }
  }
  std::ifstream queueIn(queueFile_, std::ios::binary);
  const json queue = queueIn ? json::parse(queueIn, nullptr, false) : json(json::value_t::discarded);

  std::ostringstream s;
  s << "\ntelemetry: collector at " << collector_.url() << " (telemetry-endpoint.txt in the data folder)\n";
  s << "telemetry batches received: " << batches.size() << ", events: " << events << " (telemetry.json)\n";
  s << "telemetry states:";
  for (const auto& [state, n] : states) s << " " << state << " x" << n;
  if (states.empty()) s << " none";
  s << "\n";
  if (!batches.empty() && firstLiveMs) {
    const double ms = std::chrono::duration<double, std::milli>(batches.front().arrived - opened).count() - *firstLiveMs;
    s << "first live frame to first telemetry batch: " << std::lround(ms) << " ms\n";
  } else {
    s << "first live frame to first telemetry batch: " << (batches.empty() ? "no batch arrived" : "no live frame")
      << "\n";
  }
  s << "telemetry checks: " << with42 << "/" << events << " events with 42 members, " << ids.size() << "/" << events
    << " distinct event_ids, " << rightSize << "/" << events << " at the received " << frameWidth << "x"
    << frameHeight << "; local queue "
    << (!queue.is_array() ? std::string(queueIn ? "unreadable" : "file absent")
                          : queue.empty() ? std::string("empty")
                                          : std::to_string(queue.size()) + " events left")
    << " (" << queueFile_.string() << ")\n";
  return s.str();
}

}  // namespace tesmira::demo
