#include "common/https_client.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <utility>

#include "tests/support/host_calls_http.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

using testing::HttpAnswer;
using testing::LoopbackHttpServer;

class HttpsClientTest : public testing::MachineTest {
 protected:
  // A plain GET of `path` on the loopback server (no TLS: the certificates are the
  // callers' tests' business).
  HttpsRequest get(const std::wstring& path = L"/x") const {
    HttpsRequest request;
    request.userAgent = L"TesmiraTest/1.0";
    request.host = L"127.0.0.1";
    request.port = server_.port();
    request.path = path;
    request.secure = false;
    request.deadlineMs = 60000;
    request.maxBodyBytes = 1 << 20;
    return request;
  }

  LoopbackHttpServer server_;
};

TEST_F(HttpsClientTest, TheBodyIsBoundedWhetherKeptOrTaken) {
  constexpr size_t kCap = 100000;  // more than one read block
  const struct {
    const char* label;
    size_t bytes;
    bool taken;
    HttpsFailure failure;
  } rows[] = {
      {"inside, kept", kCap - 1, false, HttpsFailure::kNone},
      {"at the cap, kept", kCap, false, HttpsFailure::kNone},
      {"one past, kept", kCap + 1, false, HttpsFailure::kTooLarge},
      {"megabytes past, kept", 16 * kCap, false, HttpsFailure::kTooLarge},
      {"at the cap, taken", kCap, true, HttpsFailure::kNone},
      {"one past, taken", kCap + 1, true, HttpsFailure::kTooLarge},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    std::string body(row.bytes, 'b');
    body.front() = 'a';
    server_.script({200, {}, body});
    HttpsRequest request = get();
    request.maxBodyBytes = kCap;
    std::string taken;
    if (row.taken) {
      request.take = [&taken](const char* bytes, size_t count) {
        taken.append(bytes, count);
        return true;
      };
    }
    const HttpsResponse response = sendHttpsRequest(request);
    EXPECT_EQ(response.failure, row.failure);
    EXPECT_EQ(response.status, 200u);  // the status stands either way
    EXPECT_LE(taken.size(), kCap);
    if (row.failure == HttpsFailure::kNone) {
      const std::string& kept = row.taken ? taken : response.body;
      EXPECT_EQ(kept.size(), body.size());
      EXPECT_TRUE(kept == body);
      EXPECT_TRUE(response.error.empty());
    } else {
      EXPECT_TRUE(response.body.empty());
      EXPECT_EQ(response.error, L"response exceeds 100000 bytes");
    }
    if (row.taken) {
      EXPECT_TRUE(response.body.empty());
    }
  }
}

TEST_F(HttpsClientTest, AnotherStatusThanTheOneAskedForEndsBeforeTheBody) {
  // Answered, asked for (0: any), then what comes of it.
  const struct {
    uint32_t answered, onlyStatus;
    HttpsFailure failure;
    const char* body;
  } rows[] = {
      {404, 0, HttpsFailure::kNone, "not here"},
      {404, 200, HttpsFailure::kStatus, ""},
      {200, 200, HttpsFailure::kNone, "not here"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.answered) + " for " + std::to_string(row.onlyStatus));
    server_.script({int(row.answered), {}, "not here"});
    HttpsRequest request = get();
    request.onlyStatus = row.onlyStatus;
    int blocks = 0;
    std::string taken;
    request.take = [&](const char* bytes, size_t count) {
      ++blocks;
      taken.append(bytes, count);
      return true;
    };
    const HttpsResponse response = sendHttpsRequest(request);
    EXPECT_EQ(response.failure, row.failure);
    EXPECT_EQ(response.status, row.answered);
    EXPECT_EQ(taken, row.body);
    if (row.failure == HttpsFailure::kStatus) {
      EXPECT_EQ(blocks, 0);
    }
  }
}

