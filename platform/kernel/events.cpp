// Events: the signalled state is a futex word in the object's shared header.
#include "core/handles.h"
#include "errhandlingapi.h"
#include "kernel/named_object.h"
#include "kernel/waitable.h"
#include "synchapi.h"
#include "winerror.h"

namespace tesmira::platform::kernel {
namespace {

class EventObject : public Waitable {
 public:
  EventObject(std::shared_ptr<ObjectFile> file, bool canModify, bool canWait)
      : file_(std::move(file)), canModify_(canModify), canWait_(canWait) {}

  DWORD waitUntil(uint64_t deadlineNs) override {
    if (!canWait_) {
      SetLastError(ERROR_ACCESS_DENIED);
      return WAIT_FAILED;
    }
    ObjectHeader& h = file_->header();
    bool manual = h.manualReset != 0;
    return waitLoop(
        deadlineNs,
        [&]() -> DWORD {
          if (manual) return h.signalled.load(std::memory_order_acquire) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
          uint32_t expected = 1;
          // Auto-reset: the one waiter that takes the signal clears it, so several
          // sets before this wait are one wake.
          return h.signalled.compare_exchange_strong(expected, 0, std::memory_order_acq_rel) ? WAIT_OBJECT_0
                                                                                               : WAIT_TIMEOUT;
        },
        [&](uint64_t ns) { futexWait(h.signalled, 0, ns); });
  }

  bool set() {
    ObjectHeader& h = file_->header();
    h.signalled.store(1, std::memory_order_release);
    futexWake(h.signalled, h.manualReset ? INT32_MAX : 1);
    return true;
  }

  void reset() { file_->header().signalled.store(0, std::memory_order_release); }
  bool canModify() const { return canModify_; }

 private:
  std::shared_ptr<ObjectFile> file_;
  bool canModify_;
  bool canWait_;
};

BOOL modify(HANDLE handle, bool set) {
  auto event = handles::lookupAs<EventObject>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!event->canModify()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (set) {
    event->set();
  } else {
    event->reset();
  }
  return TRUE;
}

}  // namespace
}  // namespace tesmira::platform::kernel

using namespace tesmira::platform;
using namespace tesmira::platform::kernel;

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  ObjectRequest request{ObjectKind::Event, name, true, "CreateEventW"};
  request.descriptor = descriptorOf(attributes);
  request.manualReset = manualReset != FALSE;
  request.initialState = initialState != FALSE;
  ObjectResult result;
  if (DWORD error = openObject(request, result); error != ERROR_SUCCESS) return failNull(error);
  // An existing event keeps its own type and state.
  return handleFor(std::make_shared<EventObject>(result.file, true, true), result.existed);
}

HANDLE WINAPI OpenEventW(DWORD desiredAccess, BOOL, LPCWSTR name) {
  if (!name || !*name) return failNull(ERROR_INVALID_PARAMETER);
  ObjectRequest request{ObjectKind::Event, name, false, "OpenEventW"};
  ObjectResult result;
  if (DWORD error = openObject(request, result); error != ERROR_SUCCESS) return failNull(error);
  bool all = (desiredAccess & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0;
  bool canModify = all || (desiredAccess & (EVENT_MODIFY_STATE | GENERIC_WRITE)) != 0;
  bool canWait = all || (desiredAccess & (SYNCHRONIZE | GENERIC_READ | GENERIC_EXECUTE)) != 0;
  return handleFor(std::make_shared<EventObject>(result.file, canModify, canWait), false);
}

BOOL WINAPI SetEvent(HANDLE event) { return modify(event, true); }
BOOL WINAPI ResetEvent(HANDLE event) { return modify(event, false); }
