// WinHTTP's synchronous client on libcurl's multi interface, driven by the caller's
// thread: the response body streams through a bounded buffer (transfers pause when
// it is full), so large downloads never sit in memory whole.
#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <chrono>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "core/machine.h"
#include "core/strings.h"
#include "errhandlingapi.h"
#include "tesmira/http_testing.h"
#include "winerror.h"
#include "winhttp.h"

namespace tesmira::platform::http {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr size_t kBodyBufferBound = 256 * 1024;
constexpr long kDefaultMaxRedirects = 10;

fs::path trustedRootsFolder() { return machinePath("certificates/trusted-roots"); }

enum class Kind { kSession, kConnect, kRequest };

struct Handle {
  explicit Handle(Kind k) : kind(k) {}
  virtual ~Handle() = default;
  Kind kind;
  // Milliseconds; 0 = no limit. WinHTTP's defaults.
  int connectTimeout = 60000;
  int sendTimeout = 30000;
  int receiveTimeout = 30000;
  DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
  DWORD maxRedirects = kDefaultMaxRedirects;
};

struct Session : Handle {
  Session() : Handle(Kind::kSession) {}
  std::string agent;
};

struct Connect : Handle {
  Connect() : Handle(Kind::kConnect) {}
  std::shared_ptr<Session> session;
  std::string host;  // bracketed when an IPv6 literal
  INTERNET_PORT port = 0;
};

struct Request : Handle {
  Request() : Handle(Kind::kRequest) {}
  ~Request() override {
    if (multi && easy) curl_multi_remove_handle(multi, easy);
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
    curl_slist_free_all(headerList);
  }

  std::shared_ptr<Connect> connect;
  std::string method;
  std::string path;
  bool secure = false;
  std::vector<std::string> headers;  // "Name: value" lines as added

  std::string body;
  size_t bodyExpected = 0;
  size_t bodyRead = 0;  // handed to curl so far

  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  bool started = false;
  bool finished = false;
  CURLcode result = CURLE_OK;
  bool timedOut = false;

  // The response being received; reset by every status line (1xx, followed redirects).
  DWORD status = 0;
  std::string statusText;
  std::vector<std::pair<std::string, std::string>> responseHeaders;
  std::string rawHeaders;
  bool headersDone = false;
  DWORD redirects = 0;

  std::string bodyBuffer;
  size_t bodyOffset = 0;
  bool paused = false;

  SteadyClock::time_point lastActivity{};
  curl_off_t lastProgress = -1;

