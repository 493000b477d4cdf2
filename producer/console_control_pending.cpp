// For a platform without console control handlers and timer periods yet: the
// producer then stops only by its frame count or by being ended.
#include "producer/kernel_objects.h"

namespace tesmira {

void installConsoleHandler(ConsoleHandler) {}
void beginTimerPeriod() {}
void endTimerPeriod() {}

}  // namespace tesmira
