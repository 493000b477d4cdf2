// Sessions and users described in the machine root (sessions/sessions.json):
//   {"sessions": [{"id": 1, "station": "Console", "state": "active", "user": "alice"}, ...]}
// Session 0 (services, no user) is always there. A user's token names the user and
// the session; the environment block and CreateProcessAsUserW turn them into the
// variables through which the layer knows a process's user and session.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
#include "tesmira/platform_testing.h"
#include "userenv.h"
#include "winerror.h"
#include "wtsapi32.h"

namespace tesmira::platform::sessions {
namespace {

using nlohmann::json;

struct Session {
  uint32_t id = 0;
  std::string station;
  WTS_CONNECTSTATE_CLASS state = WTSDisconnected;
  std::string user;  // empty: nobody signed in
};

bool stateFromText(const std::string& text, WTS_CONNECTSTATE_CLASS& out) {
  static const std::pair<const char*, WTS_CONNECTSTATE_CLASS> kStates[] = {
      {"active", WTSActive},   {"connected", WTSConnected}, {"disconnected", WTSDisconnected},
      {"idle", WTSIdle},       {"listen", WTSListen},       {"down", WTSDown},
      {"init", WTSInit},       {"reset", WTSReset},         {"shadow", WTSShadow}};
  for (const auto& [name, state] : kStates) {
    if (text == name) {
      out = state;
      return true;
    }
  }
  return false;
}

// The machine's sessions; ERROR_INVALID_DATA for a malformed file.
DWORD readSessions(std::vector<Session>& out) {
  out.clear();
  out.push_back(Session{0, "Services", WTSDisconnected, ""});
  std::ifstream in(machinePath("sessions") / "sessions.json", std::ios::binary);
  if (!in) return ERROR_SUCCESS;
  std::stringstream text;
  text << in.rdbuf();
  json j = json::parse(text.str(), nullptr, false);
  auto list = j.is_object() ? j.find("sessions") : j.end();
  if (j.is_discarded() || !j.is_object() || list == j.end() || !list->is_array()) return ERROR_INVALID_DATA;
  for (const auto& item : *list) {
    Session session;
    std::string state;
    if (!item.is_object() || !jsonfile::uint32Member(item, "id", session.id) ||
        !jsonfile::stringMember(item, "state", state) || !stateFromText(state, session.state)) {
      return ERROR_INVALID_DATA;
    }
    if (item.contains("station") && !jsonfile::stringMember(item, "station", session.station)) return ERROR_INVALID_DATA;
    if (item.contains("user") && !jsonfile::stringMember(item, "user", session.user)) return ERROR_INVALID_DATA;
    if (session.id == 0) continue;
    out.push_back(session);
  }
  return ERROR_SUCCESS;
}

class UserToken : public KernelObject {
 public:
  UserToken(std::string user, uint32_t session) : user(std::move(user)), session(session) {}
  std::string user;
  uint32_t session;
};

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The variables by which the layer knows a process's user and session.
void setIdentity(std::vector<std::string>& env, const UserToken& token) {
  static const char* const kIdentity[] = {"USERNAME=", "TESMIRA_SESSION_ID=", "TESMIRA_SERVICE=", "TESMIRA_ELEVATED=",
                                          "TESMIRA_SERVICE_NAME="};
  std::vector<std::string> kept;
  for (auto& entry : env) {
    bool identity = false;
    for (const char* prefix : kIdentity) identity = identity || entry.rfind(prefix, 0) == 0;
    if (!identity) kept.push_back(std::move(entry));
  }
  kept.push_back("USERNAME=" + token.user);
  kept.push_back("TESMIRA_SESSION_ID=" + std::to_string(token.session));
  kept.push_back("TESMIRA_ELEVATED=0");
  env = std::move(kept);
}

}  // namespace
}  // namespace tesmira::platform::sessions

using namespace tesmira::platform;
using namespace tesmira::platform::sessions;

BOOL WINAPI WTSEnumerateSessionsW(HANDLE hServer, DWORD Reserved, DWORD Version, PWTS_SESSION_INFOW* ppSessionInfo,
                                  DWORD* pCount) {
  if (!ppSessionInfo || !pCount || Reserved != 0 || Version != 1 || hServer != WTS_CURRENT_SERVER_HANDLE) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  *ppSessionInfo = nullptr;
  *pCount = 0;
  if (auto error = faults::take("WTSEnumerateSessionsW")) return fail(*error);
  std::vector<Session> list;
  if (DWORD error = readSessions(list); error != ERROR_SUCCESS) return fail(error);
  // One allocation: the records, then their station names.
  size_t chars = 0;
  std::vector<std::wstring> names;
  for (const auto& session : list) {
    names.push_back(fromUtf8(session.station));
    chars += names.back().size() + 1;
  }
  const size_t head = list.size() * sizeof(WTS_SESSION_INFOW);
  auto* memory = static_cast<uint8_t*>(std::malloc(head + chars * sizeof(wchar_t)));
  if (!memory) return fail(ERROR_NOT_ENOUGH_MEMORY);
  auto* records = reinterpret_cast<WTS_SESSION_INFOW*>(memory);
  auto* text = reinterpret_cast<wchar_t*>(memory + head);
  for (size_t i = 0; i < list.size(); ++i) {
    std::memcpy(text, names[i].c_str(), (names[i].size() + 1) * sizeof(wchar_t));
    records[i] = WTS_SESSION_INFOW{list[i].id, text, list[i].state};
    text += names[i].size() + 1;
  }
  *ppSessionInfo = records;
  *pCount = DWORD(list.size());
  return TRUE;
}

