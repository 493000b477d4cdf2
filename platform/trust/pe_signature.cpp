#include "trust/pe_signature.h"

#include <array>

namespace tesmira::platform::trust {
namespace {

// Offsets and sizes in the DOS header, the COFF file header and the optional header
// (PE32 and PE32+ differ only in where the data directories start).
constexpr uint64_t kDosHeaderBytes = 64, kLfanewOffset = 0x3C;
constexpr uint64_t kCoffHeaderBytes = 20, kSizeOfOptionalHeaderInCoff = 16;
constexpr uint64_t kCheckSumInOptional = 64, kRvaCountInPe32 = 92, kRvaCountInPe32Plus = 108;
constexpr uint16_t kPe32Magic = 0x010B, kPe32PlusMagic = 0x020B;
constexpr uint64_t kDirectoryBytes = 8;
constexpr uint32_t kSecurityDirectory = 4;
static_assert(kRvaCountInPe32 + 4 + kSecurityDirectory * kDirectoryBytes + kDirectoryBytes == 136);
static_assert(kRvaCountInPe32Plus + 4 + kSecurityDirectory * kDirectoryBytes + kDirectoryBytes == 152);
static_assert(kCheckSumInOptional + 4 <= kRvaCountInPe32);

class Reader {
 public:
  Reader(std::ifstream& file, uint64_t size) : file_(file), size_(size) {}
  // False when [offset, offset + n) is not wholly inside the file.
  bool read(uint64_t offset, void* into, uint64_t n) {
    if (offset > size_ || n > size_ - offset) return false;
    file_.clear();
    file_.seekg(std::streamoff(offset));
    file_.read(static_cast<char*>(into), std::streamsize(n));
    return uint64_t(file_.gcount()) == n;
  }
  bool u16(uint64_t offset, uint16_t& v) {
    std::array<uint8_t, 2> b{};
    if (!read(offset, b.data(), b.size())) return false;
    v = uint16_t(b[0] | b[1] << 8);
    return true;
  }
  bool u32(uint64_t offset, uint32_t& v) {
    std::array<uint8_t, 4> b{};
    if (!read(offset, b.data(), b.size())) return false;
    v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return true;
  }

 private:
  std::ifstream& file_;
  uint64_t size_;
};

}  // namespace

PeStatus readPeSignature(std::ifstream& file, PeSignature& out) {
  out = {};
  file.clear();
  file.seekg(0, std::ios::end);
  const std::streamoff end = file.tellg();
  if (end < 0) return PeStatus::kUnreadable;
  out.fileSize = uint64_t(end);
  Reader r(file, out.fileSize);

  uint16_t mz = 0;
  uint32_t lfanew = 0, peSignature = 0;
  if (out.fileSize < kDosHeaderBytes || !r.u16(0, mz) || mz != 0x5A4D) return PeStatus::kNotPe;
  if (!r.u32(kLfanewOffset, lfanew) || !r.u32(lfanew, peSignature) || peSignature != 0x00004550) {
    return PeStatus::kNotPe;
  }
  const uint64_t coff = uint64_t(lfanew) + 4;
  const uint64_t optional = coff + kCoffHeaderBytes;
  uint16_t optionalSize = 0, magic = 0;
  if (!r.u16(coff + kSizeOfOptionalHeaderInCoff, optionalSize) || !r.u16(optional, magic)) return PeStatus::kNotPe;
  uint64_t rvaCountAt = 0;
  if (magic == kPe32Magic) {
    rvaCountAt = kRvaCountInPe32;
  } else if (magic == kPe32PlusMagic) {
    rvaCountAt = kRvaCountInPe32Plus;
  } else {
    return PeStatus::kNotPe;
  }
  // The optional header must hold the directory count and lie within the file.
  if (optionalSize < rvaCountAt + 4 || optional + optionalSize > out.fileSize) return PeStatus::kNotPe;
  uint32_t rvaCount = 0;
  if (!r.u32(optional + rvaCountAt, rvaCount)) return PeStatus::kNotPe;
  out.checksumOffset = optional + kCheckSumInOptional;
  out.directoryOffset = optional + rvaCountAt + 4 + kSecurityDirectory * kDirectoryBytes;
  if (rvaCount <= kSecurityDirectory || out.directoryOffset + kDirectoryBytes > optional + optionalSize) {
    return PeStatus::kNoSignature;
  }
  uint32_t tableOffset = 0, tableSize = 0;
  if (!r.u32(out.directoryOffset, tableOffset) || !r.u32(out.directoryOffset + 4, tableSize)) {
    return PeStatus::kNotPe;
  }
  out.tableOffset = tableOffset;
  out.tableSize = tableSize;
  if (tableOffset == 0 || tableSize < kWinCertHeaderBytes) return PeStatus::kNoSignature;
  // After the headers that hold its entry, and wholly inside the file.
  if (out.tableOffset < out.directoryOffset + kDirectoryBytes || out.tableOffset > out.fileSize ||
      out.tableSize > out.fileSize - out.tableOffset) {
    return PeStatus::kNoSignature;
  }
  uint32_t length = 0;
  uint16_t revision = 0, type = 0;
  if (!r.u32(out.tableOffset, length) || !r.u16(out.tableOffset + 4, revision) || !r.u16(out.tableOffset + 6, type)) {
    return PeStatus::kNoSignature;
  }
  if (revision != kWinCertRevision2 || type != kWinCertTypePkcsSignedData || length <= kWinCertHeaderBytes ||
      length > out.tableSize || length - kWinCertHeaderBytes > kMaxSignatureBytes) {
    return PeStatus::kNoSignature;
  }
  out.pkcs7.resize(length - kWinCertHeaderBytes);
  if (!r.read(out.tableOffset + kWinCertHeaderBytes, out.pkcs7.data(), out.pkcs7.size())) {
    return PeStatus::kNoSignature;
  }
  return PeStatus::kSigned;
}

PeStatus readPeSignature(const std::filesystem::path& path, PeSignature& out) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return PeStatus::kUnreadable;
  return readPeSignature(file, out);
}

}  // namespace tesmira::platform::trust
