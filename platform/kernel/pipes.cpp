// Anonymous pipes on Linux pipes. Both ends are close-on-exec: a child gets the write
// end only as a standard handle, so the reader sees the end once the child and every
// other holder have closed it.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "core/faults.h"
#include "core/handles.h"
#include "errhandlingapi.h"
#include "handleapi.h"
#include "fileapi.h"
#include "kernel/fd_object.h"
#include "namedpipeapi.h"
#include "winerror.h"

namespace tesmira::platform::kernel {
namespace {

class PipeEnd : public FdObject {
 public:
  explicit PipeEnd(int fd) : fd_(fd) {}
  ~PipeEnd() override { ::close(fd_); }
  int fd() const override { return fd_; }

 private:
  int fd_;
};

DWORD errnoToWin32(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EBADF: return ERROR_INVALID_HANDLE;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace
}  // namespace tesmira::platform::kernel

using namespace tesmira::platform;
using tesmira::platform::kernel::FdObject;
using tesmira::platform::kernel::PipeEnd;

BOOL WINAPI CreatePipe(PHANDLE readPipe, PHANDLE writePipe, LPSECURITY_ATTRIBUTES attributes, DWORD) {
  if (!readPipe || !writePipe) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (auto injected = faults::take("CreatePipe")) {
    SetLastError(*injected);
    return FALSE;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    SetLastError(kernel::errnoToWin32(errno));
    return FALSE;
  }
  *readPipe = handles::insert(std::make_shared<PipeEnd>(fds[0]));
  *writePipe = handles::insert(std::make_shared<PipeEnd>(fds[1]));
  if (attributes && attributes->bInheritHandle) {
    SetHandleInformation(*readPipe, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(*writePipe, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
  if (read) *read = 0;
  if ((!buffer && toRead) || overlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto object = handles::lookupAs<FdObject>(file);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (toRead == 0) return TRUE;
  for (;;) {
    const ssize_t n = ::read(object->fd(), buffer, toRead);
    if (n > 0) {
      if (read) *read = DWORD(n);
      return TRUE;
    }
    if (n == 0) {
      SetLastError(ERROR_BROKEN_PIPE);
      return FALSE;
    }
    if (errno == EINTR) continue;
    SetLastError(kernel::errnoToWin32(errno));
    return FALSE;
  }
}
