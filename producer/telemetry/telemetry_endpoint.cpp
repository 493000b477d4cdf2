#include "producer/telemetry/telemetry_endpoint.h"

#include <objbase.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "common/https_client.h"

namespace tesmira::telemetry {
namespace {

namespace fs = std::filesystem;

// Heap objects never destroyed: a detached upload thread may still read them at exit.
TelemetryEndpoint& endpointStore() {
  static auto* endpoint = new TelemetryEndpoint;
  return *endpoint;
}

std::optional<std::pair<std::wstring, uint16_t>>& defaultOverride() {
  static auto* value = new std::optional<std::pair<std::wstring, uint16_t>>;
  return *value;
}

TelemetryEndpoint defaultEndpoint() {
  TelemetryEndpoint endpoint;
  if (defaultOverride()) {
    endpoint.host = defaultOverride()->first;
    endpoint.port = defaultOverride()->second;
  }
  return endpoint;
}

std::wstring lowerAscii(std::wstring text) {
  for (auto& c : text) {
    if (c >= L'A' && c <= L'Z') c = wchar_t(c - L'A' + L'a');
  }
  return text;
}

}  // namespace

const TelemetryEndpoint& telemetryEndpoint() { return endpointStore(); }
void setTelemetryEndpoint(const TelemetryEndpoint& endpoint) { endpointStore() = endpoint; }

void overrideDefaultEndpointForTesting(const std::wstring& host, uint16_t port) {
  defaultOverride() = std::make_pair(host, port);
}

void clearDefaultEndpointOverrideForTesting() { defaultOverride().reset(); }

TelemetryEndpoint parseTelemetryEndpoint(const std::string& url) {
  TelemetryEndpoint endpoint = defaultEndpoint();
  if (url.empty()) return endpoint;
  const HttpsUrlParts parts = crackUrl(toWide(url));
  if (!parts.valid) throw std::runtime_error("Invalid --telemetry-endpoint URL.");
  if (parts.scheme != INTERNET_SCHEME_HTTP) {
    throw std::runtime_error("Local telemetry endpoint must use http:// loopback.");
  }
  const std::wstring host = lowerAscii(parts.host);
  if (host != L"127.0.0.1" && host != L"localhost" && host != L"::1" && host != L"[::1]") {
    throw std::runtime_error("Local telemetry endpoint host must be loopback.");
  }
  endpoint.host = host;
  endpoint.port = parts.port ? parts.port : INTERNET_DEFAULT_HTTP_PORT;
  endpoint.secure = false;
  endpoint.local = true;
  // A URL without a path posts to the root, its query kept.
  endpoint.path = parts.path.empty() || parts.path.front() != L'/' ? L"/" + parts.path : parts.path;
  return endpoint;
}

fs::path appDataFolder() {
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"APPDATA", buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) return fs::path(std::wstring(buffer, length)) / "Tesmira";
  wchar_t temp[MAX_PATH + 1];
  const DWORD tempLength = GetTempPathW(MAX_PATH + 1, temp);
  const fs::path base = tempLength > 0 && tempLength <= MAX_PATH ? fs::path(std::wstring(temp, tempLength))
                                                                 : fs::temp_directory_path();
  return base / "Tesmira";
}

fs::path telemetryFolder() {
  fs::path folder = appDataFolder() / "Telemetry";
  if (telemetryEndpoint().local) folder /= "Local";
  return folder;
}

std::string toUtf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string text(size_t(size), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), text.data(), size, nullptr, nullptr) != size) {
    return {};
  }
  return text;
}

std::wstring toWide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  if (size <= 0) return {};
  std::wstring text(size_t(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), text.data(), size);
  return text;
}

std::string newGuidString() {
  GUID guid{};
  wchar_t text[40] = {};
  if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, text, 40) != 39) return std::to_string(tickMs());
  return toUtf8(std::wstring(text + 1, 36));
}

std::string loadOrCreateInstallId() {
  const fs::path file = telemetryFolder() / "install-id.txt";
  {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    if (in && std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) return line;
    }
  }
  const std::string id = newGuidString();
  std::error_code ec;
  fs::create_directories(telemetryFolder(), ec);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << id;
  return id;
}

std::string classifyConsumerApp(const std::string& key) {
  auto has = [&](const char* part) { return key.find(part) != std::string::npos; };
  if (has("zoom")) return "zoom";
  if (has("teams") || has("msteams")) return "teams";
  for (const char* browser : {"chrome", "safari", "firefox", "edge", "brave"}) {
    if (has(browser)) return "browser";
  }
  if (has("obs")) return "obs";
  if (has("facetime")) return "facetime";
  if (has("slack")) return "slack";
  if (has("discord")) return "discord";
  return "vcam_unknown";
}

int64_t unixNow() {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  const uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  constexpr uint64_t kUnixEpoch = 116444736000000000ULL;  // 1970-01-01 in 100 ns units since 1601
  return ticks < kUnixEpoch ? 0 : int64_t((ticks - kUnixEpoch) / 10000000ULL);
}

uint64_t tickMs() { return GetTickCount64(); }

}  // namespace tesmira::telemetry
