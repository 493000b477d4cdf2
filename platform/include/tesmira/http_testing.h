#pragma once
// Test hooks of the layer's WinHTTP: roots a test adds to the machine's trusted
// certificate store (beside the system's). Product code never includes this header.
#include <string>

#include "../minwindef.h"

namespace tesmira::platform::http {

// Trusts a PEM CA certificate for TLS on this machine (all its processes).
TESMIRA_EXPORT void trustRootCertificate(const std::string& name, const std::string& pem);

}  // namespace tesmira::platform::http