TEST_F(HttpsClientTest, ARequestCarriesItsMethodHeadersAndBodyAndReturnsTheWantedHeaders) {
  server_.script({429, {{"Retry-After", "120"}, {"X-Long", std::string(200, 'l')}, {"X-Edge", std::string(127, 'e')}},
                  "{}"});
  HttpsRequest request = get(L"/api/batch?x=1");
  request.method = L"POST";
  request.headers = L"Content-Type: application/json\r\nAuthorization: Bearer abc\r\n";
  const std::string body = R"({"events":[]})";
  request.body = body;
  request.wantedHeaders = {L"Retry-After", L"X-Missing", L"X-Long", L"X-Edge"};
  const HttpsResponse response = sendHttpsRequest(request);
  EXPECT_TRUE(response.ok()) << response.error;
  EXPECT_EQ(response.status, 429u);
  EXPECT_EQ(response.body, "{}");
  ASSERT_EQ(response.headers.size(), 4u);
  EXPECT_EQ(response.headers[0], L"120");
  EXPECT_EQ(response.headers[1], L"");
  EXPECT_EQ(response.headers[2], L"");  // longer than a header value of ours is read
  EXPECT_EQ(response.headers[3], std::wstring(127, L'e'));

  ASSERT_EQ(server_.requestCount(), 1u);
  const testing::HttpRequestRecord sent = server_.requests().front();
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.target, "/api/batch?x=1");
  EXPECT_EQ(sent.body, body);
  EXPECT_EQ(sent.header("Content-Type"), "application/json");
  EXPECT_EQ(sent.header("Authorization"), "Bearer abc");
  EXPECT_EQ(sent.header("User-Agent"), "TesmiraTest/1.0");
}

TEST_F(HttpsClientTest, ABrokenExchangeSaysWhereItBroke) {
  HttpAnswer cut{200, {}, std::string(1000, 'c')};
  cut.cutBodyShort = true;
  HttpAnswer closed;
  closed.closeWithoutAnswer = true;
  const struct {
    const char* label;
    HttpAnswer answer;
    bool refuseBlocks;
    HttpsFailure failure;
    uint32_t status;
    const wchar_t* errorStart;
  } rows[] = {
      {"body cut short", cut, false, HttpsFailure::kRead, 200, L"read failed: "},
      {"closed without an answer", closed, false, HttpsFailure::kSend, 0, L"request failed: "},
      {"a taker that refuses", {200, {}, "abc"}, true, HttpsFailure::kTake, 200, L"local write failed"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    server_.script(row.answer);
    HttpsRequest request = get();
    if (row.refuseBlocks) request.take = [](const char*, size_t) { return false; };
    const HttpsResponse response = sendHttpsRequest(request);
    EXPECT_EQ(response.failure, row.failure);
    EXPECT_EQ(response.status, row.status);
    EXPECT_EQ(response.error.rfind(row.errorStart, 0), 0u) << std::string(response.error.begin(), response.error.end());
    // What came before a cut is kept, never more than was sent.
    if (row.failure == HttpsFailure::kRead) {
      EXPECT_EQ(response.body, std::string(response.body.size(), 'c'));
    }
    EXPECT_LT(response.body.size(), 1000u);
  }
}

TEST(CrackUrl, EitherSchemeWithItsDefaultPortAndAPathThatMayBeEmpty) {
  const std::pair<const wchar_t*, HttpsUrlParts> rows[] = {
      {L"http://127.0.0.1", {INTERNET_SCHEME_HTTP, L"127.0.0.1", L"", 80, true}},
      {L"http://[::1]:9?q=1", {INTERNET_SCHEME_HTTP, L"[::1]", L"?q=1", 9, true}},
      {L"https://example.org/a?b#c", {INTERNET_SCHEME_HTTPS, L"example.org", L"/a?b#c", 443, true}},
      {L"", {}},
      {L"example.org/a", {}},
  };
  for (const auto& [url, expected] : rows) {
    SCOPED_TRACE(std::string(url, url + std::wcslen(url)));
    const HttpsUrlParts parts = crackUrl(url);
    EXPECT_EQ(parts.valid, expected.valid);
    EXPECT_EQ(parts.scheme, expected.scheme);
    EXPECT_EQ(parts.host, expected.host);
    EXPECT_EQ(parts.port, expected.port);
    EXPECT_EQ(parts.path, expected.path);
    EXPECT_EQ(crackHttpsUrl(url).valid, expected.scheme == INTERNET_SCHEME_HTTPS);
  }
}

}  // namespace
}  // namespace tesmira
