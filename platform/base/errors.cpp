#include "base/errors.h"

#include <cerrno>

#include "core/faults.h"
#include "errhandlingapi.h"
#include "winerror.h"

namespace tesmira::platform {

DWORD win32FromErrno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EBUSY: return ERROR_BUSY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EIO: return ERROR_GEN_FAILURE;
    default: return ERROR_GEN_FAILURE;
  }
}

DWORD win32FromError(const std::error_code& error) {
  return error.category() == std::generic_category() || error.category() == std::system_category()
             ? win32FromErrno(error.value())
             : DWORD(ERROR_GEN_FAILURE);
}

bool injectedFailure(const char* site) {
  if (auto error = faults::take(site)) {
    SetLastError(*error);
    return true;
  }
  return false;
}

}  // namespace tesmira::platform
