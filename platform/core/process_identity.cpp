#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "combaseapi.h"
#include "processthreadsapi.h"

HANDLE WINAPI GetCurrentProcess() { return reinterpret_cast<HANDLE>(intptr_t(-1)); }
DWORD WINAPI GetCurrentProcessId() { return DWORD(::getpid()); }
DWORD WINAPI GetCurrentThreadId() { return DWORD(::syscall(SYS_gettid)); }

LPVOID WINAPI CoTaskMemAlloc(SIZE_T size) { return std::malloc(size ? size : 1); }
LPVOID WINAPI CoTaskMemRealloc(LPVOID block, SIZE_T size) { return std::realloc(block, size ? size : 1); }
void WINAPI CoTaskMemFree(LPVOID block) { std::free(block); }