  size_t buffered() const { return bodyBuffer.size() - bodyOffset; }
};

// Never destroyed: an abandoned request on a detached thread may still close its handles at exit.
std::mutex& handlesMutex = *new std::mutex;
auto& handles = *new std::unordered_map<void*, std::shared_ptr<Handle>>;

HINTERNET remember(std::shared_ptr<Handle> handle) {
  void* key = handle.get();
  std::lock_guard lock(handlesMutex);
  handles.emplace(key, std::move(handle));
  return key;
}

template <typename T>
std::shared_ptr<T> find(HINTERNET h, Kind kind) {
  std::lock_guard lock(handlesMutex);
  auto it = handles.find(h);
  if (it == handles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (it->second->kind != kind) {
    SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  return std::static_pointer_cast<T>(it->second);
}

std::shared_ptr<Handle> findAny(HINTERNET h) {
  std::lock_guard lock(handlesMutex);
  auto it = handles.find(h);
  return it == handles.end() ? nullptr : it->second;
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    // No clean-up at exit: a transfer on an abandoned thread may still be using OpenSSL.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

std::string trim(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t' || text[e - 1] == '\r' || text[e - 1] == '\n')) --e;
  return std::string(text.substr(b, e - b));
}

bool equalsNoCaseAscii(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

std::string headerName(const std::string& line) {
  size_t colon = line.find(':');
  return trim(line.substr(0, colon == std::string::npos ? line.size() : colon));
}

DWORD errorFor(const Request& r) {
  if (r.timedOut) return ERROR_WINHTTP_TIMEOUT;
  switch (r.result) {
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_WINHTTP_TIMEOUT;
    case CURLE_COULDNT_CONNECT:
      return ERROR_WINHTTP_CANNOT_CONNECT;
    case CURLE_COULDNT_RESOLVE_HOST:
      return ERROR_WINHTTP_NAME_NOT_RESOLVED;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return ERROR_WINHTTP_SECURE_FAILURE;
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return ERROR_WINHTTP_REDIRECT_FAILED;
    case CURLE_WEIRD_SERVER_REPLY:
      return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_WINHTTP_CONNECTION_ERROR;  // cut short, reset, closed without an answer
  }
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto& r = *static_cast<Request*>(user);
  const size_t bytes = size * count;
  std::string line(data, bytes);
  r.lastActivity = SteadyClock::now();
  if (line.rfind("HTTP/", 0) == 0) {
    r.responseHeaders.clear();
    r.rawHeaders.clear();
    r.status = 0;
    r.statusText.clear();
    std::istringstream in(trim(line));
    std::string version;
    in >> version >> r.status;
    std::getline(in, r.statusText);
    r.statusText = trim(r.statusText);
    r.rawHeaders = trim(line) + "\r\n";
    return bytes;
  }
  if (trim(line).empty()) {
    r.rawHeaders += "\r\n";
    if (r.status >= 100 && r.status < 200) return bytes;
    const bool redirect = r.status == 301 || r.status == 302 || r.status == 303 || r.status == 307 || r.status == 308;
    const bool hasLocation = std::any_of(r.responseHeaders.begin(), r.responseHeaders.end(),
                                         [](const auto& h) { return equalsNoCaseAscii(h.first, "Location"); });
    if (redirect && hasLocation && r.redirectPolicy != WINHTTP_OPTION_REDIRECT_POLICY_NEVER) {
      // curl follows it and the next status line starts the next response; past the limit,
      // or from https to http, curl fails the transfer: ERROR_WINHTTP_REDIRECT_FAILED.
      ++r.redirects;
      return bytes;
    }
    r.headersDone = true;
    return bytes;
  }
  size_t colon = line.find(':');
  if (colon != std::string::npos) r.responseHeaders.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  r.rawHeaders += trim(line) + "\r\n";
  return bytes;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto& r = *static_cast<Request*>(user);
  const size_t bytes = size * count;
  if (!r.headersDone) r.headersDone = true;  // a body without a final header block (HTTP/0.9 style)
  if (r.buffered() > 0 && r.buffered() + bytes > kBodyBufferBound) {
    r.paused = true;
    return CURL_WRITEFUNC_PAUSE;  // curl keeps this chunk and hands it again on resume
  }
  if (r.bodyOffset > 0 && r.bodyOffset == r.bodyBuffer.size()) {
    r.bodyBuffer.clear();
    r.bodyOffset = 0;
  }
  r.bodyBuffer.append(data, bytes);
  r.lastActivity = SteadyClock::now();
  return bytes;
}

size_t onRead(char* buffer, size_t size, size_t count, void* user) {
  auto& r = *static_cast<Request*>(user);
  const size_t n = std::min(size * count, r.body.size() - r.bodyRead);
  std::memcpy(buffer, r.body.data() + r.bodyRead, n);
  r.bodyRead += n;
  if (n) r.lastActivity = SteadyClock::now();
  return n;
}

int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  auto& r = *static_cast<Request*>(user);
  const auto now = SteadyClock::now();
  if (dlnow + ulnow != r.lastProgress || r.paused) {
    r.lastProgress = dlnow + ulnow;
    if (r.paused) r.lastActivity = now;
    return 0;
  }
  // Nothing moved: the send or receive time-out applies (the connect one too before any byte).
  int limit = r.bodyRead < r.body.size() ? r.sendTimeout : r.receiveTimeout;
  if (limit <= 0) return 0;
  auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - r.lastActivity).count();
  if (r.lastProgress == 0 && r.connectTimeout > 0) limit += r.connectTimeout;
  if (idle > limit) {
    r.timedOut = true;
    return 1;
  }
  return 0;
}

// Adds the machine's trusted roots to the system's for this transfer.
CURLcode onSslContext(CURL*, void* sslContext, void*) {
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(trustedRootsFolder(), ec)) {
    FILE* file = std::fopen(entry.path().c_str(), "r");
    if (!file) continue;
    while (X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr)) {
      X509_STORE_add_cert(store, cert);
      X509_free(cert);
    }
    std::fclose(file);
  }
  return CURLE_OK;
}

bool start(Request& r) {
  initCurlOnce();
  r.multi = curl_multi_init();
  r.easy = curl_easy_init();
  if (!r.multi || !r.easy) return false;
  CURL* e = r.easy;
  const std::string url = std::string(r.secure ? "https://" : "http://") + r.connect->host + ":" +
                          std::to_string(r.connect->port) + (r.path.empty() || r.path[0] != '/' ? "/" : "") + r.path;
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_PROXY, "");  // WinHTTP never reads http_proxy and friends
  curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  if (!r.connect->session->agent.empty()) curl_easy_setopt(e, CURLOPT_USERAGENT, r.connect->session->agent.c_str());
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &r);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, &r);
  if (r.connectTimeout > 0) curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(r.connectTimeout));
  // TLS is always verified: the system roots plus the machine's own.
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, onSslContext);
  if (r.redirectPolicy != WINHTTP_OPTION_REDIRECT_POLICY_NEVER) {
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, long(r.maxRedirects));
    const bool httpsOnly = r.secure && r.redirectPolicy == WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, httpsOnly ? "https" : "http,https");
  }
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");

  const bool hasBody = !r.body.empty() || r.method == "POST" || r.method == "PUT";
  if (r.method == "GET" && r.body.empty()) {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else if (r.method == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (r.method == "POST") {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(r.body.size()));
    curl_easy_setopt(e, CURLOPT_READFUNCTION, onRead);
    curl_easy_setopt(e, CURLOPT_READDATA, &r);
  } else if (hasBody) {
    curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, curl_off_t(r.body.size()));
    curl_easy_setopt(e, CURLOPT_READFUNCTION, onRead);
    curl_easy_setopt(e, CURLOPT_READDATA, &r);
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.method.c_str());
  } else {
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.method.c_str());
  }

  // Only what WinHTTP sends: curl's own Accept, Expect and form Content-Type go.
  bool hasContentType = false;
  for (const auto& line : r.headers) {
    r.headerList = curl_slist_append(r.headerList, line.c_str());
    if (equalsNoCaseAscii(headerName(line), "Content-Type")) hasContentType = true;
  }
  r.headerList = curl_slist_append(r.headerList, "Accept:");
  r.headerList = curl_slist_append(r.headerList, "Expect:");
  if (!hasContentType) r.headerList = curl_slist_append(r.headerList, "Content-Type:");
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.headerList);

  r.lastActivity = SteadyClock::now();
  if (curl_multi_add_handle(r.multi, e) != CURLM_OK) return false;
  r.started = true;
  return true;
}

