// Child processes: CreateProcessW, ResumeThread, TerminateProcess, exit codes and waits.
#include "kernel/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "core/faults.h"
#include "core/handles.h"
#include "core/strings.h"
#include "errhandlingapi.h"
#include "base/command_line.h"
#include "kernel/fd_object.h"
#include "processthreadsapi.h"
#include "synchapi.h"
#include "winerror.h"

extern char** environ;

namespace tesmira::platform::kernel {
namespace {

constexpr char kResume = 'R';
constexpr char kResumeInJob = 'K';  // resume, and die with this process

// Children whose handles were all closed before they ended; reaped later.
std::mutex gOrphansMutex;
std::vector<pid_t>& orphans() {
  static auto* o = new std::vector<pid_t>;
  return *o;
}

void reapOrphans() {
  std::lock_guard lock(gOrphansMutex);
  auto& list = orphans();
  for (size_t i = 0; i < list.size();) {
    if (::waitpid(list[i], nullptr, WNOHANG) != 0) {
      list[i] = list.back();
      list.pop_back();
    } else {
      ++i;
    }
  }
}

// Windows exit codes for the ways a Linux process can die.
DWORD exitCodeForSignal(int sig) {
  switch (sig) {
    case SIGSEGV:
    case SIGBUS: return 0xC0000005u;  // STATUS_ACCESS_VIOLATION
    case SIGILL: return 0xC000001Du;  // STATUS_ILLEGAL_INSTRUCTION
    case SIGFPE: return 0xC0000094u;  // STATUS_INTEGER_DIVIDE_BY_ZERO
    case SIGABRT: return 3;           // what abort() returns on Windows
    case SIGINT:
    case SIGQUIT:
    case SIGHUP:
    case SIGTERM: return 0xC000013Au;  // STATUS_CONTROL_C_EXIT
    default: return 1;
  }
}

// One long-lived thread forks every child: a parent-death signal follows the
// thread that forked, and this one lives exactly as long as the process.
class Spawner {
 public:
  void run(std::function<void()> task) {
    std::packaged_task<void()> job(std::move(task));
    auto done = job.get_future();
    {
      std::lock_guard lock(mutex_);
      if (!started_) {
        std::thread([this] { loop(); }).detach();
        started_ = true;
      }
      queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    done.wait();
  }

 private:
  void loop() {
    for (;;) {
      std::packaged_task<void()> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return !queue_.empty(); });
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::packaged_task<void()>> queue_;
  bool started_ = false;
};

Spawner& spawner() {
  static auto* s = new Spawner;  // never destroyed: its thread runs until the process ends
  return *s;
}

DWORD errnoToWin32(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case ENOMEM:
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
    case E2BIG: return ERROR_BAD_ENVIRONMENT;
    default: return ERROR_GEN_FAILURE;
  }
}

// How a file without execute permission can still start, as Windows starts any
// readable program file: a script through its interpreter, an ELF from a copy.
enum class Format { kOther, kScript, kElf };

Format readableFormat(const std::filesystem::path& p) {
  char head[4] = {};
  int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Format::kOther;
  const ssize_t n = ::read(fd, head, sizeof head);
  ::close(fd);
  if (n >= 2 && head[0] == '#' && head[1] == '!') return Format::kScript;
  if (n == 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0) return Format::kElf;
  return Format::kOther;
}

bool executableFile(const std::filesystem::path& p, bool& deniedSeen) {
  struct stat st{};
  if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (::access(p.c_str(), X_OK) == 0) return true;
  if (::access(p.c_str(), R_OK) == 0 && readableFormat(p) != Format::kOther) return true;
  deniedSeen = true;
  return false;
}

// "#!interpreter [one argument]", as the kernel reads it.
bool readShebang(const std::string& script, std::vector<std::string>& interpreter) {
  std::ifstream in(script, std::ios::binary);
  std::string line;
  if (!std::getline(in, line) || line.rfind("#!", 0) != 0) return false;
  line = line.substr(2);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t begin = line.find_first_not_of(" \t");
  if (begin == std::string::npos) return false;
  const size_t end = line.find_first_of(" \t", begin);
  interpreter.assign(1, line.substr(begin, end - begin));
  if (end != std::string::npos) {
    const size_t argBegin = line.find_first_not_of(" \t", end);
    const size_t argEnd = line.find_last_not_of(" \t");
    if (argBegin != std::string::npos) interpreter.push_back(line.substr(argBegin, argEnd - argBegin + 1));
  }
  return true;
}

// An ELF copied into an executable memory file (made before the fork).
int executableCopy(const std::string& program) {
  int in = ::open(program.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return -1;
  int out = ::memfd_create("tesmira-program", MFD_CLOEXEC);
  char buffer[65536];
  ssize_t n = 0;
  while (out >= 0 && (n = ::read(in, buffer, sizeof buffer)) > 0) {
    if (::write(out, buffer, size_t(n)) != n) n = -1;
    if (n < 0) break;
  }
  ::close(in);
  if (out >= 0 && n < 0) {
    ::close(out);
    out = -1;
  }
  return out;
}

bool endsWithExe(const std::string& s) {
  return s.size() > 4 && equalsNoCase(fromUtf8(s.substr(s.size() - 4)), L".exe");
}

// Finds the program as Windows would, with ".exe" optional since Linux
// programs have none: the given path, else the caller's folder, the working
// folder and PATH for a bare name.
DWORD resolveProgram(const std::wstring& token, std::string& out) {
  std::filesystem::path given = toLinuxPath(token);
  if (given.empty()) return ERROR_FILE_NOT_FOUND;
  std::vector<std::filesystem::path> places;
  if (given.has_parent_path()) {
    places.push_back(given);
  } else {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) places.push_back(self.parent_path() / given);
    places.push_back(std::filesystem::current_path(ec) / given);
    if (const char* path = std::getenv("PATH")) {
      std::string_view rest(path);
      while (!rest.empty()) {
        size_t cut = rest.find(':');
        std::string_view dir = rest.substr(0, cut);
        if (!dir.empty()) places.push_back(std::filesystem::path(std::string(dir)) / given);
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
      }
    }
  }
  bool denied = false;
  for (const auto& place : places) {
    std::string s = place.string();
    std::vector<std::string> variants{s};
    if (endsWithExe(s)) {
      variants.push_back(s.substr(0, s.size() - 4));
    } else if (!place.has_extension()) {
      variants.push_back(s + ".exe");
    }
    for (const auto& v : variants) {
      if (executableFile(v, denied)) {
        out = v;
        return ERROR_SUCCESS;
      }
    }
  }
  return denied ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
}

// "A=B\0C=D\0\0", wide or narrow; entries such as "=C:=C:\" are Windows-only.
std::vector<std::string> parseEnvironmentBlock(const void* block, bool wide) {
  std::vector<std::string> env;
  if (wide) {
    for (auto* p = static_cast<const wchar_t*>(block); *p; p += std::wcslen(p) + 1) {
      if (*p != L'=') env.push_back(toUtf8(p));
    }
  } else {
    for (auto* p = static_cast<const char*>(block); *p; p += std::strlen(p) + 1) {
      if (*p != '=') env.emplace_back(p);
    }
  }
  return env;
}

class ChildObject : public Waitable {
 public:
  explicit ChildObject(std::shared_ptr<ProcessRecord> record) : record(std::move(record)) {}
  DWORD waitUntil(uint64_t deadlineNs) override {
    return waitLoop(
        deadlineNs, [&] { return record->exited() ? WAIT_OBJECT_0 : DWORD(WAIT_TIMEOUT); },
        [&](uint64_t ns) { record->block(ns); });
  }
  std::shared_ptr<ProcessRecord> record;
};

class ProcessObject : public ChildObject {
 public:
  ProcessObject(std::shared_ptr<ProcessRecord> record, DWORD access = PROCESS_ALL_ACCESS)
      : ChildObject(std::move(record)), access(access) {}
  DWORD waitUntil(uint64_t deadlineNs) override {
    if (!(access & SYNCHRONIZE)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return WAIT_FAILED;
    }
    return ChildObject::waitUntil(deadlineNs);
  }
  const DWORD access;
};

// The main thread of a child ends with it.
class ThreadObject : public ChildObject {
 public:
  using ChildObject::ChildObject;
};

}  // namespace

ProcessRecord::ProcessRecord(pid_t pid, int resumeFd)
    : pid_(pid), pidfd_(int(::syscall(SYS_pidfd_open, pid, 0))), resumeFd_(resumeFd), exitCode_(STILL_ACTIVE) {}

ProcessRecord::~ProcessRecord() {
  if (resumeFd_ >= 0) ::close(resumeFd_);  // a never-resumed child sees the pipe close and ends
  if (pidfd_ >= 0) ::close(pidfd_);
  if (!exited_ && child_) {
    std::lock_guard lock(gOrphansMutex);
    orphans().push_back(pid_);
  }
}

std::shared_ptr<ProcessRecord> ProcessRecord::openExisting(pid_t pid) {
  auto record = std::make_shared<ProcessRecord>(pid, -1);
  if (record->pidfd_ < 0) {
    record->exited_ = true;  // nothing to reap: the destructor must not queue it
    return nullptr;
  }
  record->child_ = false;
  return record;
}

bool ProcessRecord::exited() {
  std::lock_guard lock(mutex_);
  if (exited_) return true;
  if (!child_) {
    // Only its parent learns how it ended: the code is known when this handle ended it.
    pollfd p{pidfd_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    exited_ = true;
    exitCode_ = terminateCode_.value_or(1);
    return true;
  }
  siginfo_t info{};
  int rc = ::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG);
  if (rc == 0 && info.si_pid == 0) return false;
  exited_ = true;
  if (rc != 0) {
    exitCode_ = terminateCode_.value_or(1);  // reaped elsewhere: the code is lost
  } else if (info.si_code == CLD_EXITED) {
    exitCode_ = DWORD(info.si_status);
  } else if (info.si_status == SIGKILL && terminateCode_) {
    exitCode_ = *terminateCode_;
  } else {
    exitCode_ = exitCodeForSignal(info.si_status);
  }
  return true;
}

DWORD ProcessRecord::exitCode() {
  exited();
  std::lock_guard lock(mutex_);
  return exitCode_;
}

bool ProcessRecord::terminate(DWORD code) {
  if (exited()) return false;
  std::lock_guard lock(mutex_);
  if (!terminateCode_) terminateCode_ = code;
  // Another's process is signalled through its pidfd, which a reused id cannot fool.
  if (child_) {
    ::kill(pid_, SIGKILL);
  } else {
    ::syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0);
  }
  return true;
}

