#pragma once
// Failures a test scripts for the virtual camera calls: first the in-process
// fault injection, then the machine's queue (so a child process can be scripted).
#include <optional>
#include <string>

#include "minwindef.h"

namespace tesmira::platform::mfdevices {

// Sites: "MFCreateVirtualCamera", "IMFVirtualCamera::Start", "IMFVirtualCamera::AddDeviceSourceInfo".
std::optional<HRESULT> takeScriptedFailure(const std::string& site);

}  // namespace tesmira::platform::mfdevices
