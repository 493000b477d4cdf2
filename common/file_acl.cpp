#include "common/file_acl.h"

#include <sddl.h>

#include <system_error>

#include "common/error_text.h"
#include "common/hresult.h"

namespace tesmira {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kFolderSddl =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;LS)(A;OICI;0x1200a9;;;BU)";
constexpr const wchar_t* kFileSddl = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;LS)(A;;0x1200a9;;;BU)";

// The path as the wide text the Windows calls take; empty (so the call fails) when a
// narrow path cannot be converted.
std::wstring wide(const fs::path& path) {
  try {
    return path.wstring();
  } catch (...) {
    return {};
  }
}

bool isFolder(const fs::path& path) {
  DWORD attributes = GetFileAttributesW(wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

HRESULT applyFileAcl(const std::filesystem::path& path, bool folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(folder ? kFolderSddl : kFileSddl, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return lastErrorAsHresult();
  }
  HRESULT hr = S_OK;
  if (!SetFileSecurityW(wide(path).c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor)) {
    hr = lastErrorAsHresult();
  }
  LocalFree(descriptor);
  return hr;
}

HRESULT createDirectoryWithAcl(const std::filesystem::path& folder) {
  if (folder.empty()) return win32ToHresult(ERROR_PATH_NOT_FOUND);
  // Each missing folder on the way, outermost first; one that exists is no error.
  std::filesystem::path partial;
  for (const auto& part : folder) {
    partial /= part;
    if (isFolder(partial)) continue;
    if (!CreateDirectoryW(wide(partial).c_str(), nullptr) && !(GetLastError() == ERROR_ALREADY_EXISTS && isFolder(partial))) {
      return lastErrorAsHresult();
    }
  }
  return applyFileAcl(folder, true);
}

HRESULT copyFileWithAcl(const std::filesystem::path& source, const std::filesystem::path& destination) {
  if (GetFileAttributesW(wide(source).c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return win32ToHresult(ERROR_FILE_NOT_FOUND);
    return lastErrorAsHresult();
  }
  std::error_code ec;
  if (std::filesystem::equivalent(source, destination, ec) && !ec) return applyFileAcl(destination, false);

  RETURN_IF_FAILED(createDirectoryWithAcl(destination.parent_path()));
  if (!CopyFileW(wide(source).c_str(), wide(destination).c_str(), FALSE)) return lastErrorAsHresult();
  return applyFileAcl(destination, false);
}

}  // namespace tesmira
