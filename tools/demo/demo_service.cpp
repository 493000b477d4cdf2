#include "tools/demo/demo_service.h"

#include <winsvc.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "common/command_line.h"
#include "common/file_log.h"
#include "service/updater_log.h"
#include "service/windows_service.h"
#include "tesmira/platform_testing.h"
#include "tools/demo/demo_processes.h"

namespace tesmira::demo {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point from) { return std::chrono::duration<double, std::milli>(Clock::now() - from).count(); }

std::string narrow(const std::wstring& text) { return fs::path(text).string(); }

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string indented(const std::string& text) {
  std::string out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out += "    " + line + "\n";
  return out.empty() ? "    (nothing)\n" : out;
}

const char* stateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    default: return "other";
  }
}

std::string statusText(DWORD state, DWORD controls, DWORD exitCode, DWORD checkPoint, DWORD waitHint) {
  std::ostringstream s;
  s << stateName(state) << " (controls " << controls << ", exit " << exitCode << ", checkpoint " << checkPoint
    << ", hint " << waitHint << " ms)";
  return s.str();
}

// Runs the installed tool with `args`, its identity marked by `marker` for this run only.
// With `output` its standard output and error are read until they close; without, they
// are this process's (a program the tool starts may hold them open).
int runTool(const fs::path& tool, const std::vector<std::wstring>& args, const wchar_t* marker,
            std::string* output) {
  std::vector<std::wstring> all = {tool.wstring()};
  all.insert(all.end(), args.begin(), args.end());
  std::wstring commandLine = joinCommandLine(all);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (output) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return -1;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
  }
  SetEnvironmentVariableW(marker, L"1");
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, output != nullptr, 0, nullptr,
                                      nullptr, &startup, &info);
  SetEnvironmentVariableW(marker, nullptr);
  if (writeEnd) CloseHandle(writeEnd);
  if (!started) {
    if (readEnd) CloseHandle(readEnd);
    return -1;
  }
  CloseHandle(info.hThread);
  if (output) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got) output->append(buffer, got);
    CloseHandle(readEnd);
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  return int(code);
}

// Waits until `done` holds, at most `limit`.
template <class Done>
bool waitUntil(Done done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

// ---- the channels ----------------------------------------------------------------

std::wstring ServiceChannels::open() {
  const struct {
    Index index;
    const wchar_t* name;
    size_t bytes;
  } channels[] = {
      {kCapabilities, kVcamCapabilitiesChannelName, ChannelLayout<VcamCapabilitiesBlock>::bytes},
      {kSettings, kRetouchSettingsChannelName, ChannelLayout<RetouchSettingsBlock>::bytes},
      {kControl, kVcamControlChannelName, ChannelLayout<VcamControlBlock>::bytes},
      {kFrame, kFrameChannelName, kFrameChannelBytes},
      {kConsumers, kVcamConsumersChannelName, ChannelLayout<VcamConsumersBlock>::bytes},
      {kStatus, kProducerStatusChannelName, ChannelLayout<ProducerStatusBlock>::bytes},
  };
  std::wstring missing;
  for (const auto& c : channels) {
    channels_[c.index] = openExistingChannel(c.name, FILE_MAP_READ | FILE_MAP_WRITE, c.bytes);
    if (!channels_[c.index].view) missing += (missing.empty() ? L"" : L", ") + std::wstring(c.name);
  }
  const wchar_t* found = firstScopedName(kFrameChannelName, [](const wchar_t* scopedName) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, scopedName);
    if (mapping) CloseHandle(mapping);
    return mapping != nullptr;
  });
  prefix_ = found ? found : kLocalPrefix;
  return missing;
}

// ---- the service -----------------------------------------------------------------

ServiceDemo::~ServiceDemo() {
  // A demo that stopped half-way leaves no service or agent behind.
  if (agentPid_) endAgent();
  if (installExit_ == 0 && uninstallExit_ == -1) uninstall();
  stopWatch_ = true;
  if (watcher_.joinable()) watcher_.join();
}

std::string ServiceDemo::layOut() {
  std::error_code ec;
  fs::create_directories(paths_.installFolder, ec);
  const std::pair<const fs::path&, const wchar_t*> files[] = {
      {paths_.tool, L"tesmira_windows_vcam_service.exe"},
      {paths_.agent, L"tesmira_agent.exe"},
      {paths_.producer, L"tesmira_windows_retouch_vcam_producer.exe"},
      {paths_.mediaSource, L"tesmira_windows_vcam_source.dll"},
  };
  for (const auto& [from, name] : files) {
    const fs::path to = installed(name);
    fs::remove(to, ec);
    // A link keeps the folder small; a copy where the file system refuses one.
    fs::create_hard_link(from, to, ec);
    if (ec) fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) return "cannot place " + narrow(name) + ": " + ec.message();
  }
  return {};
}

