// The Authenticode test kit: certificates made with OpenSSL, signatures by the host's
// osslsigncode (only its exit status is read).
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "tesmira/http_testing.h"
#include "tesmira/trust_testing.h"

extern char** environ;

namespace tesmira::platform::trust {
namespace {

namespace fs = std::filesystem;

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

struct Made {
  KeyPtr key{nullptr, EVP_PKEY_free};
  CertPtr cert{nullptr, X509_free};
};

struct CertSpec {
  const char* commonName;
  bool ca;
  const char* extendedUsage;  // null: none
  long notBeforeDays;
  long notAfterDays;
};

// Extensions as openssl.cnf writes them; a null value is left out.
void addExtensions(X509* cert, X509* issuer, std::initializer_list<std::pair<int, const char*>> extensions) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* ext = value ? X509V3_EXT_conf_nid(nullptr, &ctx, nid, value) : nullptr;
    if (ext) X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
}

// Signed by `issuer` (self-signed when null).
Made makeCertificate(const CertSpec& spec, const Made* issuer, long serial) {
  Made made;
  made.key.reset(EVP_EC_gen("P-256"));
  made.cert.reset(X509_new());
  if (!made.key || !made.cert) return made;
  X509* c = made.cert.get();
  X509_set_version(c, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c), serial);
  X509_gmtime_adj(X509_getm_notBefore(c), spec.notBeforeDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(c), spec.notAfterDays * 86400);
  X509_set_pubkey(c, made.key.get());
  X509_NAME* name = X509_get_subject_name(c);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(spec.commonName), -1,
                             -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(spec.commonName), -1,
                             -1, 0);
  X509* issuerCert = issuer ? issuer->cert.get() : c;
  X509_set_issuer_name(c, X509_get_subject_name(issuerCert));
  addExtensions(c, issuerCert,
                {{NID_basic_constraints, spec.ca ? "critical,CA:TRUE" : "critical,CA:FALSE"},
                 {NID_key_usage, spec.ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature"},
                 {NID_ext_key_usage, spec.extendedUsage},
                 {NID_subject_key_identifier, "hash"},
                 {NID_authority_key_identifier, issuer ? "keyid:always" : nullptr}});
  if (!X509_sign(c, issuer ? issuer->key.get() : made.key.get(), EVP_sha256())) made.cert.reset();
  return made;
}