// Runs the transfer until done() holds or it has finished.
template <typename Done>
void drive(Request& r, Done done) {
  while (!r.finished && !done()) {
    if (r.paused && r.buffered() == 0) {
      r.paused = false;
      curl_easy_pause(r.easy, CURLPAUSE_CONT);
      if (done()) break;
    }
    if (r.paused) break;  // the caller must drain the buffer first
    int running = 0;
    curl_multi_perform(r.multi, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(r.multi, &queued)) {
      if (message->msg == CURLMSG_DONE) {
        r.finished = true;
        r.result = message->data.result;
      }
    }
    if (r.finished || done()) break;
    curl_multi_poll(r.multi, nullptr, 0, 20, nullptr);
  }
}

std::string narrow(LPCWSTR text, DWORD length) {
  if (!text) return {};
  std::wstring_view view = length == DWORD(-1) ? std::wstring_view(text) : std::wstring_view(text, length);
  return toUtf8(view);
}

// Splits CR LF separated header lines; blank lines are skipped.
std::vector<std::string> headerLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find("\r\n", begin);
    if (end == std::string::npos) end = text.size();
    std::string line = trim(text.substr(begin, end - begin));
    if (!line.empty()) lines.push_back(line);
    begin = end + 2;
  }
  return lines;
}

