#pragma once
// The named kernel objects the producer opens beyond its channel mappings (those come
// from common/channel.h): the frame-ready event; and the console handler and the
// timer period.
#include <windows.h>

#include <cstddef>

#include "common/channel.h"

namespace tesmira {

// Read-only: an existing channel (never created) mapped for reading.
inline MappedChannel openChannelReadOnly(const wchar_t* name, size_t bytes) {
  return openExistingChannel(name, FILE_MAP_READ, bytes);
}

// The frame-ready event (auto-reset, not signalled), opened or created; null when unavailable.
HANDLE openOrCreateFrameReadyEvent();
void signalEvent(HANDLE event);
void closeHandle(HANDLE& handle);

// The console handler and the 1 ms timer period.
using ConsoleHandler = BOOL (*)(DWORD controlType);
void installConsoleHandler(ConsoleHandler handler);
void beginTimerPeriod();
void endTimerPeriod();

}  // namespace tesmira