bool writePem(const fs::path& file, const std::vector<const Made*>& certs, const Made* key) {
  FILE* out = std::fopen(file.c_str(), "w");
  if (!out) return false;
  bool ok = true;
  for (const Made* m : certs) ok = ok && m->cert && PEM_write_X509(out, m->cert.get());
  if (key) ok = ok && PEM_write_PrivateKey(out, key->key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  return std::fclose(out) == 0 && ok;
}

const char* fileStem(TestSigner signer) {
  switch (signer) {
    case TestSigner::kPellucor: return "pellucor";
    case TestSigner::kOtherCorp: return "other-corp";
    case TestSigner::kUntrusted: return "untrusted";
    case TestSigner::kExpired: return "expired";
    case TestSigner::kNoCodeSigning: return "no-code-signing";
    case TestSigner::kIssuerMissing: return "issuer-missing";
  }
  return "unknown";
}

// Runs a host tool with its output discarded; true when it exited 0.
bool runQuietly(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string testSignerName(TestSigner signer) {
  return signer == TestSigner::kOtherCorp ? "Other Corp" : "Pellucor Inc.";
}

bool writeTestPe(const fs::path& file, uint64_t codeBytes) {
  constexpr uint64_t kFileAlignment = 0x200, kSectionAlignment = 0x1000;
  codeBytes = std::max<uint64_t>(kFileAlignment, (codeBytes + kFileAlignment - 1) / kFileAlignment * kFileAlignment);
  std::array<unsigned char, kFileAlignment> image{};  // the headers
  auto put16 = [&](size_t at, uint16_t v) {
    image[at] = uint8_t(v);
    image[at + 1] = uint8_t(v >> 8);
  };
  auto put32 = [&](size_t at, uint32_t v) {
    put16(at, uint16_t(v));
    put16(at + 2, uint16_t(v >> 16));
  };
  constexpr size_t kPe = 0x80;              // e_lfanew
  constexpr size_t kOptional = kPe + 4 + 20;
  constexpr size_t kSection = kOptional + 240;
  static_assert(kSection + 40 <= kFileAlignment, "the headers fit their 0x200 bytes");
  put16(0, 0x5A4D);  // "MZ"
  put32(0x3C, kPe);
  put32(kPe, 0x00004550);  // "PE\0\0"
  put16(kPe + 4, 0x8664);  // x64
  put16(kPe + 6, 1);       // one section
  put16(kPe + 20, 240);    // PE32+ optional header with 16 directories
  put16(kPe + 22, 0x0022); // executable, large-address aware
  put16(kOptional, 0x020B);
  put32(kOptional + 4, uint32_t(codeBytes));  // SizeOfCode
  put32(kOptional + 16, kSectionAlignment);   // AddressOfEntryPoint
  put32(kOptional + 20, kSectionAlignment);   // BaseOfCode
  put32(kOptional + 24, 0x40000000);  // ImageBase 0x140000000
  put32(kOptional + 28, 0x1);
  put32(kOptional + 32, kSectionAlignment);
  put32(kOptional + 36, kFileAlignment);
  put16(kOptional + 40, 6);        // OS version
  put16(kOptional + 48, 6);        // subsystem version
  const uint64_t sectionSpan = (codeBytes + kSectionAlignment - 1) / kSectionAlignment * kSectionAlignment;
  put32(kOptional + 56, uint32_t(kSectionAlignment + sectionSpan));  // SizeOfImage
  put32(kOptional + 60, kFileAlignment);  // SizeOfHeaders
  put16(kOptional + 68, 3);        // console
  put16(kOptional + 70, 0x8160);   // DLL characteristics: NX, dynamic base, high entropy, TS aware
  put32(kOptional + 72, 0x100000); // stack reserve
  put32(kOptional + 80, 0x1000);   // stack commit
  put32(kOptional + 88, 0x100000); // heap reserve
  put32(kOptional + 96, 0x1000);   // heap commit
  put32(kOptional + 108, 16);      // NumberOfRvaAndSizes
  const char name[8] = {'.', 't', 'e', 'x', 't'};
  std::copy(name, name + 8, image.begin() + kSection);
  put32(kSection + 8, uint32_t(codeBytes));    // VirtualSize
  put32(kSection + 12, kSectionAlignment);     // VirtualAddress
  put32(kSection + 16, uint32_t(codeBytes));   // SizeOfRawData
  put32(kSection + 20, kFileAlignment);        // PointerToRawData
  put32(kSection + 36, 0x60000020);            // code, execute, read
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  // xor eax, eax; ret; then int3 filler
  std::vector<char> block(std::min<uint64_t>(codeBytes, 1u << 20), char(0xCC));
  block[0] = char(0x31);
  block[1] = char(0xC0);
  block[2] = char(0xC3);
  for (uint64_t left = codeBytes; left > 0 && out;) {
    const size_t n = size_t(std::min<uint64_t>(left, block.size()));
    out.write(block.data(), std::streamsize(n));
    if (left == codeBytes) std::fill(block.begin(), block.begin() + 3, char(0xCC));
    left -= n;
  }
  return bool(out.flush());
}

SigningKit::SigningKit(const fs::path& folder) : folder_(folder) {
  std::error_code ec;
  fs::create_directories(folder_, ec);
  const Made root = makeCertificate({"Tesmira Test Root CA", true, nullptr, -1, 3650}, nullptr, 1);
  const Made intermediate = makeCertificate({"Tesmira Test Code Signing CA", true, nullptr, -1, 3650}, &root, 2);
  const Made rogueRoot = makeCertificate({"Rogue Root CA", true, nullptr, -1, 3650}, nullptr, 3);
  const char* codeSigning = "codeSigning";
  const Made pellucor = makeCertificate({"Pellucor Inc.", false, codeSigning, -1, 365}, &intermediate, 10);
  const Made other = makeCertificate({"Other Corp", false, codeSigning, -1, 365}, &intermediate, 11);
  const Made untrusted = makeCertificate({"Pellucor Inc.", false, codeSigning, -1, 365}, &rogueRoot, 12);
  const Made expired = makeCertificate({"Pellucor Inc.", false, codeSigning, -730, -365}, &intermediate, 13);
  const Made serverOnly = makeCertificate({"Pellucor Inc.", false, "serverAuth", -1, 365}, &intermediate, 14);
  const Made missing = makeCertificate({"Pellucor Inc.", false, codeSigning, -1, 365}, &intermediate, 15);

  struct Entry {
    TestSigner signer;
    const Made* leaf;
    std::vector<const Made*> chain;
  };
  const Entry entries[] = {
      {TestSigner::kPellucor, &pellucor, {&pellucor, &intermediate}},
      {TestSigner::kOtherCorp, &other, {&other, &intermediate}},
      {TestSigner::kUntrusted, &untrusted, {&untrusted, &rogueRoot}},
      {TestSigner::kExpired, &expired, {&expired, &intermediate}},
      {TestSigner::kNoCodeSigning, &serverOnly, {&serverOnly, &intermediate}},
      {TestSigner::kIssuerMissing, &missing, {&missing}},
  };
  bool ok = writePem(rootCaFile(), {&root}, nullptr);
  for (const Entry& e : entries) {
    const std::string stem = fileStem(e.signer);
    ok = ok && writePem(folder_ / (stem + "-certs.pem"), e.chain, nullptr);
    ok = ok && writePem(folder_ / (stem + "-key.pem"), {}, e.leaf);
  }
  ready_ = ok;
}

void SigningKit::trustTestRoot() const {
  std::ifstream in(rootCaFile(), std::ios::binary);
  std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  http::trustRootCertificate("tesmira-code-signing-test-root", pem);
}

bool SigningKit::sign(const fs::path& input, const fs::path& output, TestSigner signer) const {
  const std::string stem = fileStem(signer);
  std::error_code ec;
  fs::remove(output, ec);  // osslsigncode will not overwrite
  return runQuietly({"osslsigncode", "sign", "-h", "sha256", "-certs", (folder_ / (stem + "-certs.pem")).string(),
                     "-key", (folder_ / (stem + "-key.pem")).string(), "-in", input.string(), "-out",
                     output.string()});
}

bool SigningKit::osslsigncodeVerifies(const fs::path& file) const {
  return runQuietly({"osslsigncode", "verify", "-CAfile", rootCaFile().string(), "-in", file.string()});
}

}  // namespace tesmira::platform::trust
