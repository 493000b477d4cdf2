// The Service Control Manager over the machine root: one JSON record per service under
// services/, shared by every process, read and written under one lock file. The
// manager's side (create, configure, start, control, delete) and the service's side
// (dispatcher, handler, status) meet only through the record: controls are posted into
// it and answered by the service's dispatcher thread, which polls it.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/exclusive_lock.h"
#include "core/faults.h"
#include "core/handles.h"
#include "core/json_members.h"
#include "core/machine.h"
#include "core/strings.h"
#include "errhandlingapi.h"
#include "kernel/named_object.h"
#include "kernel/process.h"
#include "processthreadsapi.h"
#include "services/service_records.h"
#include "tesmira/platform_testing.h"
#include "winerror.h"
#include "winnt.h"
#include "winsvc.h"

extern char** environ;

namespace tesmira::platform::services {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr auto kControlTimeout = std::chrono::seconds(30);
constexpr auto kPollPeriod = std::chrono::milliseconds(5);
constexpr DWORD kStartWaitHintMs = 2000;
// The service's process learns its name from its start; a process started any other
// way has none and cannot connect.
constexpr const char* kServiceNameVariable = "TESMIRA_SERVICE_NAME";

std::filesystem::path servicesFolder() { return machinePath("services"); }

// Service names ignore case: one record file per lowered name.
std::string keyFor(std::wstring_view name) { return escapedFileName(lowerCase(name)); }

std::filesystem::path recordPath(const std::string& key) { return servicesFolder() / (key + ".json"); }

class RecordsLock {
 public:
  RecordsLock() : lock_(servicesFolder() / ".lock", O_RDWR | O_CREAT) {}

 private:
  ExclusiveLock lock_;
};

json statusToJson(const SERVICE_STATUS& s) {
  return json{{"type", s.dwServiceType},        {"state", s.dwCurrentState},
              {"controls", s.dwControlsAccepted}, {"win32ExitCode", s.dwWin32ExitCode},
              {"specificExitCode", s.dwServiceSpecificExitCode}, {"checkPoint", s.dwCheckPoint},
              {"waitHint", s.dwWaitHint}};
}

bool statusFromJson(const json& j, SERVICE_STATUS& s) {
  using jsonfile::uint32Member;
  return j.is_object() && uint32Member(j, "type", s.dwServiceType) && uint32Member(j, "state", s.dwCurrentState) &&
         uint32Member(j, "controls", s.dwControlsAccepted) && uint32Member(j, "win32ExitCode", s.dwWin32ExitCode) &&
         uint32Member(j, "specificExitCode", s.dwServiceSpecificExitCode) &&
         uint32Member(j, "checkPoint", s.dwCheckPoint) && uint32Member(j, "waitHint", s.dwWaitHint);
}

SERVICE_STATUS stoppedStatus(DWORD type, DWORD exitCode) {
  return SERVICE_STATUS{type, SERVICE_STOPPED, 0, exitCode, 0, 0, 0};
}

bool processAlive(uint64_t pid) {
  if (pid == 0) return false;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return false;
  size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  char state = text[close + 2];
  return state != 'Z' && state != 'X';
}

}  // namespace

json ServiceRecord::toJson() const {
  json actionList = json::array();
  for (const auto& [type, delay] : actions) actionList.push_back(json{{"type", type}, {"delay", delay}});
  json statusList = json::array();
  for (const auto& s : statuses) statusList.push_back(statusToJson(s));
  json handleCounts = json::object();
  for (const auto& [pid, count] : handles) handleCounts[std::to_string(pid)] = count;
  return json{{"name", name},
              {"displayName", displayName},
              {"description", description},
              {"binaryPath", binaryPath},
              {"loadOrderGroup", loadOrderGroup},
              {"startName", startName},
              {"serviceType", serviceType},
              {"startType", startType},
              {"errorControl", errorControl},
              {"failureActions", json{{"resetPeriod", resetPeriod},
                                      {"rebootMessage", rebootMessage},
                                      {"command", command},
                                      {"actions", actionList}}},
              {"deleted", deleted},
              {"status", statusToJson(status)},
              {"statuses", statusList},
              {"pid", pid},
              {"dispatcherReady", dispatcherReady},
              {"controlSeq", controlSeq},
              {"control", control},
              {"replySeq", replySeq},
              {"handles", handleCounts}};
}

