// A stand-in for tesmira_agent.exe in the relaunch tests: it writes down how it was
// started (command line, folder, user, session, environment), marks its user's HKCU,
// and keeps the per-session singleton as the agent does, so that a second copy in the
// same session ends by itself.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::string variable(const wchar_t* name) {
  wchar_t buffer[4096];
  const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
  if (length == 0 || length >= 4096) return "<unset>";
  std::string out;
  for (DWORD i = 0; i < length; ++i) out += char(buffer[i] < 128 ? buffer[i] : '?');
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  HANDLE singleton = CreateMutexW(nullptr, FALSE, L"Local\\TesmiraAgentSingleton");
  const bool duplicate = singleton && GetLastError() == ERROR_ALREADY_EXISTS;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\TesmiraAgentProbe", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    const DWORD one = 1;
    RegSetValueExW(key, L"Started", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    RegCloseKey(key);
  }
  nlohmann::json run{{"argc", argc},
                     {"currentDirectory", std::filesystem::current_path().string()},
                     {"user", variable(L"USERNAME")},
                     {"session", variable(L"TESMIRA_SESSION_ID")},
                     {"appData", variable(L"APPDATA")},
                     {"service", variable(L"TESMIRA_SERVICE")},
                     {"callerMarker", variable(L"TESMIRA_TEST_CALLER")},
                     {"duplicate", duplicate}};
  const std::filesystem::path folder = std::filesystem::path(variable(L"TESMIRA_MACHINE_ROOT")) / "agent-runs";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / (std::to_string(GetCurrentProcessId()) + ".json")) << run.dump();
  if (duplicate) return 0;
  for (;;) Sleep(1000);
  (void)argv;
}