DWORD ProcessRecord::resume() {
  std::shared_ptr<JobState> job;
  {
    std::lock_guard lock(mutex_);
    if (resumeFd_ < 0) return 0;
    job = job_.lock();
  }
  char how = job && job->killOnClose() ? kResumeInJob : kResume;
  std::lock_guard lock(mutex_);
  if (resumeFd_ < 0) return 0;
  ssize_t written;
  do {
    written = ::write(resumeFd_, &how, 1);
  } while (written < 0 && errno == EINTR);
  ::close(resumeFd_);
  resumeFd_ = -1;
  return 1;
}

void ProcessRecord::joinJob(const std::shared_ptr<JobState>& job) {
  std::lock_guard lock(mutex_);
  job_ = job;
}

void ProcessRecord::block(uint64_t ns) {
  timespec ts{time_t(ns / 1000000000ull), long(ns % 1000000000ull)};
  if (pidfd_ >= 0) {
    pollfd p{pidfd_, POLLIN, 0};
    ::ppoll(&p, 1, &ts, nullptr);
  } else {
    timespec cap{0, long(std::min<uint64_t>(ns, 1000000))};
    ::nanosleep(&cap, nullptr);
  }
}

void JobState::add(const std::shared_ptr<ProcessRecord>& process) {
  std::lock_guard lock(mutex_);
  members_.push_back(process);
}

