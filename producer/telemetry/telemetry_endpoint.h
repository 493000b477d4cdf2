#pragma once
// Where telemetry goes and where its files live, and the identifiers every event carries.
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace tesmira::telemetry {

struct TelemetryEndpoint {
  std::wstring host = L"telemetry.tesmira.app";
  std::wstring path = L"/api/telemetryBatch";
  uint16_t port = 443;
  bool secure = true;
  bool local = false;
};

// The process-wide endpoint: written by the client's constructor before any upload
// can start, only read afterwards (the upload thread reads it too, so it is never destroyed).
const TelemetryEndpoint& telemetryEndpoint();
void setTelemetryEndpoint(const TelemetryEndpoint& endpoint);

// Empty URL: the default endpoint. Throws the three endpoint errors.
TelemetryEndpoint parseTelemetryEndpoint(const std::string& url);

// Tests only: the default (secure, non-local) endpoint points at this host and port instead.
void overrideDefaultEndpointForTesting(const std::wstring& host, uint16_t port);
void clearDefaultEndpointOverrideForTesting();

std::filesystem::path appDataFolder();
// appDataFolder\Telemetry, with \Local for a local endpoint.
std::filesystem::path telemetryFolder();

std::string toUtf8(const std::wstring& wide);
std::wstring toWide(const std::string& utf8);
// A new GUID as 36 upper-case characters, or the milliseconds since start when none can be made.
std::string newGuidString();
std::string loadOrCreateInstallId();
std::string classifyConsumerApp(const std::string& consumerKey);

// Unix seconds (UTC) and milliseconds since start, from the layer's clocks.
int64_t unixNow();
uint64_t tickMs();

}  // namespace tesmira::telemetry
