// GetDiskFreeSpaceExW on statvfs, with a machine-wide override for tests.
#include <sys/statvfs.h>

#include <cerrno>
#include <fstream>
#include <optional>
#include <string>

#include "base/errors.h"
#include "core/faults.h"
#include "core/machine.h"
#include "core/strings.h"
#include "errhandlingapi.h"
#include "fileapi.h"
#include "tesmira/disk_testing.h"
#include "winerror.h"

namespace tesmira::platform {
namespace {

// A file under the machine root, so the tools a test starts see the same disk.
std::filesystem::path overrideFile() { return machinePath("disk") / "free-bytes"; }

std::optional<uint64_t> freeBytesOverride() {
  std::ifstream in(overrideFile());
  uint64_t bytes = 0;
  if (in >> bytes) return bytes;
  return std::nullopt;
}

}  // namespace

void disktesting::setFreeBytes(std::optional<uint64_t> bytes) {
  std::error_code ec;
  if (!bytes) {
    std::filesystem::remove(overrideFile(), ec);
    return;
  }
  std::ofstream(overrideFile(), std::ios::trunc) << *bytes;
}

}  // namespace tesmira::platform

using namespace tesmira::platform;

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                PULARGE_INTEGER lpTotalNumberOfBytes, PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
  if (auto injected = faults::take("GetDiskFreeSpaceExW")) {
    SetLastError(*injected);
    return FALSE;
  }
  const std::filesystem::path folder =
      lpDirectoryName && *lpDirectoryName ? toLinuxPath(lpDirectoryName) : std::filesystem::path(".");
  struct statvfs st{};
  if (::statvfs(folder.c_str(), &st) != 0) {
    SetLastError(errno == ENOENT || errno == ENOTDIR ? DWORD(ERROR_PATH_NOT_FOUND) : win32FromErrno(errno));
    return FALSE;
  }
  uint64_t total = uint64_t(st.f_blocks) * st.f_frsize;
  uint64_t available = uint64_t(st.f_bavail) * st.f_frsize;
  uint64_t free = uint64_t(st.f_bfree) * st.f_frsize;
  if (auto bytes = freeBytesOverride()) {
    available = free = *bytes;
    if (total < free) total = free;
  }
  if (lpFreeBytesAvailableToCaller) lpFreeBytesAvailableToCaller->QuadPart = available;
  if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = total;
  if (lpTotalNumberOfFreeBytes) lpTotalNumberOfFreeBytes->QuadPart = free;
  return TRUE;
}
