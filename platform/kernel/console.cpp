// Console control handlers driven by signals. The signal handler only writes
// the signal's number into a pipe; a thread of its own reads it and calls the
// handlers, newest first, as Windows does, until one returns TRUE.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "consoleapi.h"
#include "errhandlingapi.h"
#include "timeapi.h"
#include "winerror.h"

namespace tesmira::platform::kernel {
namespace {

struct Console {
  std::mutex mutex;
  std::vector<PHANDLER_ROUTINE> handlers;
  bool ignoreCtrlC = false;
  bool started = false;
  int pipe[2] = {-1, -1};
};

Console& console() {
  static auto* c = new Console;  // never destroyed: its thread outlives static destructors
  return *c;
}

// Written only before the signal handlers are installed.
int gSignalPipe = -1;

constexpr int kSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

DWORD ctrlTypeOf(int sig) {
  switch (sig) {
    case SIGINT: return CTRL_C_EVENT;
    case SIGQUIT: return CTRL_BREAK_EVENT;
    case SIGHUP: return CTRL_CLOSE_EVENT;
    default: return CTRL_SHUTDOWN_EVENT;
  }
}

void onSignal(int sig) {
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(sig);
  (void)!::write(gSignalPipe, &byte, 1);
  errno = saved;
}

// Nobody handled it: the default action, which ends the process.
void endBySignal(int sig) {
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(sig, &dfl, nullptr);
  ::kill(::getpid(), sig);
}

void dispatch(int sig) {
  DWORD type = ctrlTypeOf(sig);
  std::vector<PHANDLER_ROUTINE> handlers;
  bool ignore;
  {
    std::lock_guard lock(console().mutex);
    handlers = console().handlers;
    ignore = console().ignoreCtrlC && type == CTRL_C_EVENT;
  }
  if (ignore) return;
  for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
    if ((*it)(type)) return;
  }
  endBySignal(sig);
}

void dispatcherLoop(int readEnd) {
  for (;;) {
    unsigned char byte = 0;
    ssize_t n = ::read(readEnd, &byte, 1);
    if (n == 1) dispatch(byte);
    else if (n < 0 && errno != EINTR) return;
  }
}

// Caller holds the console's mutex.
bool startLocked() {
  Console& c = console();
  if (c.started) return true;
  if (::pipe2(c.pipe, O_CLOEXEC) != 0) return false;
  ::fcntl(c.pipe[1], F_SETFL, O_NONBLOCK);
  gSignalPipe = c.pipe[1];
  std::thread(dispatcherLoop, c.pipe[0]).detach();
  struct sigaction action{};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : kSignals) ::sigaction(sig, &action, nullptr);
  c.started = true;
  return true;
}

}  // namespace
}  // namespace tesmira::platform::kernel

using namespace tesmira::platform::kernel;

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  Console& c = console();
  std::lock_guard lock(c.mutex);
  if (!startLocked()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (!handler) {
    c.ignoreCtrlC = add != FALSE;
    return TRUE;
  }
  if (add) {
    c.handlers.push_back(handler);
    return TRUE;
  }
  auto it = std::find(c.handlers.rbegin(), c.handlers.rend(), handler);
  if (it == c.handlers.rend()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  c.handlers.erase(std::next(it).base());
  return TRUE;
}

MMRESULT WINAPI timeBeginPeriod(UINT period) { return period == 0 ? TIMERR_NOCANDO : TIMERR_NOERROR; }
MMRESULT WINAPI timeEndPeriod(UINT period) { return period == 0 ? TIMERR_NOCANDO : TIMERR_NOERROR; }
