#include "common/helpers.h"

#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <cwctype>
#include <fstream>
#include <system_error>

namespace tesmira {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kFolderSddl =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;LS)(A;OICI;0x1200a9;;;BU)";
constexpr const wchar_t* kFileSddl = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;LS)(A;;0x1200a9;;;BU)";

HRESULT lastErrorAsHresult() {
  DWORD error = GetLastError();
  return win32ToHresult(LONG(error ? error : ERROR_GEN_FAILURE));
}

// UTF-8 of wide text; what cannot be encoded becomes U+FFFD.
std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(size_t(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), bytes, nullptr, nullptr);
  return out;
}

std::wstring withSystemText(std::wstring number, DWORD code) {
  std::wstring text = formatSystemMessage(FORMAT_MESSAGE_FROM_SYSTEM, code);
  if (!text.empty()) number += L" (" + text + L")";
  return number;
}

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

std::filesystem::path programDataFolder() {
  PWSTR known = nullptr;
  HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known);
  std::filesystem::path folder;
  if (SUCCEEDED(hr) && known && *known) folder = known;
  CoTaskMemFree(known);
  return folder.empty() ? programDataFromEnvironment() : folder;
}

std::filesystem::path programDataFromEnvironment() {
  WCHAR value[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"ProgramData", value, MAX_PATH);
  if (length > 0 && length < MAX_PATH) return std::filesystem::path(std::wstring(value, length));

  // Last resort: the temporary folder; without one there is no folder at all.
  WCHAR temp[MAX_PATH + 1];
  length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return {};
  return std::filesystem::path(std::wstring(temp, length));
}

std::filesystem::path logFileUnder(const std::filesystem::path& base, const std::wstring& name) {
  // Without a base there is nowhere to write: a relative log file would land anywhere.
  return base.empty() ? std::filesystem::path() : base / L"Tesmira" / L"Logs" / name;
}

std::filesystem::path serviceLogPath() { return logFileUnder(programDataFolder(), L"vcam-service.log"); }
std::filesystem::path agentLogPath() { return logFileUnder(programDataFolder(), L"vcam-agent.log"); }
std::filesystem::path vcamStagingFolder() { return programDataFolder() / L"Tesmira" / L"Vcam"; }

void appendLogLine(const std::wstring& message) {
  try {
    appendLogLineTo(serviceLogPath(), message);
  } catch (...) {
  }
}

std::string formatLogLine(const SYSTEMTIME& t, const std::string& message) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", unsigned(t.wYear), unsigned(t.wMonth),
                unsigned(t.wDay), unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond));
  return stamp + message;
}

void appendLogLineTo(const std::filesystem::path& file, const std::string& message) {
  try {
    if (file.empty()) return;
    std::error_code ignored;
    fs::create_directories(file.parent_path(), ignored);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    // The whole line in one write, so lines of several processes interleave whole.
    const std::string line = formatLogLine(now, message) + "\r\n";
    std::ofstream out(file, std::ios::binary | std::ios::app);
    if (!out) return;
    out.write(line.data(), std::streamsize(line.size()));
  } catch (...) {
  }
}

void appendLogLineTo(const std::filesystem::path& file, const std::wstring& message) {
  try {
    appendLogLineTo(file, utf8(message));
  } catch (...) {
  }
}

HRESULT win32ToHresult(LONG code) {
  return code > 0 ? HRESULT(0x80070000u | (uint32_t(code) & 0xFFFFu)) : HRESULT(code);
}

std::wstring formatSystemMessage(DWORD extraFlags, DWORD code) {
  LPWSTR buffer = nullptr;
  DWORD length = FormatMessageW(extraFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0x400, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::wstring text;
  if (length && buffer) text.assign(buffer, length);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  return text;
}

std::wstring hresultToText(HRESULT hr) {
  wchar_t number[16];
  std::swprintf(number, 16, L"0x%08X", unsigned(uint32_t(hr)));
  return withSystemText(number, DWORD(hr));
}

std::wstring win32ErrorToText(DWORD code) { return withSystemText(std::to_wstring(code), code); }

bool isProcessElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
                  elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

std::wstring quoteArgument(const std::wstring& argument) {
  // Backslashes are doubled only where they precede a quote (an embedded one or the
  // closing one); anywhere else they are read back literally.
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  quoted += L'"';
  return quoted;
}

std::wstring joinCommandLine(const std::vector<std::wstring>& arguments) {
  std::wstring line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i) line += L' ';
    line += quoteArgument(arguments[i]);
  }
  return line;
}

bool containsNoCase(const std::wstring& haystack, const std::wstring& needle) {
  if (needle.size() > haystack.size()) return false;
  std::wstring h = haystack, n = needle;
  for (auto& c : h) c = wchar_t(std::towlower(c));
  for (auto& c : n) c = wchar_t(std::towlower(c));
  return h.find(n) != std::wstring::npos;
}

std::filesystem::path executablePath() {
  constexpr DWORD kLongestPath = 32768;
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size() - 1) return std::filesystem::path(buffer.substr(0, length));
    if (buffer.size() >= kLongestPath) return {};
    buffer.assign(buffer.size() * 2, L'\0');
  }
}

std::filesystem::path executableDirectory() { return executablePath().parent_path(); }

std::filesystem::path defaultMediaSourceDllPath() {
  return executableDirectory() / L"tesmira_windows_vcam_source.dll";
}

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
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return win32ToHresult(ERROR_FILE_NOT_FOUND);
    return win32ToHresult(LONG(error ? error : ERROR_GEN_FAILURE));
  }
  std::error_code ec;
  if (std::filesystem::equivalent(source, destination, ec) && !ec) return applyFileAcl(destination, false);

  HRESULT hr = createDirectoryWithAcl(destination.parent_path());
  if (FAILED(hr)) return hr;
  if (!CopyFileW(wide(source).c_str(), wide(destination).c_str(), FALSE)) return lastErrorAsHresult();
  return applyFileAcl(destination, false);
}

}  // namespace tesmira
