#pragma once
#include <string_view>

namespace tesmira::platform {

// Makes a bare system DLL name (e.g. L"mfsensorgroup.dll") load as the platform library
// itself, so GetProcAddress finds the C function that the layer exports under that name.
// Safe to call from static initialisers; names compare without case.
// Tests make any module missing with fault site "LoadLibraryW.<lower-case file name>".
void registerSystemModule(std::wstring_view dllName);
bool isSystemModule(std::wstring_view dllName);

}  // namespace tesmira::platform
