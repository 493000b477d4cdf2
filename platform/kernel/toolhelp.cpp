// ToolHelp process snapshots from /proc.
#include <dirent.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/faults.h"
#include "core/handles.h"
#include "core/strings.h"
#include "errhandlingapi.h"
#include "tlhelp32.h"
#include "winerror.h"

namespace tesmira::platform::kernel {
namespace {

struct ProcessInfo {
  DWORD pid;
  DWORD parentPid;
  DWORD threads;
  std::wstring exeName;
};

class SnapshotObject : public KernelObject {
 public:
  std::vector<ProcessInfo> processes;
  size_t next = 0;
};

// The image's file name, as Windows reports it: the executable's own name,
// else the kernel's short command name.
std::wstring exeNameOf(const std::string& pidDir, const std::string& comm) {
  std::error_code ec;
  auto target = std::filesystem::read_symlink(pidDir + "/exe", ec);
  if (!ec) {
    std::string name = target.filename().string();
    const std::string deleted = " (deleted)";
    if (name.size() > deleted.size() && name.compare(name.size() - deleted.size(), deleted.size(), deleted) == 0) {
      name.resize(name.size() - deleted.size());
    }
    return fromUtf8(name);
  }
  return fromUtf8(comm);
}

bool readProcess(DWORD pid, ProcessInfo& out) {
  std::string dir = "/proc/" + std::to_string(pid);
  std::ifstream in(dir + "/stat");
  std::string stat;
  // A process that ends while its stat is read fails the read (ESRCH), which the file
  // buffer throws past the iterator: it simply is not in the snapshot any more.
  try {
    stat.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (...) {  // the library's own failure type, whichever ABI it was thrown with
    return false;
  }
  size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  std::string comm = stat.substr(open + 1, close - open - 1);
  std::istringstream rest(stat.substr(close + 1));
  char state = 0;
  long ppid = 0;
  rest >> state >> ppid;
  if (state == 'Z' || state == 'X') return false;  // ended, not yet reaped
  std::string field;
  for (int i = 0; i < 15 && rest >> field; ++i) {
  }
  long threads = 0;
  rest >> threads;  // field 20: num_threads
  out.pid = pid;
  out.parentPid = DWORD(ppid);
  out.threads = DWORD(threads > 0 ? threads : 1);
  out.exeName = exeNameOf(dir, comm);
  return true;
}

BOOL fill(HANDLE snapshot, LPPROCESSENTRY32W entry, bool first) {
  auto object = handles::lookupAs<SnapshotObject>(snapshot);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!entry || entry->dwSize < sizeof(PROCESSENTRY32W)) {
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  if (first) object->next = 0;
  if (object->next >= object->processes.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  const ProcessInfo& p = object->processes[object->next++];
  DWORD size = entry->dwSize;
  std::memset(entry, 0, sizeof(PROCESSENTRY32W));
  entry->dwSize = size;
  entry->th32ProcessID = p.pid;
  entry->cntThreads = p.threads;
  entry->th32ParentProcessID = p.parentPid;
  entry->pcPriClassBase = 8;  // normal priority
  size_t n = std::min<size_t>(p.exeName.size(), MAX_PATH - 1);
  std::wmemcpy(entry->szExeFile, p.exeName.data(), n);
  entry->szExeFile[n] = L'\0';
  return TRUE;
}

}  // namespace
}  // namespace tesmira::platform::kernel

using namespace tesmira::platform;
using namespace tesmira::platform::kernel;

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD) {
  if (!(flags & TH32CS_SNAPPROCESS)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  if (auto injected = faults::take("CreateToolhelp32Snapshot")) {
    SetLastError(*injected);
    return INVALID_HANDLE_VALUE;
  }
  auto snapshot = std::make_shared<SnapshotObject>();
  DIR* proc = ::opendir("/proc");
  if (!proc) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  while (dirent* d = ::readdir(proc)) {
    char* end = nullptr;
    unsigned long pid = std::strtoul(d->d_name, &end, 10);
    if (!end || *end || pid == 0) continue;
    ProcessInfo info;
    if (readProcess(DWORD(pid), info)) snapshot->processes.push_back(std::move(info));
  }
  ::closedir(proc);
  return handles::insert(snapshot);
}

BOOL WINAPI Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry) { return fill(snapshot, entry, true); }
BOOL WINAPI Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry) { return fill(snapshot, entry, false); }
