// WinVerifyTrust on signatures that osslsigncode made: each signer and fault gives its
// code, and agrees with `osslsigncode verify` on pass or fail; damaged files never crash.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "platform/trust/tests/signing_fixture.h"
#include "platform/trust/tests/verify_file.h"

namespace {

namespace fs = std::filesystem;
using tesmira::platform::trust::TestSigner;
using tesmira::platform::trust::writeTestPe;
using tesmira::testing::readFile;

LONG verify(const fs::path& file) {
  const tesmira::testing::TrustAnswer answer = tesmira::testing::winVerifyTrustFile(file);
  EXPECT_EQ(answer.closed, 0);
  return answer.result;
}

void writeBytes(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

uint32_t u32At(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}

void putU32(std::string& bytes, size_t at, uint32_t v) { std::memcpy(bytes.data() + at, &v, 4); }

// The test PE's layout (see writeTestPe): PE header at 0x80, PE32+ optional header after it.
constexpr size_t kOptional = 0x80 + 24;
constexpr size_t kSecurityDirectory = kOptional + 112 + 4 * 8;
constexpr size_t kSectionByte = 0x210;

using AuthenticodeTest = tesmira::testing::SigningTest;

TEST_F(AuthenticodeTest, EachSignatureGetsItsCodeAndAgreesWithOsslsigncode) {
  EXPECT_EQ(fs::file_size(file("plain.exe")), 1024u);
  // A section that the digest reads in several uneven blocks.
  ASSERT_TRUE(writeTestPe(file("large.exe"), (3u << 20) + 512));
  ASSERT_TRUE(kit_->sign(file("large.exe"), file("large-signed.exe"), TestSigner::kPellucor));
  const fs::path script = file("setup.cmd");
  writeBytes(script, "#!/bin/sh\necho installing\n");
  const fs::path tampered = signedBy(TestSigner::kPellucor, "tampered.exe");
  std::string bytes = readFile(tampered);
  bytes[kSectionByte] = char(bytes[kSectionByte] ^ 0x01);
  writeBytes(tampered, bytes);

  const struct {
    const char* label;
    fs::path file;
    LONG expected;
  } rows[] = {
      {"Pellucor Inc.", signedBy(TestSigner::kPellucor, "pellucor.exe"), 0},
      {"Other Corp", signedBy(TestSigner::kOtherCorp, "other.exe"), 0},
      {"Pellucor Inc., 3 MiB section", file("large-signed.exe"), 0},
      {"unsigned", file("plain.exe"), TRUST_E_NOSIGNATURE},
      {"section byte flipped after signing", tampered, TRUST_E_BAD_DIGEST},
      {"untrusted root in the signature", signedBy(TestSigner::kUntrusted, "untrusted.exe"), CERT_E_UNTRUSTEDROOT},
      {"issuer missing from the signature", signedBy(TestSigner::kIssuerMissing, "missing.exe"), CERT_E_CHAINING},
      {"expired signer", signedBy(TestSigner::kExpired, "expired.exe"), CERT_E_EXPIRED},
      {"no code-signing usage", signedBy(TestSigner::kNoCodeSigning, "server.exe"), CERT_E_WRONG_USAGE},
      {"script", script, TRUST_E_SUBJECT_FORM_UNKNOWN},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(uint32_t(verify(row.file)), uint32_t(row.expected));
    EXPECT_EQ(kit_->osslsigncodeVerifies(row.file), row.expected == 0);
  }
}

TEST_F(AuthenticodeTest, WithoutTheTestRootTheChainEndsNowhere) {
  const fs::path signedFile = signedBy(TestSigner::kPellucor, "pellucor.exe");
  std::error_code ec;
  fs::remove_all(root() / "certificates", ec);
  EXPECT_EQ(uint32_t(verify(signedFile)), uint32_t(CERT_E_CHAINING));
}

TEST_F(AuthenticodeTest, DamagedHeadersAreRefusedWithTheirCode) {
  const std::string good = readFile(signedBy(TestSigner::kPellucor, "pellucor.exe"));
  const uint32_t table = u32At(good, kSecurityDirectory);
  const uint32_t tableSize = u32At(good, kSecurityDirectory + 4);
  ASSERT_GT(table, kSecurityDirectory);
  ASSERT_EQ(table + tableSize, good.size());
  struct Patch {
    size_t at;
    uint32_t value;  // written little-endian at `at`
  };
  const struct {
    const char* label;
    Patch patch;
    LONG expected;
  } rows[] = {
      {"no MZ", {0, 0x00905A4E}, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"e_lfanew past the end", {0x3C, 0xFFFFFFF0u}, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"no PE signature", {0x80, 0x00004551}, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"unknown optional header magic", {kOptional, 0x0107}, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"four data directories", {kOptional + 108, 4}, TRUST_E_NOSIGNATURE},
      {"table offset 0", {kSecurityDirectory, 0}, TRUST_E_NOSIGNATURE},
      {"table inside the headers", {kSecurityDirectory, 0x40}, TRUST_E_NOSIGNATURE},
      {"table past the end", {kSecurityDirectory, table + 8}, TRUST_E_NOSIGNATURE},
      {"table size wraps", {kSecurityDirectory + 4, 0xFFFFFFF8u}, TRUST_E_NOSIGNATURE},
      {"entry longer than the table", {table, tableSize + 1}, TRUST_E_NOSIGNATURE},
      {"entry of header only", {table, 8}, TRUST_E_NOSIGNATURE},
      {"revision 0x0100", {table + 4, 0x00020100}, TRUST_E_NOSIGNATURE},
      {"type X.509", {table + 4, 0x00010200}, TRUST_E_NOSIGNATURE},
      {"CheckSum changed", {kOptional + 64, 0x12345678}, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    std::string bytes = good;
    putU32(bytes, row.patch.at, row.patch.value);
    writeBytes(file("damaged.exe"), bytes);
    EXPECT_EQ(uint32_t(verify(file("damaged.exe"))), uint32_t(row.expected));
  }
}

// The end of the DER element that starts at `at` (definite lengths only).
size_t derEnd(const std::string& bytes, size_t at) {
  const auto byte = [&](size_t i) { return size_t(uint8_t(bytes.at(i))); };
  size_t length = byte(at + 1), header = 2;
  if (length & 0x80) {
    const size_t count = length & 0x7F;
    length = 0;
    for (size_t i = 0; i < count; ++i) length = length << 8 | byte(at + 2 + i);
    header += count;
  }
  return at + header + length;
}

// Cut at every length from the certificate table on, as found and with the directory
// entry and WIN_CERTIFICATE length fitted to the cut (so the short PKCS #7 is parsed;
// the zero padding after it is no part of the signature).
TEST_F(AuthenticodeTest, ASignedFileCutAnywhereInItsSignatureFails) {
  const std::string good = readFile(signedBy(TestSigner::kPellucor, "pellucor.exe"));
  const uint32_t table = u32At(good, kSecurityDirectory);
  const size_t signatureEnd = derEnd(good, table + 8);
  ASSERT_LE(signatureEnd, good.size());
  ASSERT_EQ(verify(file("pellucor.exe")), 0);
  for (size_t length = table; length < good.size(); ++length) {
    std::string cut = good.substr(0, length);
    writeBytes(file("cut.exe"), cut);
    EXPECT_NE(verify(file("cut.exe")), 0) << "cut at " << length;
    if (length > table + 8 && length < signatureEnd) {
      putU32(cut, kSecurityDirectory + 4, uint32_t(length - table));
      putU32(cut, table, uint32_t(length - table));
      writeBytes(file("cut.exe"), cut);
      EXPECT_NE(verify(file("cut.exe")), 0) << "fitted cut at " << length;
    }
  }
}

TEST_F(AuthenticodeTest, CallsOutsideAuthenticodeAreRefused) {
  GUID other = {0x1, 0x2, 0x3, {0, 0, 0, 0, 0, 0, 0, 0}};
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  EXPECT_EQ(uint32_t(WinVerifyTrust(nullptr, &other, &data)), uint32_t(TRUST_E_PROVIDER_UNKNOWN));
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  data.dwUnionChoice = WTD_CHOICE_FILE;  // with no file
  EXPECT_EQ(uint32_t(WinVerifyTrust(nullptr, &action, &data)), uint32_t(E_INVALIDARG));
  EXPECT_EQ(uint32_t(verify(file("missing.exe"))), uint32_t(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
}

}  // namespace
