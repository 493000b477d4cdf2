#pragma once
// Environment variables read as Windows code reads them: GetEnvironmentVariableW
// into a buffer of MAX_PATH characters.
#include <windows.h>

#include <optional>
#include <string>

namespace tesmira {

// The value when the variable is set, non-empty and shorter than MAX_PATH characters.
std::optional<std::wstring> environmentValue(const wchar_t* name);
// Whether the value (by the rule above) begins with first; names and first are ASCII.
bool environmentBeginsWith(const wchar_t* name, wchar_t first);
bool environmentBeginsWith(const char* name, char first);

}  // namespace tesmira
