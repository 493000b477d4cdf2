#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/errors.h"
#include "base/security.h"
#include "core/strings.h"
#include "errhandlingapi.h"
#include "fileapi.h"
#include "winbase.h"
#include "winerror.h"

namespace fs = std::filesystem;

namespace tesmira::platform {
namespace {

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL failErrno() { return fail(win32FromErrno(errno)); }

// Windows says "path not found" when a folder on the way is missing.
DWORD missingError(const fs::path& path) {
  std::error_code ec;
  fs::path parent = path.parent_path();
  return parent.empty() || fs::is_directory(parent, ec) ? DWORD(ERROR_FILE_NOT_FOUND) : DWORD(ERROR_PATH_NOT_FOUND);
}

// What a failed stat or lstat of path (errno set) means to Windows.
DWORD statError(const fs::path& path) { return errno == ENOENT ? missingError(path) : win32FromErrno(errno); }

bool validPath(LPCWSTR path) { return path && *path; }

}  // namespace
}  // namespace tesmira::platform

using namespace tesmira::platform;

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  if (!validPath(lpPathName)) return fail(ERROR_PATH_NOT_FOUND);
  if (injectedFailure("CreateDirectoryW")) return FALSE;
  fs::path path = toLinuxPath(lpPathName);
  if (::mkdir(path.c_str(), 0777) != 0) {
    return fail(errno == ENOENT ? DWORD(ERROR_PATH_NOT_FOUND) : win32FromErrno(errno));
  }
  if (lpSecurityAttributes && lpSecurityAttributes->lpSecurityDescriptor) {
    if (auto mode = security::modeFor(lpSecurityAttributes->lpSecurityDescriptor, true)) {
      ::chmod(path.c_str(), mode_t(*mode));
    }
  }
  return TRUE;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  if (!validPath(lpPathName)) return fail(ERROR_PATH_NOT_FOUND);
  fs::path path = toLinuxPath(lpPathName);
  if (::rmdir(path.c_str()) != 0) {
    if (errno == ENOENT) return fail(missingError(path));
    if (errno == ENOTDIR) return fail(ERROR_DIRECTORY);
    return failErrno();
  }
  return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  if (!validPath(lpFileName)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  fs::path path = toLinuxPath(lpFileName);
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) {
    SetLastError(statError(path));
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = 0;
  if (S_ISDIR(info.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (!(info.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  if (path.filename().string().rfind('.', 0) == 0) attributes |= FILE_ATTRIBUTE_HIDDEN;
  return attributes ? attributes : DWORD(FILE_ATTRIBUTE_NORMAL);
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  if (!validPath(lpFileName)) return fail(ERROR_PATH_NOT_FOUND);
  if (injectedFailure("DeleteFileW")) return FALSE;
  fs::path path = toLinuxPath(lpFileName);
  struct stat info{};
  if (::lstat(path.c_str(), &info) != 0) return fail(statError(path));
  if (S_ISDIR(info.st_mode)) return fail(ERROR_ACCESS_DENIED);
  if (::unlink(path.c_str()) != 0) return failErrno();
  return TRUE;
}

BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
  if (!validPath(lpExistingFileName) || !validPath(lpNewFileName)) return fail(ERROR_PATH_NOT_FOUND);
  if (injectedFailure("CopyFileW")) return FALSE;
  fs::path source = toLinuxPath(lpExistingFileName);
  fs::path target = toLinuxPath(lpNewFileName);
  std::error_code ec;
  auto status = fs::status(source, ec);
  if (ec || !fs::exists(status)) return fail(missingError(source));
  if (fs::is_directory(status)) return fail(ERROR_ACCESS_DENIED);
  if (fs::exists(target, ec)) {
    if (bFailIfExists) return fail(ERROR_FILE_EXISTS);
    if (fs::equivalent(source, target, ec)) return fail(ERROR_SHARING_VIOLATION);
    if (fs::is_directory(target, ec)) return fail(ERROR_ACCESS_DENIED);
  }
  if (!fs::is_directory(target.parent_path().empty() ? fs::path(".") : target.parent_path(), ec)) {
    return fail(ERROR_PATH_NOT_FOUND);
  }
  fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec);
  if (ec) return fail(win32FromError(ec));
  return TRUE;
}

BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  if (!validPath(lpExistingFileName) || !validPath(lpNewFileName)) return fail(ERROR_INVALID_PARAMETER);
  if (injectedFailure("MoveFileExW")) return FALSE;
  fs::path source = toLinuxPath(lpExistingFileName);
  fs::path target = toLinuxPath(lpNewFileName);
  struct stat info{};
  if (::lstat(source.c_str(), &info) != 0) return fail(statError(source));
  bool replace = dwFlags & MOVEFILE_REPLACE_EXISTING;
  // rename() replaces in one step; without the flag an existing target must stay.
  int result = replace ? ::rename(source.c_str(), target.c_str())
                       : ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
  if (result == 0) return TRUE;
  int error = errno;
  if (error == EEXIST || (error == ENOTEMPTY && !replace)) return fail(ERROR_ALREADY_EXISTS);
  if (error == ENOENT) return fail(ERROR_PATH_NOT_FOUND);
  if (error == EXDEV && (dwFlags & MOVEFILE_COPY_ALLOWED) && !S_ISDIR(info.st_mode)) {
    if (!CopyFileW(lpExistingFileName, lpNewFileName, !replace)) return FALSE;
    ::unlink(source.c_str());
    return TRUE;
  }
  if (error == EXDEV) return fail(ERROR_NOT_SAME_DEVICE);
  return fail(win32FromErrno(error));
}