void JobState::setKillOnClose(bool on) {
  std::lock_guard lock(mutex_);
  killOnClose_ = on;
}

bool JobState::killOnClose() {
  std::lock_guard lock(mutex_);
  return killOnClose_;
}

void JobState::closed() {
  std::vector<std::weak_ptr<ProcessRecord>> members;
  {
    std::lock_guard lock(mutex_);
    if (!killOnClose_) return;
    members.swap(members_);
  }
  for (auto& weak : members) {
    if (auto process = weak.lock()) process->terminate(1);
  }
}

DWORD spawnProcess(const SpawnRequest& request, std::shared_ptr<ProcessRecord>& out) {
  reapOrphans();
  if (auto injected = faults::take("CreateProcessW")) return *injected;
  // Everything the child needs is made before the fork: after it, only
  // async-signal-safe calls are allowed.
  std::vector<char*> argv;
  for (const auto& a : request.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : request.env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  int errorPipe[2], resumePipe[2] = {-1, -1};
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) return ERROR_NOT_ENOUGH_MEMORY;
  if (request.suspended && ::pipe2(resumePipe, O_CLOEXEC) != 0) {
    ::close(errorPipe[0]);
    ::close(errorPipe[1]);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  int programCopy = request.fromCopy ? executableCopy(request.program) : -1;
  if (request.fromCopy && programCopy < 0) {
    if (devNull >= 0) ::close(devNull);
    ::close(errorPipe[0]);
    ::close(errorPipe[1]);
    if (request.suspended) {
      ::close(resumePipe[0]);
      ::close(resumePipe[1]);
    }
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  pid_t parent = ::getpid();
  pid_t pid = -1;
  int forkErrno = 0;

  spawner().run([&] {
    pid = ::fork();
    if (pid != 0) {
      forkErrno = errno;
      return;
    }
    // The child.
    if (request.detached) {
      ::setsid();
    } else if (request.newProcessGroup) {
      ::setpgid(0, 0);
    }
    for (int i = 0; i < 3; ++i) {
      int fd = request.stdFds[i] == -2 ? devNull : request.stdFds[i];
      if (fd < 0) continue;
      if (fd == i) {
        ::fcntl(fd, F_SETFD, 0);
      } else {
        ::dup2(fd, i);
      }
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE}) ::sigaction(sig, &dfl, nullptr);
    if (request.suspended) {
      ::close(resumePipe[1]);
      char how = 0;
      ssize_t n;
      do {
        n = ::read(resumePipe[0], &how, 1);
      } while (n < 0 && errno == EINTR);
      if (n != 1) ::_exit(1);
      if (how == kResumeInJob) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(1);
      }
    }
    if (!request.workingDirectory.empty() && ::chdir(request.workingDirectory.c_str()) != 0) {
      int e = errno;
      (void)!::write(errorPipe[1], &e, sizeof e);
      ::_exit(127);
    }
    if (programCopy >= 0) {
      ::fexecve(programCopy, argv.data(), envp.data());
    } else {
      ::execve(request.program.c_str(), argv.data(), envp.data());
    }
    int e = errno;
    (void)!::write(errorPipe[1], &e, sizeof e);
    ::_exit(127);
  });

  if (devNull >= 0) ::close(devNull);
  if (programCopy >= 0) ::close(programCopy);
  ::close(errorPipe[1]);
  if (request.suspended) ::close(resumePipe[0]);
  if (pid < 0) {
    ::close(errorPipe[0]);
    if (request.suspended) ::close(resumePipe[1]);
    return errnoToWin32(forkErrno);
  }
  DWORD result = ERROR_SUCCESS;
  if (!request.suspended) {
    int childErrno = 0;
    ssize_t n;
    do {
      n = ::read(errorPipe[0], &childErrno, sizeof childErrno);
    } while (n < 0 && errno == EINTR);
    if (n == ssize_t(sizeof childErrno)) {
      ::waitpid(pid, nullptr, 0);
      result = errnoToWin32(childErrno);
    }
  }
  ::close(errorPipe[0]);
  if (result != ERROR_SUCCESS) return result;
  out = std::make_shared<ProcessRecord>(pid, request.suspended ? resumePipe[1] : -1);
  return ERROR_SUCCESS;
}

