#include "tests/support/host_calls_http.h"

#include <signal.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>

namespace tesmira::testing {
namespace {

using Clock = std::chrono::steady_clock;

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

std::string reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

// --- certificates -------------------------------------------------------------

struct KeyAndCert {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value)) {
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
}

KeyAndCert makeCertificate(const char* commonName, const KeyAndCert* issuer, bool ca, long serial) {
  KeyAndCert made;
  made.key = EVP_EC_gen("P-256");
  made.cert = X509_new();
  X509_set_version(made.cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(made.cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(made.cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(made.cert), 7 * 86400);
  X509_set_pubkey(made.cert, made.key);
  X509_NAME* name = X509_get_subject_name(made.cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Tesmira tests"), -1,
                             -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                             0);
  X509* issuerCert = issuer ? issuer->cert : made.cert;
  X509_set_issuer_name(made.cert, X509_get_subject_name(issuerCert));
  addExtension(made.cert, issuerCert, NID_subject_key_identifier, "hash");
  if (ca) {
    addExtension(made.cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(made.cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(made.cert, issuerCert, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(made.cert, issuerCert, NID_key_usage, "critical,digitalSignature");
    addExtension(made.cert, issuerCert, NID_ext_key_usage, "serverAuth");
    addExtension(made.cert, issuerCert, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    addExtension(made.cert, issuerCert, NID_authority_key_identifier, "keyid:always");
  }
  X509_sign(made.cert, issuer ? issuer->key : made.key, EVP_sha256());
  return made;
}

std::string certPem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  std::string pem(data, size_t(n));
  BIO_free(bio);
  return pem;
}

std::string keyPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  std::string pem(data, size_t(n));
  BIO_free(bio);
  return pem;
}

void release(KeyAndCert& k) {
  X509_free(k.cert);
  EVP_PKEY_free(k.key);
}

// --- connections --------------------------------------------------------------

class Connection {
 public:
  Connection(int fd, SSL_CTX* tls) : fd_(fd) {
    if (tls) {
      ssl_ = SSL_new(tls);
      SSL_set_fd(ssl_, fd_);
      if (SSL_accept(ssl_) != 1) ok_ = false;
    }
  }
  ~Connection() {
    if (ssl_) {
      if (ok_) SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    ::close(fd_);
  }
  bool ok() const { return ok_; }
  long read(char* buffer, size_t size) {
    if (!ok_) return -1;
    if (ssl_) {
      const int n = SSL_read(ssl_, buffer, int(size));
      return n > 0 ? n : -1;
    }
    const ssize_t n = ::recv(fd_, buffer, size, 0);
    return n > 0 ? long(n) : -1;
  }
  bool write(const std::string& data) {
    size_t done = 0;
    while (ok_ && done < data.size()) {
      long n = ssl_ ? SSL_write(ssl_, data.data() + done, int(data.size() - done))
                    : long(::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL));
      if (n <= 0) return false;
      done += size_t(n);
    }
    return ok_;
  }

 private:
  int fd_;
  SSL* ssl_ = nullptr;
  bool ok_ = true;
};

}  // namespace

std::optional<std::string> HttpRequestRecord::header(const std::string& name) const {
  for (const auto& [n, v] : headers) {
    if (sameName(n, name)) return v;
  }
  return std::nullopt;
}

const TestCertificates& TestCertificates::get() {
  static const TestCertificates made = [] {
    TestCertificates c;
    KeyAndCert ca = makeCertificate("Tesmira Test Root", nullptr, true, 1);
    KeyAndCert server = makeCertificate("127.0.0.1", &ca, false, 2);
    KeyAndCert rogue = makeCertificate("Tesmira Test Root", nullptr, true, 3);
    KeyAndCert rogueServer = makeCertificate("127.0.0.1", &rogue, false, 4);
    c.caPem = certPem(ca.cert);
    c.serverCertPem = certPem(server.cert);
    c.serverKeyPem = keyPem(server.key);
    c.rogueCaPem = certPem(rogue.cert);
    c.rogueServerCertPem = certPem(rogueServer.cert);
    c.rogueServerKeyPem = keyPem(rogueServer.key);
    for (KeyAndCert* k : {&ca, &server, &rogue, &rogueServer}) release(*k);
    return c;
  }();
  return made;
}

struct LoopbackHttpServer::State {
  int listenFd = -1;
  uint16_t port = 0;
  SSL_CTX* tls = nullptr;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool stopping = false;
  std::deque<HttpAnswer> scripted;
  HttpAnswer defaultAnswer;
  std::function<HttpAnswer(const HttpRequestRecord&)> responder;
  std::vector<HttpRequestRecord> requests;
  uint64_t releases = 0;
  size_t held = 0;
  std::vector<int> openFds;
  std::vector<std::thread> threads;
  std::thread acceptor;

  void acceptLoop();
  void serve(int fd);
  bool readRequest(Connection& c, std::string& pending, HttpRequestRecord& request);
};

bool LoopbackHttpServer::State::readRequest(Connection& c, std::string& pending, HttpRequestRecord& request) {
  char chunk[16384];
  size_t headerEnd;
  while ((headerEnd = pending.find("\r\n\r\n")) == std::string::npos) {
    const long n = c.read(chunk, sizeof chunk);
    if (n <= 0) return false;
    pending.append(chunk, size_t(n));
  }
  std::istringstream head(pending.substr(0, headerEnd));
  std::string line;
  std::getline(head, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::istringstream first(line);
  std::string version;
  first >> request.method >> request.target >> version;
  size_t length = 0;
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    request.headers.emplace_back(line.substr(0, colon), value);
    if (sameName(line.substr(0, colon), "Content-Length")) length = size_t(std::stoull(value));
  }
  pending.erase(0, headerEnd + 4);
  if (auto expect = request.header("Expect"); expect && sameName(*expect, "100-continue")) {
    c.write("HTTP/1.1 100 Continue\r\n\r\n");
  }
  while (pending.size() < length) {
    const long n = c.read(chunk, sizeof chunk);
    if (n <= 0) return false;
    pending.append(chunk, size_t(n));
  }
  request.body = pending.substr(0, length);
  pending.erase(0, length);
  return true;
}

void LoopbackHttpServer::State::serve(int fd) {
  Connection c(fd, tls);
  if (!c.ok()) return;
  std::string pending;
  for (;;) {
    HttpRequestRecord request;
    if (!readRequest(c, pending, request)) return;
    HttpAnswer answer;
    {
      std::unique_lock lock(mutex);
      requests.push_back(request);
      if (!scripted.empty()) {
        answer = std::move(scripted.front());
        scripted.pop_front();
      } else if (responder) {
        auto respond = responder;
        lock.unlock();
        answer = respond(request);
        lock.lock();
      } else {
        answer = defaultAnswer;
      }
      changed.notify_all();
      if (answer.hold) {
        const uint64_t seen = releases;
        ++held;
        changed.notify_all();
        changed.wait(lock, [&] { return stopping || releases != seen; });
        --held;
      }
      if (stopping) return;
    }
    if (answer.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
    if (answer.closeWithoutAnswer) return;
    std::string response = "HTTP/1.1 " + std::to_string(answer.status) + " " + reasonPhrase(answer.status) + "\r\n";
    bool hasLength = false;
    for (const auto& [n, v] : answer.headers) {
      response += n + ": " + v + "\r\n";
      hasLength = hasLength || sameName(n, "Content-Length");
    }
    if (!hasLength) response += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    response += "Connection: close\r\n\r\n";
    if (answer.dripMs > 0) {
      // The client hangs up mid-body by design; a TLS write to it must fail, not raise SIGPIPE.
      static const bool ignored = (::signal(SIGPIPE, SIG_IGN), true);
      (void)ignored;
      if (!c.write(response)) return;
      for (char byte : answer.body) {
        {
          std::lock_guard lock(mutex);
          if (stopping) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(answer.dripMs));
        if (!c.write(std::string(1, byte))) return;
      }
      return;
    }
    response += answer.cutBodyShort ? answer.body.substr(0, answer.body.size() / 2) : answer.body;
    c.write(response);
    return;  // one answer per connection
  }
}

void LoopbackHttpServer::State::acceptLoop() {
  for (;;) {
    pollfd p{listenFd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 50);
    {
      std::lock_guard lock(mutex);
      if (stopping) return;
    }
    if (ready <= 0) continue;
    const int fd = ::accept(listenFd, nullptr, nullptr);
    if (fd < 0) continue;
    std::lock_guard lock(mutex);
    openFds.push_back(fd);
    threads.emplace_back([this, fd] { serve(fd); });
  }
}

LoopbackHttpServer::LoopbackHttpServer(std::optional<Tls> tls) : state_(std::make_shared<State>()) {
  State& s = *state_;
  if (tls) {
    s.tls = SSL_CTX_new(TLS_server_method());
    BIO* certBio = BIO_new_mem_buf(tls->certPem.data(), int(tls->certPem.size()));
    BIO* keyBio = BIO_new_mem_buf(tls->keyPem.data(), int(tls->keyPem.size()));
    X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    SSL_CTX_use_certificate(s.tls, cert);
    SSL_CTX_use_PrivateKey(s.tls, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
  }
  s.listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof(address);
  if (s.listenFd < 0 || ::bind(s.listenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(s.listenFd, 64) != 0 || ::getsockname(s.listenFd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (s.listenFd >= 0) ::close(s.listenFd);
    s.listenFd = -1;
    return;
  }
  s.port = ntohs(address.sin_port);
  s.acceptor = std::thread([&s] { s.acceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  State& s = *state_;
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(s.mutex);
    s.stopping = true;
    for (int fd : s.openFds) ::shutdown(fd, SHUT_RDWR);
    s.changed.notify_all();
  }
  if (s.acceptor.joinable()) s.acceptor.join();
  {
    std::lock_guard lock(s.mutex);
    threads.swap(s.threads);
  }
  for (auto& t : threads) t.join();
  if (s.listenFd >= 0) ::close(s.listenFd);
  if (s.tls) SSL_CTX_free(s.tls);
}

bool LoopbackHttpServer::listening() const { return state_->listenFd >= 0; }
uint16_t LoopbackHttpServer::port() const { return state_->port; }

std::string LoopbackHttpServer::url(const std::string& path) const {
  return std::string(state_->tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(state_->port) + path;
}

void LoopbackHttpServer::script(HttpAnswer answer) {
  std::lock_guard lock(state_->mutex);
  state_->scripted.push_back(std::move(answer));
}

void LoopbackHttpServer::setDefaultAnswer(HttpAnswer answer) {
  std::lock_guard lock(state_->mutex);
  state_->defaultAnswer = std::move(answer);
}

void LoopbackHttpServer::setResponder(std::function<HttpAnswer(const HttpRequestRecord&)> responder) {
  std::lock_guard lock(state_->mutex);
  state_->responder = std::move(responder);
}

void LoopbackHttpServer::releaseHeld() {
  std::lock_guard lock(state_->mutex);
  ++state_->releases;
  state_->changed.notify_all();
}

size_t LoopbackHttpServer::heldCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->held;
}

std::vector<HttpRequestRecord> LoopbackHttpServer::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

size_t LoopbackHttpServer::requestCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests.size();
}

bool LoopbackHttpServer::waitForRequests(size_t n, int timeoutMs) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return state_->requests.size() >= n; });
}

bool LoopbackHttpServer::waitForHeld(size_t n, int timeoutMs) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return state_->held >= n; });
}

}  // namespace tesmira::testing
