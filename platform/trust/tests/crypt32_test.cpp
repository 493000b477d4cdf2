// CryptoAPI's path to a signed file's signer name: query the embedded PKCS #7, take the
// signer info, find the signer's certificate and read its common name.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/trust/tests/signing_fixture.h"

namespace {

namespace fs = std::filesystem;
using tesmira::platform::trust::testSignerName;
using tesmira::platform::trust::TestSigner;

struct SignerName {
  bool queried = false;
  DWORD error = 0;
  std::wstring name;
};

// What a product reading the signer's common name does, step by step.
SignerName signerCommonName(const fs::path& file) {
  SignerName out;
  const std::wstring path = file.wstring();
  DWORD encoding = 0, content = 0, format = 0;
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                        CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format, &store, &message,
                        nullptr)) {
    out.error = GetLastError();
    return out;
  }
  out.queried = true;
  EXPECT_EQ(encoding, DWORD(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING));
  EXPECT_EQ(content, DWORD(CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED));
  EXPECT_EQ(format, DWORD(CERT_QUERY_FORMAT_BINARY));
  DWORD size = 0;
  EXPECT_TRUE(CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size));
  std::vector<BYTE> buffer(size);
  DWORD tooSmall = size - 1;
  EXPECT_FALSE(CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &tooSmall));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(tooSmall, size);
  if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) {
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
    CERT_INFO wanted{};
    wanted.Issuer = signer->Issuer;
    wanted.SerialNumber = signer->SerialNumber;
    PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                     CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
    if (cert) {
      char oid[] = szOID_COMMON_NAME;
      const DWORD chars = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, oid, nullptr, 0);
      std::wstring name(chars, L'\0');
      EXPECT_EQ(CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, oid, name.data(), chars), chars);
      name.resize(chars - 1);
      out.name = name;
      CertFreeCertificateContext(cert);
    }
  }
  CryptMsgClose(message);
  CertCloseStore(store, 0);
  return out;
}

using Crypt32Test = tesmira::testing::SigningTest;

TEST_F(Crypt32Test, TheSignersCommonNameIsRead) {
  const TestSigner signers[] = {TestSigner::kPellucor, TestSigner::kOtherCorp, TestSigner::kUntrusted,
                                TestSigner::kIssuerMissing};
  for (TestSigner signer : signers) {
    const SignerName got = signerCommonName(signedBy(signer, "signed.exe"));
    EXPECT_TRUE(got.queried);
    const std::string expected = testSignerName(signer);  // ASCII
    EXPECT_EQ(got.name, std::wstring(expected.begin(), expected.end())) << int(signer);
  }
}

TEST_F(Crypt32Test, FilesWithoutAnEmbeddedSignatureGiveNoName) {
  std::ofstream(root() / "setup.cmd") << "#!/bin/sh\n";
  const struct {
    const char* label;
    fs::path file;
    DWORD error;
  } rows[] = {
      {"unsigned PE", file("plain.exe"), DWORD(CRYPT_E_NO_MATCH)},
      {"script", root() / "setup.cmd", DWORD(CRYPT_E_NO_MATCH)},
      {"missing", root() / "missing.exe", DWORD(ERROR_FILE_NOT_FOUND)},
  };
  for (const auto& row : rows) {
    const SignerName got = signerCommonName(row.file);
    EXPECT_FALSE(got.queried) << row.label;
    EXPECT_EQ(got.error, row.error) << row.label;
  }
}

TEST_F(Crypt32Test, NamesTruncateToTheBufferAndOtherAttributesAreFound) {
  const std::wstring path = signedBy(TestSigner::kPellucor, "signed.exe").wstring();
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  ASSERT_TRUE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                               CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message,
                               nullptr));
  DWORD count = 0, size = sizeof(count);
  ASSERT_TRUE(CryptMsgGetParam(message, CMSG_SIGNER_COUNT_PARAM, 0, &count, &size));
  EXPECT_EQ(count, 1u);
  size = 0;
  EXPECT_FALSE(CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 1, nullptr, &size));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_INVALID_INDEX));
  ASSERT_TRUE(CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size));
  std::vector<BYTE> buffer(size);
  ASSERT_TRUE(CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size));
  const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
  EXPECT_STREQ(signer->HashAlgorithm.pszObjId, "2.16.840.1.101.3.4.2.1");  // SHA-256
  CERT_INFO wanted{};
  wanted.Issuer = signer->Issuer;
  wanted.SerialNumber = signer->SerialNumber;
  PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &wanted,
                                                   nullptr);
  ASSERT_NE(cert, nullptr);
  char cn[] = szOID_COMMON_NAME;
  char organisation[] = szOID_ORGANIZATION_NAME;
  char locality[] = "2.5.4.7";
  const struct {
    DWORD type;
    DWORD flags;
    void* para;
    DWORD chars;
    std::wstring expected;
  } rows[] = {
      {CERT_NAME_ATTR_TYPE, 0, cn, 6, L"Pellu"},
      {CERT_NAME_ATTR_TYPE, 0, organisation, 64, L"Pellucor Inc."},
      {CERT_NAME_ATTR_TYPE, 0, locality, 64, L""},
      {CERT_NAME_ATTR_TYPE, CERT_NAME_ISSUER_FLAG, cn, 64, L"Tesmira Test Code Signing CA"},
      {CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, 64, L"Pellucor Inc."},
  };
  for (const auto& row : rows) {
    std::vector<wchar_t> text(row.chars, L'#');
    EXPECT_EQ(CertGetNameStringW(cert, row.type, row.flags, row.para, text.data(), row.chars),
              DWORD(row.expected.size() + 1));
    EXPECT_EQ(std::wstring(text.data()), row.expected);
  }
  // The search goes on after the previous match (and releases it): one signer, one match.
  EXPECT_EQ(CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &wanted, cert), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND));
  EXPECT_TRUE(CryptMsgClose(message));
  EXPECT_TRUE(CertCloseStore(store, 0));
  EXPECT_FALSE(CertCloseStore(store, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

}  // namespace