std::string ServiceDemo::describeSession(const std::wstring& user, DWORD sessionId) {
  // This process is that session's user, so that its HKCU and Local\ are the agent's too.
  session_ = "session " + std::to_string(sessionId) + " (Console, active, user " + narrow(user) + ")";
  SetEnvironmentVariableW(L"USERNAME", user.c_str());
  SetEnvironmentVariableW(L"TESMIRA_SESSION_ID", std::to_wstring(sessionId).c_str());
  const fs::path folder = fs::path(platform::machineRoot()) / "sessions";
  std::error_code ec;
  fs::create_directories(folder, ec);
  nlohmann::json sessions{{"sessions", nlohmann::json::array({nlohmann::json{
                                           {"id", sessionId}, {"station", "Console"}, {"state", "active"},
                                           {"user", narrow(user)}}})}};
  std::ofstream out(folder / "sessions.json", std::ios::binary | std::ios::trunc);
  out << sessions.dump(2) << "\n";
  return out ? std::string() : "cannot describe the session in " + folder.string();
}

void ServiceDemo::watch() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = nullptr;
  SERVICE_STATUS last{};
  bool any = false;
  while (!stopWatch_) {
    if (manager && !service) service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS);
    SERVICE_STATUS now{};
    if (service && QueryServiceStatus(service, &now) &&
        (!any || now.dwCurrentState != last.dwCurrentState || now.dwCheckPoint != last.dwCheckPoint)) {
      std::lock_guard lock(mutex_);
      seen_.push_back({msSince(watchStart_), now});
      last = now;
      any = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // The record of a deleted service goes with this last handle.
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
}

std::optional<double> ServiceDemo::firstSeen(DWORD state) const {
  std::lock_guard lock(mutex_);
  for (const Seen& s : seen_) {
    if (s.status.dwCurrentState == state) return s.atMs;
  }
  return std::nullopt;
}

std::string ServiceDemo::install() {
  watchStart_ = Clock::now();
  std::error_code ec;
  const auto logBefore = fs::file_size(serviceLogPath(), ec);
  watcher_ = std::thread([this] { watch(); });
  const auto began = Clock::now();
  installExit_ = runTool(installed(L"tesmira_windows_vcam_service.exe"), {L"install"}, L"TESMIRA_ELEVATED",
                         &installOutput_);
  installMs_ = msSince(began);
  installStartedMs_ = std::chrono::duration<double, std::milli>(began - watchStart_).count();
  if (installExit_ != 0) return "install exited " + std::to_string(installExit_) + ":\n" + installOutput_;
  if (!waitUntil([&] { return firstSeen(SERVICE_RUNNING).has_value(); }, std::chrono::seconds(30))) {
    return "the service did not reach RUNNING within 30 s";
  }
  // The service logs only while it starts; the media source shares its file later.
  const std::string log = readText(serviceLogPath());
  serviceLog_ = log.substr(ec ? 0 : std::min(log.size(), size_t(logBefore)));
  return {};
}

std::string ServiceDemo::relaunchAgent() {
  const fs::path agent = installed(L"tesmira_agent.exe");
  ProcessWatch agents(agent);
  relaunched_ = Clock::now();
  const int code = runTool(installed(L"tesmira_windows_vcam_service.exe"), {L"relaunch-agent"}, L"TESMIRA_SERVICE",
                           nullptr);
  if (code != 0) return "relaunch-agent exited " + std::to_string(code);
  const bool starting = waitUntil([&] { return readText(agentLogPath()).find("agent starting") != std::string::npos; },
                                  std::chrono::seconds(20));
  if (starting) relaunchToAgentMs_ = msSince(relaunched_);
  waitUntil([&] { return !agents.runs().empty(); }, std::chrono::seconds(5));
  const auto runs = agents.runs();
  if (!runs.empty()) agentPid_ = runs.front().pid;
  if (!starting) return "the relaunched agent did not log \"agent starting\" within 20 s";
  if (!agentPid_) return "no relaunched agent process was seen";
  return {};
}