bool ServiceRecord::fromJson(const json& j) {
  using jsonfile::stringMember;
  using jsonfile::uint32Member;
  using jsonfile::unsignedMember;
  if (!j.is_object()) return false;
  if (!stringMember(j, "name", name) || !stringMember(j, "displayName", displayName) ||
      !stringMember(j, "description", description) || !stringMember(j, "binaryPath", binaryPath) ||
      !stringMember(j, "loadOrderGroup", loadOrderGroup) || !stringMember(j, "startName", startName) ||
      !uint32Member(j, "serviceType", serviceType) || !uint32Member(j, "startType", startType) ||
      !uint32Member(j, "errorControl", errorControl) || !uint32Member(j, "control", control) ||
      !unsignedMember(j, "pid", UINT32_MAX, pid) || !unsignedMember(j, "controlSeq", UINT64_MAX, controlSeq) ||
      !unsignedMember(j, "replySeq", UINT64_MAX, replySeq)) {
    return false;
  }
  auto flag = [&](const char* member, bool& out) {
    auto it = j.find(member);
    if (it == j.end() || !it->is_boolean()) return false;
    out = it->get<bool>();
    return true;
  };
  if (!flag("deleted", deleted) || !flag("dispatcherReady", dispatcherReady)) return false;
  auto failure = j.find("failureActions");
  if (failure == j.end() || !failure->is_object() || !uint32Member(*failure, "resetPeriod", resetPeriod) ||
      !stringMember(*failure, "rebootMessage", rebootMessage) || !stringMember(*failure, "command", command)) {
    return false;
  }
  auto actionList = failure->find("actions");
  if (actionList == failure->end() || !actionList->is_array()) return false;
  actions.clear();
  for (const auto& a : *actionList) {
    uint32_t type = 0, delay = 0;
    if (!a.is_object() || !uint32Member(a, "type", type) || !uint32Member(a, "delay", delay)) return false;
    actions.emplace_back(type, delay);
  }
  auto s = j.find("status");
  if (s == j.end() || !statusFromJson(*s, status)) return false;
  auto list = j.find("statuses");
  if (list == j.end() || !list->is_array()) return false;
  statuses.clear();
  for (const auto& item : *list) {
    SERVICE_STATUS one{};
    if (!statusFromJson(item, one)) return false;
    statuses.push_back(one);
  }
  auto counts = j.find("handles");
  if (counts == j.end() || !counts->is_object()) return false;
  handles.clear();
  for (const auto& [pidText, count] : counts->items()) {
    if (!count.is_number_unsigned() || pidText.empty() || pidText.find_first_not_of("0123456789") != std::string::npos ||
        pidText.size() > 10) {
      return false;
    }
    handles[std::stoull(pidText)] = count.get<uint64_t>();
  }
  return true;
}

DWORD loadRecord(const std::string& key, ServiceRecord& out) {
  std::ifstream in(recordPath(key), std::ios::binary);
  if (!in) return ERROR_SERVICE_DOES_NOT_EXIST;
  std::stringstream text;
  text << in.rdbuf();
  json j = json::parse(text.str(), nullptr, false);
  if (j.is_discarded() || !out.fromJson(j)) return ERROR_REGISTRY_CORRUPT;
  return ERROR_SUCCESS;
}