DWORD prepareSpawn(LPCWSTR applicationName, LPCWSTR commandLine, DWORD creationFlags, LPVOID environment,
                   LPCWSTR currentDirectory, const void* startupInfoPtr, SpawnRequest& out) {
  std::vector<std::wstring> args;
  if (commandLine && *commandLine) args = splitCommandLine(commandLine);
  if (args.empty() || args[0].empty()) {
    if (!applicationName || !*applicationName) return ERROR_FILE_NOT_FOUND;
    if (args.empty()) args.push_back(applicationName);
    else args[0] = applicationName;
  }
  std::wstring programToken = applicationName && *applicationName ? applicationName : args[0];
  if (DWORD error = resolveProgram(programToken, out.program); error != ERROR_SUCCESS) return error;
  out.argv.clear();
  out.fromCopy = false;
  if (::access(out.program.c_str(), X_OK) != 0) {
    std::vector<std::string> interpreter;
    if (readableFormat(out.program) == Format::kElf) {
      out.fromCopy = true;
    } else if (readShebang(out.program, interpreter)) {
      const std::string script = out.program;
      out.program = interpreter.front();
      out.argv = interpreter;
      out.argv.push_back(script);
    } else {
      return ERROR_ACCESS_DENIED;
    }
  }
  if (out.argv.empty()) out.argv.push_back(out.program);
  for (size_t i = 1; i < args.size(); ++i) out.argv.push_back(toUtf8(args[i]));

  out.env.clear();
  if (environment) {
    out.env = parseEnvironmentBlock(environment, (creationFlags & CREATE_UNICODE_ENVIRONMENT) != 0);
  } else {
    for (char** e = environ; e && *e; ++e) out.env.emplace_back(*e);
  }

  out.workingDirectory.clear();
  if (currentDirectory && *currentDirectory) {
    std::filesystem::path dir = toLinuxPath(currentDirectory);
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return ERROR_DIRECTORY;
    out.workingDirectory = dir.string();
  }
  out.suspended = (creationFlags & CREATE_SUSPENDED) != 0;
  out.newProcessGroup = (creationFlags & CREATE_NEW_PROCESS_GROUP) != 0;
  out.detached = (creationFlags & DETACHED_PROCESS) != 0;

  // A detached process has no console: its standard handles are the null device
  // unless the caller gives its own.
  for (int& fd : out.stdFds) fd = out.detached ? -2 : -1;
  auto* startup = static_cast<const STARTUPINFOW*>(startupInfoPtr);
  if (startup && (startup->dwFlags & STARTF_USESTDHANDLES)) {
    HANDLE streams[3] = {startup->hStdInput, startup->hStdOutput, startup->hStdError};
    for (int i = 0; i < 3; ++i) {
      if (!streams[i] || streams[i] == INVALID_HANDLE_VALUE) {
        out.stdFds[i] = -2;
        continue;
      }
      auto object = handles::lookupAs<FdObject>(streams[i]);
      if (!object) return ERROR_INVALID_HANDLE;
      out.stdFds[i] = object->fd();
    }
  }
  return ERROR_SUCCESS;
}