std::string ServiceDemo::endAgent() {
  if (!agentPid_) return "no agent to end";
  HANDLE agent = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, agentPid_);
  if (!agent) return agentEnd_ = "OpenProcess(" + std::to_string(agentPid_) + ") failed: " + std::to_string(GetLastError());
  const bool ended = TerminateProcess(agent, 0) && WaitForSingleObject(agent, 10000) == WAIT_OBJECT_0;
  CloseHandle(agent);
  agentEnd_ = ended ? "ended by its process id " + std::to_string(agentPid_)
                    : "could not be ended by its process id " + std::to_string(agentPid_);
  agentPid_ = 0;
  return ended ? std::string() : agentEnd_;
}

std::string ServiceDemo::uninstall() {
  const auto began = Clock::now();
  uninstallExit_ = runTool(installed(L"tesmira_windows_vcam_service.exe"), {L"uninstall"}, L"TESMIRA_ELEVATED",
                           &uninstallOutput_);
  const bool stopped = waitUntil(
      [&] {
        std::lock_guard lock(mutex_);
        return !seen_.empty() && seen_.back().status.dwCurrentState == SERVICE_STOPPED &&
               seen_.back().atMs > std::chrono::duration<double, std::milli>(began - watchStart_).count();
      },
      std::chrono::seconds(30));
  // Every status the service reported, from its record, which the watcher's handle still keeps.
  const auto record = nlohmann::json::parse(
      readText(fs::path(platform::machineRoot()) / "services" / "tesmiravcam.json"), nullptr, false);
  if (record.is_object() && record.contains("statuses") && record["statuses"].is_array()) {
    for (const auto& s : record["statuses"]) {
      recordedStatuses_ += "    " +
                           statusText(s.value("state", 0u), s.value("controls", 0u), s.value("win32ExitCode", 0u),
                                      s.value("checkPoint", 0u), s.value("waitHint", 0u)) +
                           "\n";
    }
  }
  stopWatch_ = true;
  if (watcher_.joinable()) watcher_.join();
  if (uninstallExit_ != 0) return "uninstall exited " + std::to_string(uninstallExit_);
  return stopped ? std::string() : "the service did not report STOPPED within 30 s of the uninstall";
}

std::string ServiceDemo::summary() const {
  std::ostringstream s;
  s << std::fixed << std::setprecision(1);
  s << "service: install folder " << paths_.installFolder.filename().string()
    << "/ holds tesmira_windows_vcam_service.exe, tesmira_agent.exe, tesmira_windows_retouch_vcam_producer.exe, "
       "tesmira_windows_vcam_source.dll\n";
  s << "service: `install` (elevated) exited " << installExit_ << "; it said:\n" << indented(installOutput_);
  s << "service: statuses seen by polling the manager:";
  {
    std::lock_guard lock(mutex_);
    for (const Seen& seen : seen_) s << " " << stateName(seen.status.dwCurrentState) << "@" << std::lround(seen.atMs) << "ms";
  }
  s << "\nservice: every status the service reported, in order:\n"
    << (recordedStatuses_.empty() ? "    (record not readable)\n" : recordedStatuses_);
  s << "service: its log lines while it started (vcam-service.log):\n" << indented(serviceLog_);
  s << "service: the six channels were opened by the demo without creating any, so the service created them\n";
  s << "service: `relaunch-agent` as LocalSystem, the machine's one user session being " << session_
    << ", said (vcam-updater.log):\n" << indented(readText(updaterLogPath()));
  s << "service: the relaunched agent " << (relaunchToAgentMs_ ? "started (its log says \"agent starting\")" : "did NOT start")
    << "; " << (agentEnd_.empty() ? "it was not ended" : agentEnd_) << "\n";
  s << "service: `uninstall` (elevated) exited " << uninstallExit_ << "; it said:\n" << indented(uninstallOutput_);
  return s.str();
}

std::string ServiceDemo::figures() const {
  std::ostringstream s;
  auto ms = [](const std::optional<double>& v) { return v ? std::to_string(std::lround(*v)) + " ms" : std::string("not measured"); };
  const auto pending = firstSeen(SERVICE_START_PENDING), running = firstSeen(SERVICE_RUNNING);
  s << "install time (`install` run to exit): " << ms(installMs_) << "\n";
  s << "start to RUNNING (START_PENDING first seen to RUNNING first seen): "
    << ms(pending && running ? std::optional<double>(*running - *pending) : std::nullopt) << "\n";
  s << "relaunch to \"agent starting\": " << ms(relaunchToAgentMs_) << "\n";
  return s.str();
}

}  // namespace tesmira::demo
