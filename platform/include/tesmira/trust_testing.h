#pragma once
// Test hooks for Authenticode: a small PE32+ image, signers made at run time and
// signing with the host's osslsigncode. Product code never includes this header.
//
//   SigningKit kit(root / "signing");          // keys and certificates, made once here
//   kit.trustTestRoot();                       // the test CA becomes a machine root
//   writeTestPe(root / "plain.exe");
//   kit.sign(root / "plain.exe", root / "signed.exe", TestSigner::kPellucor);
//
// The trusted chain is test root CA -> intermediate CA -> signer; signatures carry the
// signer and the intermediate unless the signer says otherwise.
#include <cstdint>
#include <filesystem>
#include <string>

#include "../minwindef.h"

namespace tesmira::platform::trust {

enum class TestSigner {
  kPellucor,        // "Pellucor Inc.", trusted chain
  kOtherCorp,       // "Other Corp", trusted chain
  kUntrusted,       // "Pellucor Inc." from a CA no machine trusts; that root is in the signature
  kExpired,         // "Pellucor Inc.", trusted chain, validity ended a year ago
  kNoCodeSigning,   // "Pellucor Inc.", trusted chain, extended key usage TLS server only
  kIssuerMissing,   // "Pellucor Inc.", trusted chain, the intermediate left out of the signature
};

// The signer's common name ("Pellucor Inc." or "Other Corp").
TESMIRA_EXPORT std::string testSignerName(TestSigner signer);

// Writes an unsigned PE32+ (x64 console image: DOS and PE headers, one section of
// code bytes, rounded up to 512): 1,024 bytes by default. False when the file cannot
// be written.
TESMIRA_EXPORT bool writeTestPe(const std::filesystem::path& file, uint64_t codeBytes = 512);

class TESMIRA_EXPORT SigningKit {
 public:
  // Makes the keys and certificates (ECDSA P-256) as PEM files in `folder` (created).
  explicit SigningKit(const std::filesystem::path& folder);

  bool ready() const { return ready_; }
  // The test root CA's PEM file (for `osslsigncode verify -CAfile`).
  std::filesystem::path rootCaFile() const { return folder_ / "root-ca.pem"; }
  // Installs the test root CA as a trusted root of the current machine root.
  void trustTestRoot() const;
  // `osslsigncode sign` (SHA-256, no time stamp) from `input` to `output`; true when
  // it exited 0. `output` is replaced.
  bool sign(const std::filesystem::path& input, const std::filesystem::path& output, TestSigner signer) const;
  // `osslsigncode verify -CAfile <root> -in <file>`: true when it exited 0.
  bool osslsigncodeVerifies(const std::filesystem::path& file) const;

 private:
  std::filesystem::path folder_;
  bool ready_ = false;
};

}  // namespace tesmira::platform::trust
