#include "producer/kernel_objects.h"

#include <windows.h>

#include "common/channels.h"

namespace tesmira {

HANDLE openOrCreateFrameReadyEvent() {
  return openOrCreateEvent(kFrameReadyEventName, EVENT_MODIFY_STATE | SYNCHRONIZE, kFrameReadyEventSddl);
}

void signalEvent(HANDLE event) {
  if (event) SetEvent(event);
}

void closeHandle(HANDLE& handle) {
  if (handle) CloseHandle(handle);
  handle = nullptr;
}

}  // namespace tesmira
