#include <windows.h>

#include "producer/kernel_objects.h"

namespace tesmira {

void installConsoleHandler(ConsoleHandler handler) { SetConsoleCtrlHandler(handler, TRUE); }
void beginTimerPeriod() { timeBeginPeriod(1); }
void endTimerPeriod() { timeEndPeriod(1); }

}  // namespace tesmira