DWORD saveRecord(const std::string& key, const ServiceRecord& record) {
  const std::filesystem::path target = recordPath(key);
  const std::filesystem::path temporary = target.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return ERROR_CANTWRITE;
    out << record.toJson().dump(2) << "\n";
    if (!out) return ERROR_CANTWRITE;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, target, ec);
  return ec ? ERROR_CANTWRITE : ERROR_SUCCESS;
}

// Forgets handles of processes that ended, and reads a service whose process ended
// without reporting STOPPED as stopped with ERROR_PROCESS_ABORTED.
void refresh(ServiceRecord& record) {
  for (auto it = record.handles.begin(); it != record.handles.end();) {
    if (it->second == 0 || (it->first != uint64_t(::getpid()) && !processAlive(it->first))) {
      it = record.handles.erase(it);
    } else {
      ++it;
    }
  }
  if (record.status.dwCurrentState != SERVICE_STOPPED && !processAlive(record.pid)) {
    record.status = stoppedStatus(record.serviceType, ERROR_PROCESS_ABORTED);
    record.dispatcherReady = false;
  }
}

// A service marked for deletion goes once it is stopped and nobody holds a handle.
DWORD storeOrRemove(const std::string& key, ServiceRecord& record) {
  if (record.deleted && record.status.dwCurrentState == SERVICE_STOPPED && record.handles.empty()) {
    std::error_code ec;
    std::filesystem::remove(recordPath(key), ec);
    return ERROR_SUCCESS;
  }
  return saveRecord(key, record);
}

// A record as it stands now: a service marked for deletion whose process has ended
// since and that nobody holds any more is gone.
DWORD loadLiveRecord(const std::string& key, ServiceRecord& record) {
  if (DWORD error = loadRecord(key, record); error != ERROR_SUCCESS) return error;
  refresh(record);
  if (record.deleted && record.status.dwCurrentState == SERVICE_STOPPED && record.handles.empty()) {
    storeOrRemove(key, record);
    return ERROR_SERVICE_DOES_NOT_EXIST;
  }
  return ERROR_SUCCESS;
}

namespace {

bool mayAdminister() { return kernel::processIsElevated() || kernel::processIsService(); }

class ManagerObject : public KernelObject {
 public:
  explicit ManagerObject(DWORD access) : access(access) {}
  DWORD access;
};

class ServiceObject : public KernelObject {
 public:
  ServiceObject(std::string key, DWORD access) : key(std::move(key)), access(access) {}
  std::string key;
  DWORD access;
};

class StatusObject : public KernelObject {};

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}
SC_HANDLE failHandle(DWORD error) {
  SetLastError(error);
  return nullptr;
}
bool injected(const char* site) {
  if (auto error = faults::take(site)) {
    SetLastError(*error);
    return true;
  }
  return false;
}

std::shared_ptr<ManagerObject> managerOf(SC_HANDLE handle) {
  return handles::lookupAs<ManagerObject>(reinterpret_cast<HANDLE>(handle));
}
std::shared_ptr<ServiceObject> serviceOf(SC_HANDLE handle) {
  return handles::lookupAs<ServiceObject>(reinterpret_cast<HANDLE>(handle));
}

SC_HANDLE newServiceHandle(const std::string& key, ServiceRecord& record, DWORD access) {
  record.handles[uint64_t(::getpid())] += 1;
  return reinterpret_cast<SC_HANDLE>(handles::insert(std::make_shared<ServiceObject>(key, access)));
}

std::string optionalText(LPCWSTR text) { return text ? toUtf8(text) : std::string(); }

// What a LocalSystem service in session 0 finds in its environment: nothing of the
// caller's identity, only what lets the process run on this host.
std::vector<std::string> serviceEnvironment(const std::string& name) {
  static const char* const kKept[] = {"PATH",         "LD_LIBRARY_PATH", "TMPDIR",        "ASAN_OPTIONS",
                                      "LSAN_OPTIONS", "UBSAN_OPTIONS",   "TSAN_OPTIONS", "TESMIRA_FAULTS"};
  std::vector<std::string> env;
  for (const char* variable : kKept) {
    if (const char* value = std::getenv(variable)) env.push_back(std::string(variable) + "=" + value);
  }
  env.push_back("TESMIRA_MACHINE_ROOT=" + machineRoot());
  env.push_back("USERNAME=SYSTEM");
  env.push_back("TESMIRA_SESSION_ID=0");
  env.push_back("TESMIRA_SERVICE=1");
  env.push_back("TESMIRA_ELEVATED=1");
  env.push_back(std::string(kServiceNameVariable) + "=" + name);
  return env;
}