void inheritSettings(Handle& child, const Handle& parent) {
  child.connectTimeout = parent.connectTimeout;
  child.sendTimeout = parent.sendTimeout;
  child.receiveTimeout = parent.receiveTimeout;
  child.redirectPolicy = parent.redirectPolicy;
  child.maxRedirects = parent.maxRedirects;
}

BOOL startAndSend(Request& r) {
  if (!start(r)) return fail(ERROR_WINHTTP_INTERNAL_ERROR);
  // As WinHTTP: the call returns once the request has gone out (or an answer came first).
  drive(r, [&] {
    if (r.headersDone) return true;
    if (r.bodyRead < r.body.size()) return false;
    long port = 0;
    curl_easy_getinfo(r.easy, CURLINFO_PRIMARY_PORT, &port);
    return port != 0 && (r.body.empty() ? true : r.bodyRead == r.body.size());
  });
  if (r.finished && r.result != CURLE_OK && !r.headersDone) return fail(errorFor(r));
  return TRUE;
}

}  // namespace

void trustRootCertificate(const std::string& name, const std::string& pem) {
  std::error_code ec;
  fs::create_directories(trustedRootsFolder(), ec);
  std::ofstream(trustedRootsFolder() / (name + ".pem"), std::ios::binary) << pem;
}

}  // namespace tesmira::platform::http

using namespace tesmira::platform;
using namespace tesmira::platform::http;

HINTERNET WINAPI WinHttpOpen(LPCWSTR pszAgentW, DWORD dwAccessType, LPCWSTR, LPCWSTR, DWORD) {
  if (injectedFailure("WinHttpOpen")) return nullptr;
  if (dwAccessType != WINHTTP_ACCESS_TYPE_DEFAULT_PROXY && dwAccessType != WINHTTP_ACCESS_TYPE_NO_PROXY &&
      dwAccessType != WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY && dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto session = std::make_shared<Session>();
  session->agent = pszAgentW ? toUtf8(pszAgentW) : std::string();
  SetLastError(ERROR_SUCCESS);
  return remember(session);
}

HINTERNET WINAPI WinHttpConnect(HINTERNET hSession, LPCWSTR pswzServerName, INTERNET_PORT nServerPort, DWORD) {
  auto session = find<Session>(hSession, Kind::kSession);
  if (!session) return nullptr;
  if (!pswzServerName || !*pswzServerName) {
    SetLastError(ERROR_WINHTTP_INVALID_URL);
    return nullptr;
  }
  auto connect = std::make_shared<Connect>();
  inheritSettings(*connect, *session);
  connect->session = session;
  connect->host = toUtf8(pswzServerName);
  // libcurl wants an IPv6 literal in brackets; WinHTTP takes it either way.
  if (connect->host.find(':') != std::string::npos && connect->host.front() != '[') {
    connect->host = "[" + connect->host + "]";
  }
  connect->port = nServerPort;
  return remember(connect);
}

HINTERNET WINAPI WinHttpOpenRequest(HINTERNET hConnect, LPCWSTR pwszVerb, LPCWSTR pwszObjectName, LPCWSTR,
                                    LPCWSTR, LPCWSTR*, DWORD dwFlags) {
  auto connect = find<Connect>(hConnect, Kind::kConnect);
  if (!connect) return nullptr;
  auto request = std::make_shared<Request>();
  inheritSettings(*request, *connect);
  request->connect = connect;
  request->method = pwszVerb && *pwszVerb ? toUtf8(pwszVerb) : "GET";
  request->path = pwszObjectName && *pwszObjectName ? toUtf8(pwszObjectName) : "/";
  request->secure = dwFlags & WINHTTP_FLAG_SECURE;
  if (!request->connect->port) {
    request->connect = std::make_shared<Connect>(*connect);
    request->connect->port = request->secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  }
  return remember(request);
}

BOOL WINAPI WinHttpSetTimeouts(HINTERNET hInternet, int nResolveTimeout, int nConnectTimeout, int nSendTimeout,
                               int nReceiveTimeout) {
  if (nResolveTimeout < -1 || nConnectTimeout < -1 || nSendTimeout < -1 || nReceiveTimeout < -1) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  std::shared_ptr<Handle> handle = findAny(hInternet);
  if (!handle) return fail(ERROR_INVALID_HANDLE);
  auto value = [](int ms) { return ms < 0 ? 0 : ms; };  // -1 is infinite, as 0
  handle->connectTimeout = value(nConnectTimeout);
  handle->sendTimeout = value(nSendTimeout);
  handle->receiveTimeout = value(nReceiveTimeout);
  return TRUE;
}

BOOL WINAPI WinHttpSetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength) {
  std::shared_ptr<Handle> handle = findAny(hInternet);
  if (!handle) return fail(ERROR_INVALID_HANDLE);
  if (!lpBuffer || dwBufferLength < sizeof(DWORD)) return fail(ERROR_INVALID_PARAMETER);
  DWORD value = 0;
  std::memcpy(&value, lpBuffer, sizeof(value));
  switch (dwOption) {
    case WINHTTP_OPTION_REDIRECT_POLICY:
      if (value > WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS) return fail(ERROR_INVALID_PARAMETER);
      // Following https to http is never offered here.
      handle->redirectPolicy = value == WINHTTP_OPTION_REDIRECT_POLICY_NEVER
                                   ? DWORD(WINHTTP_OPTION_REDIRECT_POLICY_NEVER)
                                   : DWORD(WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP);
      return TRUE;
    case WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS:
      handle->maxRedirects = value;
      return TRUE;
    default:
      return fail(ERROR_WINHTTP_INVALID_OPTION);
  }
}

