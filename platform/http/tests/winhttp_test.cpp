// WinHTTP on libcurl against the loopback server: what goes out, what comes back, and
// the errors as WinHTTP reports them.
#include <windows.h>
#include <winhttp.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tesmira/http_testing.h"
#include "tests/support/host_calls_http.h"
#include "tests/support/machine_fixture.h"

namespace {

using tesmira::testing::HttpAnswer;
using tesmira::testing::LoopbackHttpServer;
using tesmira::testing::TestCertificates;
using WinHttpTest = tesmira::testing::MachineTest;

struct Result {
  bool sent = false;
  bool received = false;
  DWORD error = 0;
  DWORD status = 0;
  std::string body;
  bool bodyComplete = false;
};

class Handle {
 public:
  explicit Handle(HINTERNET h = nullptr) : h_(h) {}
  ~Handle() {
    if (h_) WinHttpCloseHandle(h_);
  }
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_;
};

struct Exchange {
  std::wstring method = L"POST";
  std::wstring path = L"/api/telemetryBatch";
  std::string body = "{}";
  std::wstring headers = L"Content-Type: application/json\r\n";
  bool secure = false;
  int timeoutMs = 10000;
  DWORD readChunk = 65536;
  DWORD accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
};

Result run(uint16_t port, const Exchange& x) {
  Result r;
  Handle session(WinHttpOpen(L"TesmiraTelemetry/1.0", x.accessType, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0));
  Handle connect(WinHttpConnect(session.get(), L"127.0.0.1", port, 0));
  Handle request(WinHttpOpenRequest(connect.get(), x.method.c_str(), x.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                    WINHTTP_DEFAULT_ACCEPT_TYPES, x.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request.get()) {
    r.error = GetLastError();
    return r;
  }
  WinHttpSetTimeouts(request.get(), 0, x.timeoutMs, x.timeoutMs, x.timeoutMs);
  if (!x.headers.empty()) WinHttpAddRequestHeaders(request.get(), x.headers.c_str(), DWORD(-1), WINHTTP_ADDREQ_FLAG_ADD);
  r.sent = WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, const_cast<char*>(x.body.data()),
                              DWORD(x.body.size()), DWORD(x.body.size()), 0);
  if (!r.sent) {
    r.error = GetLastError();
    return r;
  }
  r.received = WinHttpReceiveResponse(request.get(), nullptr);
  if (!r.received) {
    r.error = GetLastError();
    return r;
  }
  DWORD size = sizeof(r.status);
  WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &r.status, &size, WINHTTP_NO_HEADER_INDEX);
  std::vector<char> chunk(x.readChunk);
  for (;;) {
    DWORD read = 0;
    if (!WinHttpReadData(request.get(), chunk.data(), DWORD(chunk.size()), &read)) {
      r.error = GetLastError();
      return r;
    }
    if (read == 0) break;
    r.body.append(chunk.data(), read);
  }
  r.bodyComplete = true;
  return r;
}