// Posts `control` and waits for the service's dispatcher to answer it.
DWORD deliverControl(const std::string& key, DWORD control, SERVICE_STATUS* status, bool systemControl) {
  uint64_t sequence = 0;
  {
    RecordsLock lock;
    ServiceRecord record;
    if (DWORD error = loadRecord(key, record); error != ERROR_SUCCESS) return error;
    refresh(record);
    const DWORD state = record.status.dwCurrentState;
    DWORD error = ERROR_SUCCESS;
    if (state == SERVICE_STOPPED) {
      error = ERROR_SERVICE_NOT_ACTIVE;
    } else if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) {
      error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    } else if ((control == SERVICE_CONTROL_STOP && !(record.status.dwControlsAccepted & SERVICE_ACCEPT_STOP)) ||
               (control == SERVICE_CONTROL_SHUTDOWN &&
                (!systemControl || !(record.status.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN)))) {
      error = ERROR_INVALID_SERVICE_CONTROL;
    }
    if (error != ERROR_SUCCESS) {
      if (status) *status = record.status;
      storeOrRemove(key, record);
      return error;
    }
    sequence = ++record.controlSeq;
    record.control = control;
    if (DWORD saved = saveRecord(key, record); saved != ERROR_SUCCESS) return saved;
  }
  const auto deadline = Clock::now() + kControlTimeout;
  for (;;) {
    {
      RecordsLock lock;
      ServiceRecord record;
      if (DWORD error = loadRecord(key, record); error != ERROR_SUCCESS) return error;
      refresh(record);
      if (record.replySeq >= sequence || record.status.dwCurrentState == SERVICE_STOPPED) {
        if (status) *status = record.status;
        return ERROR_SUCCESS;
      }
    }
    if (Clock::now() >= deadline) return ERROR_SERVICE_REQUEST_TIMEOUT;
    std::this_thread::sleep_for(kPollPeriod);
  }
}

// ---- the service's side ---------------------------------------------------
struct ServiceSide {
  std::mutex mutex;
  std::string key;
  bool dispatching = false;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  LPVOID context = nullptr;
  std::atomic<bool> stopped{false};
};
ServiceSide& side() {
  static auto* s = new ServiceSide;
  return *s;
}

}  // namespace

void endServiceProcesses() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(servicesFolder(), ec)) {
    if (entry.path().extension() != ".json") continue;
    ServiceRecord record;
    if (loadRecord(entry.path().stem().string(), record) != ERROR_SUCCESS) continue;
    if (record.pid && processAlive(record.pid)) ::kill(pid_t(record.pid), SIGKILL);
  }
}

uint32_t sendShutdown(const std::wstring& name) {
  SERVICE_STATUS status{};
  return deliverControl(keyFor(name), SERVICE_CONTROL_SHUTDOWN, &status, true);
}

}  // namespace tesmira::platform::services

