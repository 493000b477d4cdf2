#pragma once
// The host side of HTTP for tests and tools: a loopback HTTP and HTTPS server with
// scripted answers that records every request, and certificates made at run time.
// Part of the one helper that calls the host system directly (see host_calls.h).
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tesmira::testing {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpAnswer {
  int status = 200;
  HttpHeaders headers;  // Content-Length is added unless given
  std::string body;
  int delayMs = 0;                  // real time before the answer
  bool hold = false;                // kept until releaseHeld()
  bool closeWithoutAnswer = false;  // the connection closes, nothing is sent
  bool cutBodyShort = false;        // the full length is announced, half the body sent, then closed
  int dripMs = 0;                   // the body's bytes one at a time, this much real time apart
};

struct HttpRequestRecord {
  std::string method;
  std::string target;
  HttpHeaders headers;
  std::string body;
  // The first header of that name (case-insensitive), or nullopt.
  std::optional<std::string> header(const std::string& name) const;
};

// PEM texts made once per process: a CA and a server certificate it signed for 127.0.0.1
// and localhost, and a rogue CA with its own server certificate for the same names.
struct TestCertificates {
  std::string caPem;
  std::string serverCertPem;
  std::string serverKeyPem;
  std::string rogueCaPem;
  std::string rogueServerCertPem;
  std::string rogueServerKeyPem;
  static const TestCertificates& get();
};

class LoopbackHttpServer {
 public:
  struct Tls {
    std::string certPem;
    std::string keyPem;
  };
  // Listens on 127.0.0.1 on a free port; with tls, HTTPS.
  explicit LoopbackHttpServer(std::optional<Tls> tls = std::nullopt);
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  bool listening() const;
  uint16_t port() const;
  // "http://127.0.0.1:<port>" + path (https for a TLS server).
  std::string url(const std::string& path = "/") const;

  // Answers are taken in order; when none is left, the responder or the default answers.
  void script(HttpAnswer answer);
  void setDefaultAnswer(HttpAnswer answer);
  void setResponder(std::function<HttpAnswer(const HttpRequestRecord&)> responder);
  void releaseHeld();
  // Further answers marked hold are held until the next releaseHeld.
  size_t heldCount() const;

  std::vector<HttpRequestRecord> requests() const;
  size_t requestCount() const;
  // Polls (real time) until at least n requests arrived / n answers are held.
  bool waitForRequests(size_t n, int timeoutMs) const;
  bool waitForHeld(size_t n, int timeoutMs) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tesmira::testing