TEST_F(WinHttpTest, CrackUrl) {
  struct Case {
    const wchar_t* url;
    DWORD error;
    const wchar_t* scheme;
    int nScheme;
    const wchar_t* host;
    INTERNET_PORT port;
    const wchar_t* path;
    const wchar_t* extra;
  };
  const Case cases[] = {
      {L"http://LOCALHOST:8787/x?y=1", 0, L"http", INTERNET_SCHEME_HTTP, L"LOCALHOST", 8787, L"/x", L"?y=1"},
      {L"http://127.0.0.1", 0, L"http", INTERNET_SCHEME_HTTP, L"127.0.0.1", 80, L"", L""},
      {L"HTTPS://example.com/a/b#f", 0, L"HTTPS", INTERNET_SCHEME_HTTPS, L"example.com", 443, L"/a/b", L"#f"},
      {L"http://[::1]:9/p", 0, L"http", INTERNET_SCHEME_HTTP, L"[::1]", 9, L"/p", L""},
      {L"http://u:pw@host:1/", 0, L"http", INTERNET_SCHEME_HTTP, L"host", 1, L"/", L""},
      {L"ftp://127.0.0.1", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
      {L"garbage", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
      {L"http://", ERROR_WINHTTP_INVALID_URL},
      {L"http://h:70000/", ERROR_WINHTTP_INVALID_URL},
      {L"http://h:8x/", ERROR_WINHTTP_INVALID_URL},
      {L"http://[::1/", ERROR_WINHTTP_INVALID_URL},
  };
  for (const auto& c : cases) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = DWORD(-1);
    const BOOL ok = WinHttpCrackUrl(c.url, 0, 0, &parts);
    if (c.error) {
      EXPECT_FALSE(ok) << c.url;
      EXPECT_EQ(GetLastError(), c.error) << c.url;
      continue;
    }
    ASSERT_TRUE(ok) << c.url;
    EXPECT_EQ(std::wstring(parts.lpszScheme, parts.dwSchemeLength), c.scheme) << c.url;
    EXPECT_EQ(parts.nScheme, c.nScheme) << c.url;
    EXPECT_EQ(std::wstring(parts.lpszHostName, parts.dwHostNameLength), c.host) << c.url;
    EXPECT_EQ(parts.nPort, c.port) << c.url;
    EXPECT_EQ(std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength), c.path) << c.url;
    EXPECT_EQ(std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength), c.extra) << c.url;
  }
  // Caller buffers: too small names the size needed, with its terminator.
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  wchar_t host[4];
  parts.lpszHostName = host;
  parts.dwHostNameLength = 4;
  EXPECT_FALSE(WinHttpCrackUrl(L"http://localhost/", 0, 0, &parts));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(parts.dwHostNameLength, 10u);
}

TEST_F(WinHttpTest, APostGoesOutAsWinHttpSendsItAndTheAnswerComesBack) {
  LoopbackHttpServer server;
  ASSERT_TRUE(server.listening());
  // WinHTTP never reads a proxy from the environment.
  SetEnvironmentVariableW(L"http_proxy", L"http://127.0.0.1:9");
  SetEnvironmentVariableW(L"HTTP_PROXY", L"http://127.0.0.1:9");
  server.script({200, {{"Retry-After", "120"}, {"X-Empty", ""}}, R"({"ok":true})"});
  Exchange x;
  x.path = L"/x?y=1";
  x.body = R"({"events":[]})";
  const Result r = run(server.port(), x);
  EXPECT_TRUE(r.bodyComplete) << r.error;
  EXPECT_EQ(r.status, 200u);
  EXPECT_EQ(r.body, R"({"ok":true})");
  ASSERT_EQ(server.requestCount(), 1u);
  const auto request = server.requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/x?y=1");
  EXPECT_EQ(request.body, x.body);
  EXPECT_EQ(request.header("User-Agent"), "TesmiraTelemetry/1.0");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("Content-Length"), std::to_string(x.body.size()));
  EXPECT_EQ(request.header("Host"), "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_FALSE(request.header("Expect"));
  EXPECT_FALSE(request.header("Accept"));
  EXPECT_FALSE(request.header("Transfer-Encoding"));
}

TEST_F(WinHttpTest, QueryHeaders) {
  LoopbackHttpServer server;
  server.script({429, {{"Retry-After", "120"}}, ""});
  Handle session(WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0));
  Handle connect(WinHttpConnect(session.get(), L"localhost", server.port(), 0));
  Handle request(WinHttpOpenRequest(connect.get(), L"GET", L"/", nullptr, nullptr, nullptr, 0));
  ASSERT_TRUE(WinHttpSendRequest(request.get(), nullptr, 0, nullptr, 0, 0, 0));
  ASSERT_TRUE(WinHttpReceiveResponse(request.get(), nullptr));
  DWORD status = 0;
  DWORD size = 2;
  EXPECT_FALSE(WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr,
                                   &status, &size, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  size = sizeof(status);
  ASSERT_TRUE(WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr,
                                  &status, &size, nullptr));
  EXPECT_EQ(status, 429u);
  wchar_t text[8];
  size = sizeof(text);
  ASSERT_TRUE(WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CUSTOM, L"retry-after", text, &size, nullptr));
  EXPECT_EQ(std::wstring(text, size / sizeof(wchar_t)), L"120");
  size = 3 * sizeof(wchar_t);  // no room for the terminator
  EXPECT_FALSE(WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CUSTOM, L"Retry-After", text, &size, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, 4 * sizeof(wchar_t));
  size = sizeof(text);
  EXPECT_FALSE(WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CUSTOM, L"X-Missing", text, &size, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_WINHTTP_HEADER_NOT_FOUND));
  size = sizeof(text);
  ASSERT_TRUE(WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_RETRY_AFTER, nullptr, text, &size, nullptr));
  EXPECT_EQ(std::wstring(text, size / sizeof(wchar_t)), L"120");
}

