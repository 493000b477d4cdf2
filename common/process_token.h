#pragma once
#include <windows.h>

namespace tesmira {

// True only when the token's elevation can be read and is set.
bool isProcessElevated();

}  // namespace tesmira