using namespace tesmira::platform;
using namespace tesmira::platform::services;

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  if (injected("OpenSCManagerW")) return nullptr;
  if ((lpMachineName && *lpMachineName) || (lpDatabaseName && *lpDatabaseName && std::wstring_view(lpDatabaseName) != L"ServicesActive")) {
    return failHandle(ERROR_INVALID_PARAMETER);
  }
  if ((dwDesiredAccess & SC_MANAGER_CREATE_SERVICE) && !mayAdminister()) return failHandle(ERROR_ACCESS_DENIED);
  return reinterpret_cast<SC_HANDLE>(handles::insert(std::make_shared<ManagerObject>(dwDesiredAccess)));
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword) {
  auto manager = managerOf(hSCManager);
  if (!manager) return failHandle(ERROR_INVALID_HANDLE);
  if (injected("CreateServiceW")) return nullptr;
  if (!(manager->access & SC_MANAGER_CREATE_SERVICE)) return failHandle(ERROR_ACCESS_DENIED);
  if (!lpServiceName || !*lpServiceName || !lpBinaryPathName || !*lpBinaryPathName) {
    return failHandle(ERROR_INVALID_PARAMETER);
  }
  const std::string key = keyFor(lpServiceName);
  RecordsLock lock;
  ServiceRecord record;
  DWORD error = loadLiveRecord(key, record);
  if (error == ERROR_SUCCESS) return failHandle(record.deleted ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
  if (error != ERROR_SERVICE_DOES_NOT_EXIST) return failHandle(error);
  record = ServiceRecord{};
  record.name = toUtf8(lpServiceName);
  record.displayName = lpDisplayName ? toUtf8(lpDisplayName) : record.name;
  record.binaryPath = toUtf8(lpBinaryPathName);
  record.loadOrderGroup = optionalText(lpLoadOrderGroup);
  record.startName = lpServiceStartName ? toUtf8(lpServiceStartName) : "LocalSystem";
  record.serviceType = dwServiceType;
  record.startType = dwStartType;
  record.errorControl = dwErrorControl;
  record.status = stoppedStatus(dwServiceType, 0);
  if (lpdwTagId) *lpdwTagId = 0;
  SC_HANDLE handle = newServiceHandle(key, record, dwDesiredAccess);
  if (DWORD saved = saveRecord(key, record); saved != ERROR_SUCCESS) {
    handles::remove(reinterpret_cast<HANDLE>(handle));
    return failHandle(saved);
  }
  return handle;
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  if (!managerOf(hSCManager)) return failHandle(ERROR_INVALID_HANDLE);
  if (injected("OpenServiceW")) return nullptr;
  if (!lpServiceName || !*lpServiceName) return failHandle(ERROR_INVALID_NAME);
  const DWORD administering = DELETE | SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_STOP;
  const std::string key = keyFor(lpServiceName);
  RecordsLock lock;
  ServiceRecord record;
  if (DWORD error = loadLiveRecord(key, record); error != ERROR_SUCCESS) return failHandle(error);
  if ((dwDesiredAccess & administering) && !mayAdminister()) return failHandle(ERROR_ACCESS_DENIED);
  SC_HANDLE handle = newServiceHandle(key, record, dwDesiredAccess);
  if (DWORD saved = saveRecord(key, record); saved != ERROR_SUCCESS) {
    handles::remove(reinterpret_cast<HANDLE>(handle));
    return failHandle(saved);
  }
  return handle;
}

BOOL WINAPI ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                 LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                 LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword,
                                 LPCWSTR lpDisplayName) {
  auto service = serviceOf(hService);
  if (!service) return fail(ERROR_INVALID_HANDLE);
  if (injected("ChangeServiceConfigW")) return FALSE;
  if (!(service->access & SERVICE_CHANGE_CONFIG)) return fail(ERROR_ACCESS_DENIED);
  RecordsLock lock;
  ServiceRecord record;
  if (DWORD error = loadRecord(service->key, record); error != ERROR_SUCCESS) return fail(error);
  if (record.deleted) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (dwServiceType != SERVICE_NO_CHANGE) record.serviceType = dwServiceType;
  if (dwStartType != SERVICE_NO_CHANGE) record.startType = dwStartType;
  if (dwErrorControl != SERVICE_NO_CHANGE) record.errorControl = dwErrorControl;
  if (lpBinaryPathName) record.binaryPath = toUtf8(lpBinaryPathName);
  if (lpLoadOrderGroup) record.loadOrderGroup = toUtf8(lpLoadOrderGroup);
  if (lpServiceStartName) record.startName = toUtf8(lpServiceStartName);
  if (lpDisplayName) record.displayName = toUtf8(lpDisplayName);
  if (lpdwTagId) *lpdwTagId = 0;
  if (DWORD saved = saveRecord(service->key, record); saved != ERROR_SUCCESS) return fail(saved);
  return TRUE;
}

BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
  auto service = serviceOf(hService);
  if (!service) return fail(ERROR_INVALID_HANDLE);
  if (injected("ChangeServiceConfig2W")) return FALSE;
  if (!(service->access & SERVICE_CHANGE_CONFIG)) return fail(ERROR_ACCESS_DENIED);
  if (!lpInfo) return fail(ERROR_INVALID_PARAMETER);
  RecordsLock lock;
  ServiceRecord record;
  if (DWORD error = loadRecord(service->key, record); error != ERROR_SUCCESS) return fail(error);
  if (record.deleted) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (dwInfoLevel == SERVICE_CONFIG_DESCRIPTION) {
    auto* info = static_cast<SERVICE_DESCRIPTIONW*>(lpInfo);
    if (info->lpDescription) record.description = toUtf8(info->lpDescription);
  } else if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS) {
    auto* info = static_cast<SERVICE_FAILURE_ACTIONSW*>(lpInfo);
    if (info->lpRebootMsg) record.rebootMessage = toUtf8(info->lpRebootMsg);
    if (info->lpCommand) record.command = toUtf8(info->lpCommand);
    // Without an action list the reset period and the actions stay as they were.
    if (info->lpsaActions) {
      record.resetPeriod = info->dwResetPeriod;
      record.actions.clear();
      for (DWORD i = 0; i < info->cActions; ++i) {
        record.actions.emplace_back(uint32_t(info->lpsaActions[i].Type), info->lpsaActions[i].Delay);
      }
    }
  } else {
    return fail(ERROR_INVALID_LEVEL);
  }
  if (DWORD saved = saveRecord(service->key, record); saved != ERROR_SUCCESS) return fail(saved);
  return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  auto service = serviceOf(hService);
  if (!service) return fail(ERROR_INVALID_HANDLE);
  if (injected("QueryServiceStatus")) return FALSE;
  if (!lpServiceStatus) return fail(ERROR_INVALID_ADDRESS);
  if (!(service->access & SERVICE_QUERY_STATUS)) return fail(ERROR_ACCESS_DENIED);
  RecordsLock lock;
  ServiceRecord record;
  if (DWORD error = loadRecord(service->key, record); error != ERROR_SUCCESS) return fail(error);
  refresh(record);
  *lpServiceStatus = record.status;
  storeOrRemove(service->key, record);
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  auto service = serviceOf(hService);
  if (!service) return fail(ERROR_INVALID_HANDLE);
  if (injected("ControlService")) return FALSE;
  if (!lpServiceStatus) return fail(ERROR_INVALID_ADDRESS);
  // Shutdown comes from the system alone (see tesmira/platform_testing.h).
  if (dwControl == SERVICE_CONTROL_SHUTDOWN) return fail(ERROR_INVALID_PARAMETER);
  const DWORD needed = dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP
                       : dwControl == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                                                                  : SERVICE_USER_DEFINED_CONTROL;
  if (!(service->access & needed)) return fail(ERROR_ACCESS_DENIED);
  if (DWORD error = deliverControl(service->key, dwControl, lpServiceStatus, false); error != ERROR_SUCCESS) {
    return fail(error);
  }
  return TRUE;
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors) {
  auto service = serviceOf(hService);
  if (!service) return fail(ERROR_INVALID_HANDLE);
  if (injected("StartServiceW")) return FALSE;
  if (!(service->access & SERVICE_START)) return fail(ERROR_ACCESS_DENIED);
  {
    RecordsLock lock;
    ServiceRecord record;
    if (DWORD error = loadRecord(service->key, record); error != ERROR_SUCCESS) return fail(error);
    refresh(record);
    if (record.deleted) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (record.status.dwCurrentState != SERVICE_STOPPED) return fail(ERROR_SERVICE_ALREADY_RUNNING);

    kernel::SpawnRequest request;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;  // no console: every stream is the null device
    const std::wstring commandLine = fromUtf8(record.binaryPath);
    DWORD error = kernel::prepareSpawn(nullptr, commandLine.c_str(), 0, nullptr, nullptr, &startup, request);
    if (error != ERROR_SUCCESS) return fail(error);
    request.env = serviceEnvironment(record.name);
    request.newProcessGroup = true;
    std::shared_ptr<kernel::ProcessRecord> process;
    if (DWORD spawned = kernel::spawnProcess(request, process); spawned != ERROR_SUCCESS) return fail(spawned);
    record.pid = uint64_t(process->pid());
    record.status = SERVICE_STATUS{record.serviceType, SERVICE_START_PENDING, 0, 0, 0, 0, kStartWaitHintMs};
    record.statuses.clear();
    record.dispatcherReady = false;
    record.controlSeq = record.replySeq = 0;
    if (DWORD saved = saveRecord(service->key, record); saved != ERROR_SUCCESS) return fail(saved);
  }
  // The manager's own clock (the layer's, so that a test can move it).
  const uint64_t deadlineNs =
      clock::nowNs() + uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(kStartTimeout).count());
  for (;;) {
    {
      RecordsLock lock;
      ServiceRecord record;
      if (DWORD error = loadRecord(service->key, record); error != ERROR_SUCCESS) return fail(error);
      if (record.dispatcherReady) return TRUE;
      refresh(record);
      if (record.status.dwCurrentState == SERVICE_STOPPED) {
        saveRecord(service->key, record);
        return fail(ERROR_SERVICE_REQUEST_TIMEOUT);
      }
      if (clock::nowNs() >= deadlineNs) {
        // The manager gives up on a process that never connected: it ends it, and the
        // service reads stopped with the time-out as its exit code.
        if (processAlive(record.pid)) ::kill(pid_t(record.pid), SIGKILL);
        record.status = stoppedStatus(record.serviceType, ERROR_SERVICE_REQUEST_TIMEOUT);
        saveRecord(service->key, record);
        return fail(ERROR_SERVICE_REQUEST_TIMEOUT);
      }
    }
    std::this_thread::sleep_for(kPollPeriod);
  }
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
  auto service = serviceOf(hService);
  if (!service) return fail(ERROR_INVALID_HANDLE);
  if (injected("DeleteService")) return FALSE;
  if (!(service->access & DELETE)) return fail(ERROR_ACCESS_DENIED);
  RecordsLock lock;
  ServiceRecord record;
  if (DWORD error = loadRecord(service->key, record); error != ERROR_SUCCESS) return fail(error);
  if (record.deleted) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  record.deleted = true;
  refresh(record);
  if (DWORD saved = storeOrRemove(service->key, record); saved != ERROR_SUCCESS) return fail(saved);
  return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  HANDLE handle = reinterpret_cast<HANDLE>(hSCObject);
  if (injected("CloseServiceHandle")) return FALSE;
  if (managerOf(hSCObject)) {
    handles::remove(handle);
    return TRUE;
  }
  auto service = serviceOf(hSCObject);
  if (!service) return fail(ERROR_INVALID_HANDLE);
  handles::remove(handle);
  RecordsLock lock;
  ServiceRecord record;
  if (loadRecord(service->key, record) == ERROR_SUCCESS) {
    auto it = record.handles.find(uint64_t(::getpid()));
    if (it != record.handles.end() && --it->second == 0) record.handles.erase(it);
    refresh(record);
    storeOrRemove(service->key, record);
  }
  return TRUE;
}

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
  if (injected("StartServiceCtrlDispatcherW")) return FALSE;
  if (!lpServiceStartTable || !lpServiceStartTable->lpServiceProc) return fail(ERROR_INVALID_PARAMETER);
  const char* name = std::getenv(kServiceNameVariable);
  if (!name || !*name) return fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  const std::string key = keyFor(fromUtf8(name));
  {
    RecordsLock lock;
    ServiceRecord record;
    if (loadRecord(key, record) != ERROR_SUCCESS || record.pid != uint64_t(::getpid())) {
      return fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    }
  }
  ServiceSide& s = side();
  {
    std::lock_guard guard(s.mutex);
    if (s.dispatching) return fail(ERROR_SERVICE_ALREADY_RUNNING);
    s.dispatching = true;
    s.key = key;
  }
  // An own-process service runs the first entry, whatever its name.
  LPSERVICE_MAIN_FUNCTIONW serviceMain = lpServiceStartTable->lpServiceProc;
  std::wstring serviceName = fromUtf8(name);
  std::thread mainThread([serviceMain, serviceName]() mutable {
    LPWSTR argv[] = {serviceName.data()};
    serviceMain(1, argv);
  });
  {
    RecordsLock lock;
    ServiceRecord record;
    if (loadRecord(key, record) == ERROR_SUCCESS) {
      record.dispatcherReady = true;
      saveRecord(key, record);
    }
  }
  uint64_t answered = 0;
  while (!s.stopped.load()) {
    uint64_t pending = 0;
    DWORD control = 0;
    {
      RecordsLock lock;
      ServiceRecord record;
      if (loadRecord(key, record) == ERROR_SUCCESS && record.controlSeq > answered) {
        pending = record.controlSeq;
        control = record.control;
      }
    }
    if (pending) {
      LPHANDLER_FUNCTION_EX handler = nullptr;
      LPVOID context = nullptr;
      {
        std::lock_guard guard(s.mutex);
        handler = s.handler;
        context = s.context;
      }
      if (handler) handler(control, 0, nullptr, context);
      answered = pending;
      RecordsLock lock;
      ServiceRecord record;
      if (loadRecord(key, record) == ERROR_SUCCESS) {
        record.replySeq = pending;
        saveRecord(key, record);
      }
      continue;
    }
    std::this_thread::sleep_for(kPollPeriod);
  }
  mainThread.join();
  return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext) {
  if (auto error = faults::take("RegisterServiceCtrlHandlerExW")) {
    SetLastError(*error);
    return nullptr;
  }
  ServiceSide& s = side();
  std::lock_guard guard(s.mutex);
  if (!lpHandlerProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!s.dispatching || !lpServiceName || keyFor(lpServiceName) != s.key) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  s.handler = lpHandlerProc;
  s.context = lpContext;
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(handles::insert(std::make_shared<StatusObject>()));
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  if (!handles::lookupAs<StatusObject>(reinterpret_cast<HANDLE>(hServiceStatus))) return fail(ERROR_INVALID_HANDLE);
  if (injected("SetServiceStatus")) return FALSE;
  if (!lpServiceStatus) return fail(ERROR_INVALID_DATA);
  ServiceSide& s = side();
  std::string key;
  {
    std::lock_guard guard(s.mutex);
    key = s.key;
  }
  {
    RecordsLock lock;
    ServiceRecord record;
    if (DWORD error = loadRecord(key, record); error != ERROR_SUCCESS) return fail(error);
    record.status = *lpServiceStatus;
    record.statuses.push_back(*lpServiceStatus);
    refresh(record);
    // A service marked for deletion goes with its STOPPED, once nobody holds it.
    if (DWORD saved = storeOrRemove(key, record); saved != ERROR_SUCCESS) return fail(saved);
  }
  if (lpServiceStatus->dwCurrentState == SERVICE_STOPPED) s.stopped.store(true);
  return TRUE;
}
