#include "service/windows_service.h"

#include <winsvc.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <vector>

#include "common/command_line.h"
#include "common/error_text.h"
#include "common/file_log.h"
#include "common/vcam_registration.h"
#include "service/broker.h"
#include "service/service_state.h"
#include "service/vcam_command.h"

namespace tesmira {
namespace {

constexpr DWORD kStartPendingHintMs = 30000;
constexpr DWORD kStopPendingHintMs = 3000;
constexpr DWORD kStopPollMs = 100;
constexpr ULONGLONG kStopTimeoutMs = 15000;
constexpr DWORD kStopWaitSliceMs = 1000;

// Closes a service manager handle on scope exit.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~ScHandle() { reset(); }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  void reset(SC_HANDLE handle = nullptr) {
    if (handle_) CloseServiceHandle(handle_);
    handle_ = handle;
  }
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

HRESULT lastError() { return win32ToHresult(LONG(GetLastError())); }

bool isAbsolute(const std::wstring& path) {
  if (!path.empty() && (path[0] == L'\\' || path[0] == L'/')) return true;
  return path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
}

// An absolute path is taken as written, so that no character of it is converted.
std::wstring absolutePath(const std::wstring& path) {
  if (isAbsolute(path)) return path;
  try {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.wstring();
  } catch (const std::exception&) {
    return path;
  }
}

// Stops a running service and waits for STOPPED; S_OK once it is stopped.
HRESULT stopAndWait(SC_HANDLE service) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service, &status)) return lastError();
  if (status.dwCurrentState == SERVICE_STOPPED) return S_OK;
  if (status.dwCurrentState != SERVICE_STOP_PENDING && !ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_NOT_ACTIVE) return win32ToHresult(LONG(error));
  }
  const ULONGLONG began = GetTickCount64();
  for (;;) {
    if (!QueryServiceStatus(service, &status)) return lastError();
    if (status.dwCurrentState == SERVICE_STOPPED) return S_OK;
    if (GetTickCount64() - began >= kStopTimeoutMs) return HRESULT(0x8007041D);
    Sleep(kStopPollMs);
  }
}

}  // namespace

std::wstring serviceCommandLine(const ServiceConfig& config) {
  return joinCommandLine({absolutePath(config.serviceExecutablePath), L"run-service", L"--media-source-dll",
                          absolutePath(config.mediaSourceDllPath)});
}

HRESULT installService(const ServiceConfig& config) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) return lastError();
  const std::wstring commandLine = serviceCommandLine(config);
  const DWORD access = SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;
  bool existed = false;
  ScHandle service(CreateServiceW(manager.get(), kServiceName, kServiceDisplayName, access, SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr));
  if (!service) {
    if (GetLastError() != ERROR_SERVICE_EXISTS) return lastError();
    service.reset(OpenServiceW(manager.get(), kServiceName, access));
    if (!service) return lastError();
    if (!ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                              kServiceDisplayName)) {
      return lastError();
    }
    existed = true;
  }

  std::wstring description = kServiceDescription;
  SERVICE_DESCRIPTIONW descriptionInfo{description.data()};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &descriptionInfo);
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failureActions{86400, nullptr, nullptr, DWORD(std::size(actions)), actions};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions);

  if (existed) {
    if (HRESULT hr = stopAndWait(service.get()); FAILED(hr)) return hr;
  }
  if (!StartServiceW(service.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
    return lastError();
  }
  return S_OK;
}