BOOL WINAPI WinHttpAddRequestHeaders(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength,
                                     DWORD dwModifiers) {
  auto request = find<Request>(hRequest, Kind::kRequest);
  if (!request) return FALSE;
  if (!lpszHeaders) return fail(ERROR_INVALID_PARAMETER);
  if (request->started) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
  for (const auto& line : headerLines(narrow(lpszHeaders, dwHeadersLength))) {
    if (line.find(':') == std::string::npos) return fail(ERROR_INVALID_PARAMETER);
    const std::string name = headerName(line);
    auto same = [&](const std::string& other) { return equalsNoCaseAscii(headerName(other), name); };
    const bool exists = std::any_of(request->headers.begin(), request->headers.end(), same);
    if ((dwModifiers & WINHTTP_ADDREQ_FLAG_ADD_IF_NEW) && exists) return fail(ERROR_WINHTTP_HEADER_ALREADY_EXISTS);
    if (dwModifiers & WINHTTP_ADDREQ_FLAG_REPLACE) {
      request->headers.erase(std::remove_if(request->headers.begin(), request->headers.end(), same),
                             request->headers.end());
      if (trim(line.substr(line.find(':') + 1)).empty()) continue;  // REPLACE with no value removes
    }
    request->headers.push_back(line);
  }
  return TRUE;
}

BOOL WINAPI WinHttpSendRequest(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength, LPVOID lpOptional,
                               DWORD dwOptionalLength, DWORD dwTotalLength, DWORD_PTR) {
  auto request = find<Request>(hRequest, Kind::kRequest);
  if (!request) return FALSE;
  if (request->started) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
  if (injectedFailure("WinHttpSendRequest")) return FALSE;
  if (lpszHeaders && dwHeadersLength) {
    for (const auto& line : headerLines(narrow(lpszHeaders, dwHeadersLength))) request->headers.push_back(line);
  }
  if (dwOptionalLength && !lpOptional) return fail(ERROR_INVALID_PARAMETER);
  request->body.assign(static_cast<const char*>(lpOptional), dwOptionalLength);
  request->bodyExpected = std::max<size_t>(dwTotalLength, dwOptionalLength);
  if (request->body.size() < request->bodyExpected) return TRUE;  // the rest comes through WinHttpWriteData
  return startAndSend(*request);
}

