#include <cstdlib>

#include "errhandlingapi.h"
#include "winbase.h"
#include "winerror.h"

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  void* block = (uFlags & LMEM_ZEROINIT) ? std::calloc(uBytes ? uBytes : 1, 1) : std::malloc(uBytes ? uBytes : 1);
  if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  std::free(hMem);
  return nullptr;
}
