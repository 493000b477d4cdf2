#pragma once
// The one WinHTTP client of the system: the owning handle, the URL cracker and one
// bounded request, which the telemetry upload and the updater both go through.
#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tesmira {

// A session, connection or request handle, closed exactly once. Move-only.
class InternetHandle {
 public:
  InternetHandle() = default;
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() { reset(); }
  InternetHandle(InternetHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  InternetHandle& operator=(InternetHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;

  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset(HINTERNET handle = nullptr) {
    if (handle_) WinHttpCloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HINTERNET handle_ = nullptr;
};

struct HttpsUrlParts {
  INTERNET_SCHEME scheme = 0;
  std::wstring host;  // an IPv6 literal keeps its brackets
  std::wstring path;  // with the query; empty, or from "?", when the URL has no path
  INTERNET_PORT port = 0;
  bool valid = false;
};

// WinHttpCrackUrl's reading of the URL (up to its first NUL); not valid when it refuses it.
HttpsUrlParts crackUrl(const std::wstring& url);
// The same, valid only for https://.
HttpsUrlParts crackHttpsUrl(const std::wstring& url);

// As WinHttpSetTimeouts takes them; 0 is no limit.
struct HttpTimeouts {
  int resolveMs, connectMs, sendMs, receiveMs;
};

struct HttpsRequest {
  const wchar_t* userAgent = L"";
  // The system's proxy settings (Windows 8.1 and later), falling back to the default
  // proxy where that is refused.
  bool automaticProxy = false;
  const wchar_t* method = L"GET";
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;
  bool secure = true;  // false only for a loopback endpoint
  std::wstring headers;  // "Name: value\r\n" lines
  std::string_view body;
  HttpTimeouts timeouts{0, 60000, 30000, 30000};  // WinHTTP's own
  // Each byte of a dripping answer resets the idle time-outs: the whole exchange has this long.
  uint64_t deadlineMs = 0;
  // Nonzero: any other status ends the request before its body is read.
  uint32_t onlyStatus = 0;
  // Past this many body bytes the request ends and the body counts as absent.
  uint64_t maxBodyBytes = 0;
  // Response headers to return, by name; a value is read up to 127 characters, a longer one reads as absent.
  std::vector<std::wstring> wantedHeaders;
  // When set, takes each block of the body (after the cap check) instead of the
  // response's body; false ends the request.
  std::function<bool(const char*, size_t)> take;
};

enum class HttpsFailure { kNone, kOpen, kConnect, kOpenRequest, kHeaders, kSend, kLate, kStatus, kRead, kTooLarge, kTake };

struct HttpsResponse {
  uint32_t status = 0;  // 0: none came
  std::vector<std::wstring> headers;  // one per wanted header, empty when absent
  std::string body;  // what came before a failure; empty when too large or taken
  HttpsFailure failure = HttpsFailure::kNone;
  // The failure in words; for kStatus the caller words it (it knows which URL).
  std::wstring error;
  bool ok() const { return failure == HttpsFailure::kNone; }
};

HttpsResponse sendHttpsRequest(const HttpsRequest& request);

}  // namespace tesmira