BOOL WINAPI WinHttpWriteData(HINTERNET hRequest, LPCVOID lpBuffer, DWORD dwNumberOfBytesToWrite,
                             LPDWORD lpdwNumberOfBytesWritten) {
  auto request = find<Request>(hRequest, Kind::kRequest);
  if (!request) return FALSE;
  if (!lpBuffer && dwNumberOfBytesToWrite) return fail(ERROR_INVALID_PARAMETER);
  if (request->started || request->body.size() + dwNumberOfBytesToWrite > request->bodyExpected) {
    return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
  }
  request->body.append(static_cast<const char*>(lpBuffer), dwNumberOfBytesToWrite);
  if (lpdwNumberOfBytesWritten) *lpdwNumberOfBytesWritten = dwNumberOfBytesToWrite;
  if (request->body.size() == request->bodyExpected) return startAndSend(*request);
  return TRUE;
}

BOOL WINAPI WinHttpReceiveResponse(HINTERNET hRequest, LPVOID) {
  auto request = find<Request>(hRequest, Kind::kRequest);
  if (!request) return FALSE;
  if (!request->started) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
  drive(*request, [&] { return request->headersDone; });
  if (!request->headersDone) {
    return fail(request->result == CURLE_OK ? DWORD(ERROR_WINHTTP_INVALID_SERVER_RESPONSE) : errorFor(*request));
  }
  return TRUE;
}

