#pragma once
#include <optional>
#include <string>

#include "minwindef.h"

namespace tesmira::platform {

// The system's English text for a Win32 code or HRESULT, with its trailing "\r\n";
// an HRESULT of FACILITY_WIN32 reads its Win32 code's text. nullopt when there is none.
std::optional<std::wstring> systemMessage(DWORD code);

}  // namespace tesmira::platform