TEST_F(WinHttpTest, LargeBodiesStreamBothWaysWithoutExpect) {
  LoopbackHttpServer server;
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char('a' + i % 23);
  server.script({200, {}, big});
  Exchange x;
  x.body = big;  // above 1 MiB, where curl would add Expect: 100-continue
  x.readChunk = 1000;
  const Result r = run(server.port(), x);
  ASSERT_TRUE(r.bodyComplete) << r.error;
  EXPECT_TRUE(r.body == big);
  const auto request = server.requests().at(0);
  EXPECT_FALSE(request.header("Expect"));
  EXPECT_TRUE(request.body == big);
}

TEST_F(WinHttpTest, AnyMethod) {
  struct Case {
    const wchar_t* method;
    const char* body;
    const char* wire;
  };
  const Case cases[] = {{L"GET", "", "GET"}, {L"PUT", "abc", "PUT"}, {L"DELETE", "", "DELETE"}, {L"PATCH", "x", "PATCH"}};
  LoopbackHttpServer server;
  server.setDefaultAnswer({204, {}, ""});
  for (const auto& c : cases) {
    Exchange x;
    x.method = c.method;
    x.body = c.body;
    x.headers.clear();
    const Result r = run(server.port(), x);
    EXPECT_EQ(r.status, 204u) << c.wire;
    const auto request = server.requests().back();
    EXPECT_EQ(request.method, c.wire);
    EXPECT_EQ(request.body, c.body) << c.wire;
    EXPECT_FALSE(request.header("Content-Type")) << c.wire;
  }
}

TEST_F(WinHttpTest, FailuresAsWinHttpReportsThem) {
  struct Case {
    const char* name;
    HttpAnswer answer;
    bool closedPort;
    int timeoutMs;
    bool sent;
    bool received;
    DWORD error;
  };
  HttpAnswer closing;
  closing.closeWithoutAnswer = true;
  HttpAnswer cut{200, {}, std::string(1000, 'x')};
  cut.cutBodyShort = true;
  HttpAnswer slow{200, {}, "late"};
  slow.delayMs = 1500;
  const Case cases[] = {
      {"closed port", {}, true, 10000, false, false, ERROR_WINHTTP_CANNOT_CONNECT},
      {"closed without an answer", closing, false, 10000, true, false, ERROR_WINHTTP_CONNECTION_ERROR},
      {"body cut short", cut, false, 10000, true, true, ERROR_WINHTTP_CONNECTION_ERROR},
      {"answer later than the receive time-out", slow, false, 300, true, false, ERROR_WINHTTP_TIMEOUT},
  };
  for (const auto& c : cases) {
    uint16_t port = 0;
    auto server = std::make_unique<LoopbackHttpServer>();
    port = server->port();
    if (c.closedPort) {
      server.reset();
    } else {
      server->script(c.answer);
    }
    Exchange x;
    x.timeoutMs = c.timeoutMs;
    const Result r = run(port, x);
    EXPECT_EQ(r.sent, c.sent) << c.name;
    EXPECT_EQ(r.received, c.received) << c.name;
    EXPECT_FALSE(r.bodyComplete) << c.name;
    EXPECT_EQ(r.error, c.error) << c.name;
  }
}

