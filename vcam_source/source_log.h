#pragma once
// The media source's only log sink and the texts its lines are made of.
#include <windows.h>

#include <string>

namespace tesmira::vcam {

// Writes "source: " + message as one line of the service log. Best effort.
void logSource(const std::wstring& message);
// Registry form of a GUID (38 characters), or "<invalid-guid>".
std::wstring guidToText(REFGUID guid);

}  // namespace tesmira::vcam