VOID WINAPI WTSFreeMemory(PVOID pMemory) { std::free(pMemory); }

BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken) {
  if (!phToken) return fail(ERROR_INVALID_PARAMETER);
  *phToken = nullptr;
  if (auto error = faults::take("WTSQueryUserToken")) return fail(*error);
  // SE_TCB_NAME: LocalSystem's, so a service's here.
  if (!kernel::processIsService()) return fail(ERROR_PRIVILEGE_NOT_HELD);
  std::vector<Session> list;
  if (DWORD error = readSessions(list); error != ERROR_SUCCESS) return fail(error);
  for (const auto& session : list) {
    if (session.id != SessionId) continue;
    if (session.user.empty()) return fail(ERROR_NO_TOKEN);
    *phToken = handles::insert(std::make_shared<UserToken>(session.user, session.id));
    return TRUE;
  }
  return fail(ERROR_FILE_NOT_FOUND);
}

BOOL WINAPI CreateEnvironmentBlock(LPVOID* lpEnvironment, HANDLE hToken, BOOL bInherit) {
  if (!lpEnvironment) return fail(ERROR_INVALID_PARAMETER);
  *lpEnvironment = nullptr;
  if (auto error = faults::take("CreateEnvironmentBlock")) return fail(*error);
  auto token = handles::lookupAs<UserToken>(hToken);
  if (!token) return fail(ERROR_INVALID_HANDLE);
  const std::filesystem::path profile = machinePath("Users") / token->user;
  std::vector<std::string> env;
  // What the host needs to run anything at all; never the caller's identity.
  for (const char* variable : {"PATH", "LD_LIBRARY_PATH", "TMPDIR", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                               "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(variable)) env.push_back(std::string(variable) + "=" + value);
  }
  env.push_back("TESMIRA_MACHINE_ROOT=" + machineRoot());
  env.push_back("USERPROFILE=" + profile.string());
  env.push_back("APPDATA=" + (profile / "AppData" / "Roaming").string());
  env.push_back("LOCALAPPDATA=" + (profile / "AppData" / "Local").string());
  env.push_back("ProgramData=" + machinePath("ProgramData").string());
  setIdentity(env, *token);
  size_t chars = 1;
  std::vector<std::wstring> wide;
  for (const auto& entry : env) {
    wide.push_back(fromUtf8(entry));
    chars += wide.back().size() + 1;
  }
  auto* block = static_cast<wchar_t*>(std::malloc(chars * sizeof(wchar_t)));
  if (!block) return fail(ERROR_NOT_ENOUGH_MEMORY);
  wchar_t* p = block;
  for (const auto& entry : wide) {
    std::memcpy(p, entry.c_str(), (entry.size() + 1) * sizeof(wchar_t));
    p += entry.size() + 1;
  }
  *p = L'\0';
  *lpEnvironment = block;
  return TRUE;
}

BOOL WINAPI DestroyEnvironmentBlock(LPVOID lpEnvironment) {
  if (!lpEnvironment) return fail(ERROR_INVALID_PARAMETER);
  std::free(lpEnvironment);
  return TRUE;
}

BOOL WINAPI CreateProcessAsUserW(HANDLE hToken, LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                 LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags,
                                 LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                                 LPPROCESS_INFORMATION lpProcessInformation) {
  if (!lpStartupInfo || !lpProcessInformation) return fail(ERROR_INVALID_PARAMETER);
  auto token = handles::lookupAs<UserToken>(hToken);
  if (!token) return fail(ERROR_INVALID_HANDLE);
  if (auto error = faults::take("CreateProcessAsUserW")) return fail(*error);
  kernel::SpawnRequest request;
  DWORD error = kernel::prepareSpawn(lpApplicationName, lpCommandLine, dwCreationFlags, lpEnvironment,
                                     lpCurrentDirectory, lpStartupInfo, request);
  if (error != ERROR_SUCCESS) return fail(error);
  // The process belongs to the token's user and session whatever the block says.
  setIdentity(request.env, *token);
  request.newProcessGroup = true;
  std::shared_ptr<kernel::ProcessRecord> process;
  if (DWORD spawned = kernel::spawnProcess(request, process); spawned != ERROR_SUCCESS) return fail(spawned);
  kernel::publishProcess(process, lpProcessInformation);
  // Who was started where, for whoever inspects the machine.
  json line{{"pid", process->pid()},
            {"user", token->user},
            {"session", token->session},
            {"desktop", lpStartupInfo->lpDesktop ? toUtf8(lpStartupInfo->lpDesktop) : std::string()},
            {"commandLine", lpCommandLine ? toUtf8(lpCommandLine) : std::string()},
            {"currentDirectory", lpCurrentDirectory ? toUtf8(lpCurrentDirectory) : std::string()},
            {"creationFlags", dwCreationFlags}};
  ExclusiveLock lock(machinePath("sessions") / ".lock", O_RDWR | O_CREAT);
  std::ofstream out(machinePath("sessions") / "started.jsonl", std::ios::binary | std::ios::app);
  out << line.dump() << "\n";
  return TRUE;
}
