#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/errors.h"
#include "core/faults.h"
#include "combaseapi.h"
#include "core/machine.h"
#include "core/strings.h"
#include "errhandlingapi.h"
#include "fileapi.h"
#include "shlobj.h"
#include "winerror.h"

namespace tesmira::platform {
namespace {

std::string userName() {
  const char* user = std::getenv("USERNAME");
  return user && *user ? std::string(user) : std::string("user");
}

// Folders are made on first use, as a Windows machine always has them.
std::filesystem::path knownFolder(REFKNOWNFOLDERID id) {
  if (id == FOLDERID_ProgramData) return machinePath("ProgramData");
  std::filesystem::path appData = std::filesystem::path("Users") / userName() / "AppData";
  if (id == FOLDERID_RoamingAppData) return machinePath(appData / "Roaming");
  if (id == FOLDERID_LocalAppData) return machinePath(appData / "Local");
  return {};
}

}  // namespace
}  // namespace tesmira::platform

using namespace tesmira::platform;

HRESULT WINAPI SHGetKnownFolderPath(REFKNOWNFOLDERID rfid, DWORD dwFlags, HANDLE hToken, PWSTR* ppszPath) {
  if (!ppszPath) return E_INVALIDARG;
  *ppszPath = nullptr;
  // The injected value is an HRESULT, or a Win32 code that becomes one.
  if (auto error = faults::take("SHGetKnownFolderPath")) return HRESULT_FROM_WIN32(*error);
  std::filesystem::path folder = knownFolder(rfid);
  if (folder.empty()) return E_INVALIDARG;
  std::wstring text = fromUtf8(folder.string());
  auto* buffer = static_cast<PWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
  if (!buffer) return E_OUTOFMEMORY;
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  *ppszPath = buffer;
  return S_OK;
}

DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  if (injectedFailure("GetTempPathW")) return 0;
  const char* tmp = std::getenv("TMPDIR");
  std::wstring path = fromUtf8(tmp && *tmp ? tmp : "/tmp");
  if (path.back() != L'/') path += L'/';
  // Too small: the size needed, terminator included; else the length copied.
  if (!lpBuffer || nBufferLength < path.size() + 1) return DWORD(path.size() + 1);
  std::memcpy(lpBuffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return DWORD(path.size());
}
