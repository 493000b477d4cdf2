#include "common/https_client.h"

#include <algorithm>
#include <limits>

#include "common/error_text.h"

namespace tesmira {
namespace {

constexpr size_t kReadBlockBytes = 65536;
constexpr DWORD kHeaderValueChars = 128;

std::wstring lastErrorText() { return win32ErrorToText(GetLastError()); }

HINTERNET openSession(const HttpsRequest& request) {
  if (request.automaticProxy) {
    if (HINTERNET session = WinHttpOpen(request.userAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)) {
      return session;
    }
  }
  return WinHttpOpen(request.userAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                     WINHTTP_NO_PROXY_BYPASS, 0);
}

std::wstring headerValue(HINTERNET request, const std::wstring& name) {
  wchar_t value[kHeaderValueChars] = {};
  DWORD size = sizeof(value);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, name.c_str(), value, &size, WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  return std::wstring(value, std::min<DWORD>(size / sizeof(wchar_t), kHeaderValueChars - 1));
}

}  // namespace

HttpsUrlParts crackUrl(const std::wstring& url) {
  URL_COMPONENTS components{};
  components.dwStructSize = sizeof(components);
  // Every component, each pointing into the URL itself.
  for (DWORD* length : {&components.dwSchemeLength, &components.dwHostNameLength, &components.dwUserNameLength,
                        &components.dwPasswordLength, &components.dwUrlPathLength, &components.dwExtraInfoLength}) {
    *length = DWORD(-1);
  }
  HttpsUrlParts parts;
  if (url.empty() || !WinHttpCrackUrl(url.c_str(), 0, 0, &components)) return parts;
  parts.scheme = components.nScheme;
  parts.host.assign(components.lpszHostName, components.dwHostNameLength);
  if (components.lpszUrlPath) parts.path.assign(components.lpszUrlPath, components.dwUrlPathLength);
  if (components.lpszExtraInfo) parts.path.append(components.lpszExtraInfo, components.dwExtraInfoLength);
  parts.port = components.nPort;
  parts.valid = true;
  return parts;
}

HttpsUrlParts crackHttpsUrl(const std::wstring& url) {
  HttpsUrlParts parts = crackUrl(url);
  if (parts.scheme != INTERNET_SCHEME_HTTPS) return {};
  return parts;
}

HttpsResponse sendHttpsRequest(const HttpsRequest& request) {
  HttpsResponse response;
  response.headers.resize(request.wantedHeaders.size());
  const uint64_t start = GetTickCount64();
  const auto fail = [&](HttpsFailure failure, std::wstring error) {
    response.failure = failure;
    response.error = std::move(error);
    return std::move(response);
  };
  const auto late = [&] { return GetTickCount64() - start > request.deadlineMs; };
  const auto lateText = [&] {
    return L"transfer took longer than " + std::to_wstring(request.deadlineMs / 1000) + L" s";
  };

  InternetHandle session(openSession(request));
  if (!session) return fail(HttpsFailure::kOpen, L"WinHttpOpen failed: " + lastErrorText());
  InternetHandle connection(WinHttpConnect(session.get(), request.host.c_str(), request.port, 0));
  if (!connection) return fail(HttpsFailure::kConnect, L"WinHttpConnect failed: " + lastErrorText());
  InternetHandle handle(WinHttpOpenRequest(connection.get(), request.method, request.path.c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           request.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!handle) return fail(HttpsFailure::kOpenRequest, L"WinHttpOpenRequest failed: " + lastErrorText());
  const HttpTimeouts& t = request.timeouts;
  WinHttpSetTimeouts(handle.get(), t.resolveMs, t.connectMs, t.sendMs, t.receiveMs);
  if (!request.headers.empty() &&
      !WinHttpAddRequestHeaders(handle.get(), request.headers.c_str(), DWORD(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
    return fail(HttpsFailure::kHeaders, L"WinHttpAddRequestHeaders failed: " + lastErrorText());
  }
  if (request.body.size() > std::numeric_limits<DWORD>::max()) {
    return fail(HttpsFailure::kSend, L"request failed: body of " + std::to_wstring(request.body.size()) +
                                         L" bytes is too large");
  }
  const DWORD bodyBytes = DWORD(request.body.size());
  void* bodyData = bodyBytes ? const_cast<char*>(request.body.data()) : WINHTTP_NO_REQUEST_DATA;
  if (!WinHttpSendRequest(handle.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, bodyData, bodyBytes, bodyBytes, 0) ||
      !WinHttpReceiveResponse(handle.get(), nullptr)) {
    return fail(HttpsFailure::kSend, L"request failed: " + lastErrorText());
  }
  if (late()) return fail(HttpsFailure::kLate, lateText());

  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  if (!WinHttpQueryHeaders(handle.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
    return fail(HttpsFailure::kStatus, {});
  }
  response.status = status;
  if (request.onlyStatus && status != request.onlyStatus) return fail(HttpsFailure::kStatus, {});
  for (size_t i = 0; i < request.wantedHeaders.size(); ++i) {
    response.headers[i] = headerValue(handle.get(), request.wantedHeaders[i]);
  }

  std::vector<char> block(kReadBlockBytes);
  uint64_t total = 0;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(handle.get(), &available)) {
      return fail(HttpsFailure::kRead, L"read failed: " + lastErrorText());
    }
    if (available == 0) return response;
    DWORD read = 0;
    if (!WinHttpReadData(handle.get(), block.data(), DWORD(std::min<size_t>(available, block.size())), &read)) {
      return fail(HttpsFailure::kRead, L"read failed: " + lastErrorText());
    }
    if (read == 0) return response;
    if (late()) return fail(HttpsFailure::kLate, lateText());
    total += read;
    if (total > request.maxBodyBytes) {
      // Nothing that large is an answer of ours: what came so far goes too.
      response.body.clear();
      return fail(HttpsFailure::kTooLarge, L"response exceeds " + std::to_wstring(request.maxBodyBytes) + L" bytes");
    }
    if (request.take) {
      if (!request.take(block.data(), read)) return fail(HttpsFailure::kTake, L"local write failed");
    } else {
      response.body.append(block.data(), read);
    }
  }
}

}  // namespace tesmira
