#pragma once
// The auto-start Windows service "TesmiraVcam": its installation, its process's
// dispatcher, main function and control handler, and its removal.
#include <windows.h>

#include <cstdint>
#include <string>

namespace tesmira {

inline constexpr const wchar_t* kServiceName = L"TesmiraVcam";
inline constexpr const wchar_t* kServiceDisplayName = L"Tesmira Virtual Camera Service";
inline constexpr const wchar_t* kServiceDescription =
    L"Maintains the Tesmira virtual camera registration and owns the shared-memory channels the retouch producer "
    L"and apps use.";

struct ServiceConfig {
  std::wstring serviceExecutablePath;
  std::wstring mediaSourceDllPath;
  std::wstring producerExecutable;
  std::wstring producerRepoRoot;
  int32_t producerCameraIndex = 0;
  int32_t allUsers = 1;
};

// The service's command line: both paths made absolute, every argument quoted.
std::wstring serviceCommandLine(const ServiceConfig& config);

HRESULT installService(const ServiceConfig& config);
// The process exit code: 0 after the service stopped, else the dispatcher's Win32 error.
int runServiceDispatcher(const ServiceConfig& config);
HRESULT uninstallService();

}  // namespace tesmira