TEST_F(WinHttpTest, RedirectsAreFollowedUpToTen) {
  struct Case {
    int hops;
    DWORD status;
    DWORD error;
  };
  for (const Case c : {Case{10, 200, 0}, Case{11, 0, ERROR_WINHTTP_REDIRECT_FAILED}}) {
    LoopbackHttpServer server;
    for (int i = 0; i < c.hops; ++i) server.script({302, {{"Location", "/hop" + std::to_string(i)}}, ""});
    server.setDefaultAnswer({200, {}, "there"});
    Exchange x;
    x.method = L"GET";
    x.body.clear();
    const Result r = run(server.port(), x);
    EXPECT_EQ(r.status, c.status) << c.hops;
    EXPECT_EQ(r.error, c.error) << c.hops;
    if (c.status) {
      EXPECT_EQ(r.body, "there");
    }
  }
}

TEST_F(WinHttpTest, TlsIsCheckedAgainstTheMachineRoots) {
  const auto& certs = TestCertificates::get();
  LoopbackHttpServer good(LoopbackHttpServer::Tls{certs.serverCertPem, certs.serverKeyPem});
  LoopbackHttpServer rogue(LoopbackHttpServer::Tls{certs.rogueServerCertPem, certs.rogueServerKeyPem});
  good.setDefaultAnswer({200, {}, "secure"});
  rogue.setDefaultAnswer({200, {}, "rogue"});
  Exchange x;
  x.secure = true;
  // Not trusted yet: refused.
  Result r = run(good.port(), x);
  EXPECT_FALSE(r.sent);
  EXPECT_EQ(r.error, DWORD(ERROR_WINHTTP_SECURE_FAILURE));
  tesmira::platform::http::trustRootCertificate("tesmira-test-root", certs.caPem);
  r = run(good.port(), x);
  EXPECT_EQ(r.status, 200u) << r.error;
  EXPECT_EQ(r.body, "secure");
  // A server whose certificate another CA signed is still refused; so is plain HTTP to a TLS port.
  r = run(rogue.port(), x);
  EXPECT_EQ(r.error, DWORD(ERROR_WINHTTP_SECURE_FAILURE));
  EXPECT_EQ(rogue.requestCount(), 0u);
  // https to http is never followed.
  LoopbackHttpServer plain;
  plain.setDefaultAnswer({200, {}, "plain"});
  good.script({302, {{"Location", plain.url("/")}}, ""});
  r = run(good.port(), x);
  EXPECT_NE(r.status, 200u);
  EXPECT_EQ(plain.requestCount(), 0u);
}

// No proxy is ever discovered or read here: every access type goes straight to the server.
TEST_F(WinHttpTest, EveryAccessTypeGoesStraightToTheServer) {
  const auto& certs = TestCertificates::get();
  tesmira::platform::http::trustRootCertificate("tesmira-test-root", certs.caPem);
  LoopbackHttpServer server(LoopbackHttpServer::Tls{certs.serverCertPem, certs.serverKeyPem});
  server.setDefaultAnswer({200, {}, "manifest"});
  SetEnvironmentVariableW(L"https_proxy", L"http://127.0.0.1:9");
  for (DWORD type : {WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_ACCESS_TYPE_NO_PROXY,
                     WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY}) {
    Exchange x;
    x.method = L"GET";
    x.body.clear();
    x.headers.clear();
    x.secure = true;
    x.accessType = type;
    const Result r = run(server.port(), x);
    EXPECT_EQ(r.status, 200u) << type << " " << r.error;
    EXPECT_EQ(r.body, "manifest") << type;
  }
  SetEnvironmentVariableW(L"https_proxy", nullptr);
  EXPECT_EQ(WinHttpOpen(L"t", 2, nullptr, nullptr, 0), nullptr) << "no such access type";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(WinHttpTest, HandlesAreChecked) {
  EXPECT_FALSE(WinHttpCloseHandle(reinterpret_cast<HINTERNET>(0x1234)));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  Handle session(WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0));
  EXPECT_EQ(WinHttpOpenRequest(session.get(), L"GET", L"/", nullptr, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
}

}  // namespace