void publishProcess(const std::shared_ptr<ProcessRecord>& process, void* info) {
  auto* pi = static_cast<PROCESS_INFORMATION*>(info);
  pi->hProcess = handles::insert(std::make_shared<ProcessObject>(process));
  pi->hThread = handles::insert(std::make_shared<ThreadObject>(process));
  pi->dwProcessId = DWORD(process->pid());
  pi->dwThreadId = DWORD(process->pid());  // a process's main thread has its id
}

std::shared_ptr<ProcessRecord> processOf(HANDLE handle) {
  auto object = handles::lookupAs<ProcessObject>(handle);
  return object ? object->record : nullptr;
}

}  // namespace tesmira::platform::kernel

using namespace tesmira::platform;
using namespace tesmira::platform::kernel;

BOOL WINAPI CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL, DWORD creationFlags, LPVOID environment,
                           LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                           LPPROCESS_INFORMATION processInformation) {
  if (!processInformation || !startupInfo) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SpawnRequest request;
  DWORD error = prepareSpawn(applicationName, commandLine, creationFlags, environment, currentDirectory,
                             startupInfo, request);
  std::shared_ptr<ProcessRecord> process;
  if (error == ERROR_SUCCESS) error = spawnProcess(request, process);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  publishProcess(process, processInformation);
  return TRUE;
}

DWORD WINAPI ResumeThread(HANDLE thread) {
  auto object = handles::lookupAs<ThreadObject>(thread);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return DWORD(-1);
  }
  return object->record->resume();
}

HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL, DWORD processId) {
  if (auto injected = faults::take("OpenProcess")) {
    SetLastError(*injected);
    return nullptr;
  }
  // Windows answers an unknown id (and the idle process, 0) with ERROR_INVALID_PARAMETER.
  std::shared_ptr<ProcessRecord> record =
      processId == 0 || processId > DWORD(INT32_MAX) ? nullptr : ProcessRecord::openExisting(pid_t(processId));
  if (!record) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return handles::insert(std::make_shared<ProcessObject>(record, desiredAccess));
}

namespace {
// The process behind `process` when the handle carries one of `rights`; else null
// with the last error set.
std::shared_ptr<ProcessRecord> processWithRights(HANDLE process, DWORD rights) {
  auto object = handles::lookupAs<ProcessObject>(process);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!(object->access & rights)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return object->record;
}
}  // namespace

BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode) {
  if (process == GetCurrentProcess()) ::_exit(int(exitCode));
  auto record = processWithRights(process, PROCESS_TERMINATE);
  if (!record) return FALSE;
  if (!record->terminate(exitCode)) {
    SetLastError(ERROR_ACCESS_DENIED);  // it has already ended
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (process == GetCurrentProcess()) {
    *exitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto record = processWithRights(process, PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION);
  if (!record) return FALSE;
  *exitCode = record->exitCode();
  return TRUE;
}