HRESULT uninstallService() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return lastError();
  ScHandle service(OpenServiceW(manager.get(), kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? S_OK : lastError();
  SERVICE_STATUS status{};
  ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  if (!DeleteService(service.get())) return lastError();
  return S_OK;
}

// ---- the service's process -------------------------------------------------

namespace {

ServiceState& state() {
  static ServiceState s;
  return s;
}

void WINAPI serviceMainEntry(DWORD, LPWSTR*) { serviceMain(state()); }

DWORD WINAPI controlHandlerEntry(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  return serviceControlHandler(*static_cast<ServiceState*>(context), control, eventType, eventData);
}

}  // namespace

void reportServiceStatus(ServiceState& s, DWORD currentState, DWORD controls, DWORD win32ExitCode, DWORD checkPoint,
                         DWORD waitHint) {
  SERVICE_STATUS status{};
  {
    std::lock_guard lock(s.statusMutex);
    s.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.status.dwCurrentState = currentState;
    s.status.dwControlsAccepted = controls;
    s.status.dwWin32ExitCode = win32ExitCode;
    s.status.dwServiceSpecificExitCode = 0;
    s.status.dwCheckPoint = checkPoint;
    s.status.dwWaitHint = waitHint;
    status = s.status;
  }
  if (SERVICE_STATUS_HANDLE handle = s.statusHandle.load()) SetServiceStatus(handle, &status);
}

DWORD nextCheckPoint(ServiceState& s) {
  std::lock_guard lock(s.statusMutex);
  return ++s.status.dwCheckPoint;
}

void serviceMain(ServiceState& s) {
  s.statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, controlHandlerEntry, &s);
  if (!s.statusHandle.load()) return;
  reportServiceStatus(s, SERVICE_START_PENDING, 0, 0, nextCheckPoint(s), kStartPendingHintMs);

  HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!stopEvent) {
    reportServiceStatus(s, SERVICE_STOPPED, 0, GetLastError(), 0, 0);
    return;
  }
  s.stopEvent.store(stopEvent);

  // Registration can throw (a file-system error on a path it cannot query); the
  // service must not end on it, or every restart would repeat it.
  std::wstring link;
  HRESULT hr = E_FAIL;
  std::wstring failure;
  try {
    hr = ensureVirtualCamera({s.config.mediaSourceDllPath, s.config.allUsers, 1}, &link);
    if (FAILED(hr)) failure = hresultToText(hr);
  } catch (const std::exception& error) {
    failure = widenUtf8(error.what());
  }
  if (failure.empty()) {
    appendLogLine(link.empty() ? std::wstring(L"Tesmira virtual camera ready")
                               : L"Tesmira virtual camera ready: " + link);
  } else {
    appendLogLine(L"Failed to ensure Tesmira virtual camera: " + failure);
  }

  SharedChannelSet channels;
  if (!createSharedChannels(channels)) {
    appendLogLine(L"Broker failed to create shared IPC objects: " + channels.failedStep);
  }

  reportServiceStatus(s, SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0, 0);
  while (WaitForSingleObject(stopEvent, kStopWaitSliceMs) == WAIT_TIMEOUT) {
  }
  closeStopEvent(s);
  reportServiceStatus(s, SERVICE_STOPPED, 0, 0, 0, 0);
  closeSharedChannels(channels);
}

void closeStopEvent(ServiceState& s) {
  // The handler may still run on the dispatcher thread: it must never set a closed event.
  std::lock_guard lock(s.eventMutex);
  if (HANDLE stopEvent = s.stopEvent.exchange(nullptr)) CloseHandle(stopEvent);
}

DWORD serviceControlHandler(ServiceState& s, DWORD control, DWORD, LPVOID) {
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return NO_ERROR;
  reportServiceStatus(s, SERVICE_STOP_PENDING, 0, 0, nextCheckPoint(s), kStopPendingHintMs);
  std::lock_guard lock(s.eventMutex);
  if (HANDLE stopEvent = s.stopEvent.load()) SetEvent(stopEvent);
  return NO_ERROR;
}

int runServiceDispatcher(const ServiceConfig& config) {
  state().config = config;
  std::wstring name = kServiceName;
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), serviceMainEntry}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table)) return 0;
  const DWORD error = GetLastError();
  appendLogLine(L"StartServiceCtrlDispatcher failed: " + win32ErrorToText(error));
  return int(error);
}

}  // namespace tesmira
