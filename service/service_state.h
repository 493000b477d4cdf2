#pragma once
// The service process's state, shared by the service's main thread and the thread on
// which the service manager calls the control handler.
#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <mutex>

#include "service/windows_service.h"

namespace tesmira {

struct ServiceState {
  ServiceConfig config;
  std::atomic<SERVICE_STATUS_HANDLE> statusHandle{nullptr};  // set once, read by both threads
  std::mutex statusMutex;  // the status record: both threads write it
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, 0, 0, 0, 0, 0, 0};
  std::atomic<HANDLE> stopEvent{nullptr};
  std::mutex eventMutex;  // the event is set and closed under it, never one during the other
};

// Closes the stop event so that no control can set it afterwards.
void closeStopEvent(ServiceState& s);
// Records the status and reports it (when there is a status handle).
void reportServiceStatus(ServiceState& s, DWORD currentState, DWORD controls, DWORD win32ExitCode, DWORD checkPoint,
                         DWORD waitHint);
// The main function as the dispatcher runs it.
void serviceMain(ServiceState& s);
// STOP and SHUTDOWN: STOP_PENDING and the stop event; every control answers NO_ERROR.
DWORD serviceControlHandler(ServiceState& s, DWORD control, DWORD eventType, LPVOID eventData);

}  // namespace tesmira
