#pragma once
#include <system_error>

#include "minwindef.h"

namespace tesmira::platform {

// The Win32 code Windows would report for a failed file-system call's errno.
DWORD win32FromErrno(int error);
DWORD win32FromError(const std::error_code& error);

// True (and the last error set) when a test injected a failure at this site.
bool injectedFailure(const char* site);

}  // namespace tesmira::platform
