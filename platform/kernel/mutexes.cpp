// Mutexes: ownership across processes is an open-file-description lock on the
// object file, which the kernel drops when the owner dies; the header's `owned`
// word then tells the next owner that the mutex was abandoned.
#include <errno.h>
#include <fcntl.h>

#include <map>
#include <mutex>
#include <thread>

#include "core/handles.h"
#include "errhandlingapi.h"
#include "kernel/named_object.h"
#include "kernel/waitable.h"
#include "processthreadsapi.h"
#include "synchapi.h"
#include "winerror.h"

namespace tesmira::platform::kernel {
namespace {

// One per mutex object in this process, shared by all its handles, so that a
// thread that owns it may wait again (recursion) through any handle.
class MutexState {
 public:
  explicit MutexState(std::shared_ptr<ObjectFile> file) : file_(std::move(file)) {}

  DWORD tryAcquire() {
    std::lock_guard lock(mutex_);
    DWORD me = GetCurrentThreadId();
    if (owner_ == me) {
      ++count_;
      return WAIT_OBJECT_0;
    }
    if (owner_ != 0 || !lockFile(F_WRLCK)) return WAIT_TIMEOUT;
    owner_ = me;
    count_ = 1;
    bool abandoned = file_->header().owned.exchange(1) != 0;
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
  }

  bool release() {
    std::lock_guard lock(mutex_);
    if (owner_ != GetCurrentThreadId()) return false;
    if (--count_ == 0) {
      owner_ = 0;
      file_->header().owned.store(0);
      lockFile(F_UNLCK);
    }
    return true;
  }

 private:
  bool lockFile(short type) {
    struct flock fl{};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    return ::fcntl(file_->fd(), F_OFD_SETLK, &fl) == 0;
  }

  std::shared_ptr<ObjectFile> file_;
  std::mutex mutex_;
  DWORD owner_ = 0;
  uint32_t count_ = 0;
};

std::mutex gStatesMutex;
std::map<std::string, std::weak_ptr<MutexState>>& states() {
  static auto* s = new std::map<std::string, std::weak_ptr<MutexState>>;
  return *s;
}

std::shared_ptr<MutexState> stateFor(const std::shared_ptr<ObjectFile>& file) {
  if (file->path().empty()) return std::make_shared<MutexState>(file);
  std::lock_guard lock(gStatesMutex);
  std::erase_if(states(), [](const auto& entry) { return entry.second.expired(); });
  auto& slot = states()[file->path().string()];
  if (auto existing = slot.lock()) return existing;
  auto made = std::make_shared<MutexState>(file);
  slot = made;
  return made;
}

class MutexObject : public Waitable {
 public:
  explicit MutexObject(std::shared_ptr<MutexState> state) : state_(std::move(state)) {}
  DWORD waitUntil(uint64_t deadlineNs) override {
    return waitLoop(
        deadlineNs, [&] { return state_->tryAcquire(); },
        // Real time: a frozen test clock must not keep a released mutex from being seen.
        [](uint64_t ns) { std::this_thread::sleep_for(std::chrono::nanoseconds(std::min<uint64_t>(ns, 2000000))); });
  }
  bool release() { return state_->release(); }

 private:
  std::shared_ptr<MutexState> state_;
};

}  // namespace
}  // namespace tesmira::platform::kernel

using namespace tesmira::platform;
using namespace tesmira::platform::kernel;

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name) {
  ObjectRequest request{ObjectKind::Mutex, name, true, "CreateMutexW"};
  request.descriptor = descriptorOf(attributes);
  ObjectResult result;
  if (DWORD error = openObject(request, result); error != ERROR_SUCCESS) return failNull(error);
  auto object = std::make_shared<MutexObject>(stateFor(result.file));
  // The creator's request to own it counts only when it made the mutex.
  if (initialOwner && !result.existed) object->waitUntil(0);
  return handleFor(object, result.existed);
}

HANDLE WINAPI OpenMutexW(DWORD, BOOL, LPCWSTR name) {
  if (!name || !*name) return failNull(ERROR_INVALID_PARAMETER);
  ObjectRequest request{ObjectKind::Mutex, name, false, "OpenMutexW"};
  ObjectResult result;
  if (DWORD error = openObject(request, result); error != ERROR_SUCCESS) return failNull(error);
  return handleFor(std::make_shared<MutexObject>(stateFor(result.file)), false);
}

BOOL WINAPI ReleaseMutex(HANDLE mutex) {
  auto object = handles::lookupAs<MutexObject>(mutex);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!object->release()) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}
