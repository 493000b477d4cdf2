#include "service/relaunch.h"

#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "common/command_line.h"
#include "common/executable_paths.h"
#include "service/updater_log.h"

namespace tesmira {

int relaunchAgent() {
  const std::filesystem::path agent = executableDirectory() / L"tesmira_agent.exe";
  std::error_code ec;
  if (!std::filesystem::exists(agent, ec) || ec) {
    logUpdater(L"relaunch-agent: agent exe not found next to service exe");
    return 0;
  }
  PWTS_SESSION_INFOW sessions = nullptr;
  DWORD sessionCount = 0;
  if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &sessionCount)) return 0;

  const std::wstring folder = agent.parent_path().wstring();
  std::wstring desktop = L"winsta0\\default";
  int started = 0;
  for (DWORD i = 0; i < sessionCount; ++i) {
    if (sessions[i].State != WTSActive) continue;
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(sessions[i].SessionId, &token)) continue;
    LPVOID environment = nullptr;
    if (!CreateEnvironmentBlock(&environment, token, FALSE)) environment = nullptr;

    std::wstring commandLine = quoteArgument(agent.wstring());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop.data();
    PROCESS_INFORMATION process{};
    if (CreateProcessAsUserW(token, nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                             CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment, folder.c_str(), &startup,
                             &process)) {
      CloseHandle(process.hProcess);
      CloseHandle(process.hThread);
      ++started;
    }
    if (environment) DestroyEnvironmentBlock(environment);
    CloseHandle(token);
  }
  WTSFreeMemory(sessions);
  logUpdater(L"relaunch-agent: started agent in " + std::to_wstring(started) + L" session(s)");
  return 0;
}

}  // namespace tesmira
