#pragma once
// The signature embedded in a PE file: where the Authenticode digest's holes are and
// the PKCS #7 bytes of the first certificate table entry. Every length and offset read
// from the file is checked against the file before it is used.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

namespace tesmira::platform::trust {

enum class PeStatus { kSigned, kNotPe, kNoSignature, kUnreadable };

struct PeSignature {
  uint64_t fileSize = 0;
  uint64_t checksumOffset = 0;    // the optional header's CheckSum (4 bytes)
  uint64_t directoryOffset = 0;   // data directory 4, the certificate table's entry (8 bytes)
  uint64_t tableOffset = 0;       // the certificate table: a file offset, not an RVA
  uint64_t tableSize = 0;
  std::vector<uint8_t> pkcs7;     // DER of the first WIN_CERTIFICATE's content
};

// WIN_CERTIFICATE
inline constexpr uint16_t kWinCertRevision2 = 0x0200;
inline constexpr uint16_t kWinCertTypePkcsSignedData = 0x0002;
inline constexpr uint64_t kWinCertHeaderBytes = 8;  // dwLength, wRevision, wCertificateType
// Larger signature blocks are refused rather than read into memory.
inline constexpr uint64_t kMaxSignatureBytes = 4u << 20;

PeStatus readPeSignature(std::ifstream& file, PeSignature& out);
PeStatus readPeSignature(const std::filesystem::path& path, PeSignature& out);

}  // namespace tesmira::platform::trust