BOOL WINAPI WinHttpQueryHeaders(HINTERNET hRequest, DWORD dwInfoLevel, LPCWSTR pwszName, LPVOID lpBuffer,
                                LPDWORD lpdwBufferLength, LPDWORD lpdwIndex) {
  auto request = find<Request>(hRequest, Kind::kRequest);
  if (!request) return FALSE;
  if (!lpdwBufferLength) return fail(ERROR_INVALID_PARAMETER);
  if (!request->headersDone) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
  const bool number = dwInfoLevel & WINHTTP_QUERY_FLAG_NUMBER;
  const DWORD level = dwInfoLevel & 0xFFFF;
  const DWORD index = lpdwIndex ? *lpdwIndex : 0;

  std::optional<std::string> value;
  auto header = [&](std::string_view name) -> std::optional<std::string> {
    DWORD seen = 0;
    for (const auto& [n, v] : request->responseHeaders) {
      if (equalsNoCaseAscii(n, name) && seen++ == index) return v;
    }
    return std::nullopt;
  };
  switch (level) {
    case WINHTTP_QUERY_STATUS_CODE:
      value = std::to_string(request->status);
      break;
    case WINHTTP_QUERY_STATUS_TEXT:
      value = request->statusText;
      break;
    case WINHTTP_QUERY_RAW_HEADERS_CRLF:
      value = request->rawHeaders;
      break;
    case WINHTTP_QUERY_CONTENT_TYPE:
      value = header("Content-Type");
      break;
    case WINHTTP_QUERY_CONTENT_LENGTH:
      value = header("Content-Length");
      break;
    case WINHTTP_QUERY_LOCATION:
      value = header("Location");
      break;
    case WINHTTP_QUERY_RETRY_AFTER:
      value = header("Retry-After");
      break;
    case WINHTTP_QUERY_CUSTOM:
      if (!pwszName) return fail(ERROR_INVALID_PARAMETER);
      value = header(toUtf8(pwszName));
      break;
    default:
      return fail(ERROR_WINHTTP_INVALID_OPTION);
  }
  if (!value) return fail(ERROR_WINHTTP_HEADER_NOT_FOUND);

  if (number) {
    char* end = nullptr;
    errno = 0;
    unsigned long parsed = std::strtoul(value->c_str(), &end, 10);
    if (value->empty() || *end != '\0' || errno) return fail(ERROR_INVALID_DATA);
    if (*lpdwBufferLength < sizeof(DWORD)) {
      *lpdwBufferLength = sizeof(DWORD);
      return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!lpBuffer) return fail(ERROR_INVALID_PARAMETER);
    const DWORD n = DWORD(parsed);
    std::memcpy(lpBuffer, &n, sizeof(n));
    *lpdwBufferLength = sizeof(DWORD);
  } else {
    const std::wstring wide = fromUtf8(*value);
    const DWORD needed = DWORD((wide.size() + 1) * sizeof(WCHAR));
    if (!lpBuffer || *lpdwBufferLength < needed) {
      *lpdwBufferLength = needed;
      return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(lpBuffer, wide.c_str(), needed);
    *lpdwBufferLength = needed - sizeof(WCHAR);  // without the terminator, as WinHTTP answers
  }
  if (lpdwIndex) ++*lpdwIndex;
  return TRUE;
}

BOOL WINAPI WinHttpQueryDataAvailable(HINTERNET hRequest, LPDWORD lpdwNumberOfBytesAvailable) {
  auto request = find<Request>(hRequest, Kind::kRequest);
  if (!request) return FALSE;
  if (!request->headersDone) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
  drive(*request, [&] { return request->buffered() > 0; });
  if (request->buffered() == 0 && request->finished && request->result != CURLE_OK) return fail(errorFor(*request));
  if (lpdwNumberOfBytesAvailable) *lpdwNumberOfBytesAvailable = DWORD(request->buffered());
  return TRUE;
}

BOOL WINAPI WinHttpReadData(HINTERNET hRequest, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                            LPDWORD lpdwNumberOfBytesRead) {
  auto request = find<Request>(hRequest, Kind::kRequest);
  if (!request) return FALSE;
  if (!lpBuffer && dwNumberOfBytesToRead) return fail(ERROR_INVALID_PARAMETER);
  if (!request->headersDone) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
  if (lpdwNumberOfBytesRead) *lpdwNumberOfBytesRead = 0;
  drive(*request, [&] { return request->buffered() > 0; });
  if (request->buffered() == 0) {
    if (request->finished && request->result != CURLE_OK) return fail(errorFor(*request));
    return TRUE;  // the body has ended
  }
  const size_t n = std::min<size_t>(dwNumberOfBytesToRead, request->buffered());
  std::memcpy(lpBuffer, request->bodyBuffer.data() + request->bodyOffset, n);
  request->bodyOffset += n;
  if (lpdwNumberOfBytesRead) *lpdwNumberOfBytesRead = DWORD(n);
  return TRUE;
}

BOOL WINAPI WinHttpCloseHandle(HINTERNET hInternet) {
  std::shared_ptr<Handle> handle;
  {
    std::lock_guard lock(handlesMutex);
    auto it = handles.find(hInternet);
    if (it == handles.end()) return fail(ERROR_INVALID_HANDLE);
    handle = std::move(it->second);
    handles.erase(it);
  }
  return TRUE;  // children keep what they need of their parents alive
}

BOOL WINAPI WinHttpCrackUrl(LPCWSTR pwszUrl, DWORD dwUrlLength, DWORD, LPURL_COMPONENTS lpUrlComponents) {
  if (!pwszUrl || !lpUrlComponents || lpUrlComponents->dwStructSize != sizeof(URL_COMPONENTS)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  std::wstring_view url = dwUrlLength ? std::wstring_view(pwszUrl, dwUrlLength) : std::wstring_view(pwszUrl);
  const size_t schemeEnd = url.find(L"://");
  if (schemeEnd == std::wstring_view::npos || schemeEnd == 0) return fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
  const std::wstring scheme = lowerCase(url.substr(0, schemeEnd));
  INTERNET_SCHEME kind = 0;
  if (scheme == L"http") {
    kind = INTERNET_SCHEME_HTTP;
  } else if (scheme == L"https") {
    kind = INTERNET_SCHEME_HTTPS;
  } else {
    return fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
  }
  const size_t authorityBegin = schemeEnd + 3;
  size_t authorityEnd = url.find_first_of(L"/?#", authorityBegin);
  if (authorityEnd == std::wstring_view::npos) authorityEnd = url.size();
  std::wstring_view authority = url.substr(authorityBegin, authorityEnd - authorityBegin);
  size_t userEnd = authority.rfind(L'@');
  std::wstring_view userInfo;
  if (userEnd != std::wstring_view::npos) {
    userInfo = authority.substr(0, userEnd);
    authority = authority.substr(userEnd + 1);
  }
  std::wstring_view host = authority;
  std::wstring_view portText;
  if (!authority.empty() && authority.front() == L'[') {
    size_t close = authority.find(L']');
    if (close == std::wstring_view::npos) return fail(ERROR_WINHTTP_INVALID_URL);
    host = authority.substr(0, close + 1);
    std::wstring_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != L':') return fail(ERROR_WINHTTP_INVALID_URL);
      portText = rest.substr(1);
    }
  } else if (size_t colon = authority.find(L':'); colon != std::wstring_view::npos) {
    host = authority.substr(0, colon);
    portText = authority.substr(colon + 1);
  }
  if (host.empty()) return fail(ERROR_WINHTTP_INVALID_URL);
  for (wchar_t c : host) {
    if (c <= L' ' || c == L'\\' || c == L'"' || c == L'<' || c == L'>') return fail(ERROR_WINHTTP_INVALID_URL);
  }
  INTERNET_PORT port = kind == INTERNET_SCHEME_HTTPS ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  if (!portText.empty()) {
    uint32_t value = 0;
    for (wchar_t c : portText) {
      if (c < L'0' || c > L'9') return fail(ERROR_WINHTTP_INVALID_URL);
      value = value * 10 + uint32_t(c - L'0');
      if (value > 65535) return fail(ERROR_WINHTTP_INVALID_URL);
    }
    port = INTERNET_PORT(value);
  }
  const size_t extraBegin = std::min(url.find_first_of(L"?#", authorityEnd), url.size());
  std::wstring_view path = url.substr(authorityEnd, extraBegin - authorityEnd);
  std::wstring_view extra = url.substr(extraBegin);
  std::wstring_view user = userInfo, password;
  if (size_t colon = userInfo.find(L':'); colon != std::wstring_view::npos) {
    user = userInfo.substr(0, colon);
    password = userInfo.substr(colon + 1);
  }

  // Each component: a length of 0 leaves it out; a null pointer with a non-zero length
  // points into the URL; a buffer gets a terminated copy.
  bool tooSmall = false;
  auto give = [&](LPWSTR& pointer, DWORD& length, std::wstring_view part) {
    if (length == 0) return;
    if (!pointer) {
      pointer = const_cast<LPWSTR>(part.data());
      length = DWORD(part.size());
      return;
    }
    if (length < part.size() + 1) {
      length = DWORD(part.size() + 1);
      tooSmall = true;
      return;
    }
    std::wmemcpy(pointer, part.data(), part.size());
    pointer[part.size()] = L'\0';
    length = DWORD(part.size());
  };
  URL_COMPONENTS& c = *lpUrlComponents;
  give(c.lpszScheme, c.dwSchemeLength, url.substr(0, schemeEnd));
  give(c.lpszHostName, c.dwHostNameLength, host);
  give(c.lpszUserName, c.dwUserNameLength, user);
  give(c.lpszPassword, c.dwPasswordLength, password);
  give(c.lpszUrlPath, c.dwUrlPathLength, path);
  give(c.lpszExtraInfo, c.dwExtraInfoLength, extra);
  c.nScheme = kind;
  c.nPort = port;
  if (tooSmall) return fail(ERROR_INSUFFICIENT_BUFFER);
  return TRUE;
}
