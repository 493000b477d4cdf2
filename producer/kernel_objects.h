#pragma once
// The named kernel objects the producer opens: channel mappings and the frame-ready
// event; and the console handler and the timer period.
#include <windows.h>

#include <cstddef>

namespace tesmira {

struct MappedChannel {
  HANDLE mapping = nullptr;
  void* view = nullptr;
};

// Opens "Global\<name>" then "Local\<name>" for read/write; when neither exists,
// creates a page-file mapping of `bytes` with the channel descriptor, Global\ then
// Local\; then maps a read/write view of `bytes`. No view: the channel is unavailable
// and *lastError (when given) holds the Win32 code of the last failed step.
MappedChannel openOrCreateChannel(const wchar_t* name, size_t bytes, DWORD* lastError = nullptr);
// Read-only: opens an existing channel (Global\ then Local\) and maps `bytes` for reading.
MappedChannel openChannelReadOnly(const wchar_t* name, size_t bytes);
void closeMapping(MappedChannel& channel);

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
