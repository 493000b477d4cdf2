#include "common/error_text.h"

#include <cstdint>
#include <cwchar>

namespace tesmira {
namespace {

std::wstring withSystemText(std::wstring number, DWORD code) {
  std::wstring text = formatSystemMessage(FORMAT_MESSAGE_FROM_SYSTEM, code);
  if (!text.empty()) number += L" (" + text + L")";
  return number;
}

}  // namespace

HRESULT win32ToHresult(LONG code) {
  return code > 0 ? HRESULT(0x80070000u | (uint32_t(code) & 0xFFFFu)) : HRESULT(code);
}

HRESULT lastErrorAsHresult() {
  DWORD error = GetLastError();
  return win32ToHresult(LONG(error ? error : ERROR_GEN_FAILURE));
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

}  // namespace tesmira
