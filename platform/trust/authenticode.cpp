// WinVerifyTrust's Authenticode check of a PE file: the image digest against the one the
// signature holds, the signature over it, the signer's chain and its code-signing usage.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "core/machine.h"
#include "core/strings.h"
#include "softpub.h"
#include "trust/pe_signature.h"
#include "trust/signed_data.h"
#include "winerror.h"
#include "wintrust.h"

namespace tesmira::platform::trust {
namespace {

namespace fs = std::filesystem;

constexpr char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
constexpr size_t kHashBlock = 64 * 1024;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using ObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT, ASN1_OBJECT_free>>;

// One DER element: its tag, its contents and where it ends.
struct Element {
  int tag = 0;
  const unsigned char* begin = nullptr;  // the tag byte
  const unsigned char* content = nullptr;
  long length = 0;
  const unsigned char* end() const { return content + length; }
};

bool readElement(const unsigned char*& p, const unsigned char* end, Element& out) {
  if (p >= end) return false;
  out.begin = p;
  const unsigned char* q = p;
  int xclass = 0;
  const int flags = ASN1_get_object(&q, &out.length, &out.tag, &xclass, long(end - p));
  if (flags & 0x80 || flags & 0x01) return false;  // malformed, or indefinite length
  out.content = q;
  p = out.end();
  return true;
}

// SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue,
//   messageDigest DigestInfo ::= SEQUENCE { digestAlgorithm AlgorithmIdentifier, digest OCTET STRING } }
struct IndirectData {
  const unsigned char* signedOctets = nullptr;  // the SEQUENCE's contents: what the signature covers
  long signedLength = 0;
  const EVP_MD* digestType = nullptr;
  const unsigned char* digest = nullptr;
  long digestLength = 0;
};

bool parseIndirectData(const ASN1_STRING* sequence, IndirectData& out) {
  const unsigned char* p = ASN1_STRING_get0_data(sequence);
  const unsigned char* end = p + ASN1_STRING_length(sequence);
  Element outer, data, digestInfo, algorithm, oid, digest;
  if (!readElement(p, end, outer) || outer.tag != V_ASN1_SEQUENCE) return false;
  out.signedOctets = outer.content;
  out.signedLength = outer.length;
  p = outer.content;
  if (!readElement(p, outer.end(), data) || data.tag != V_ASN1_SEQUENCE) return false;
  if (!readElement(p, outer.end(), digestInfo) || digestInfo.tag != V_ASN1_SEQUENCE) return false;
  p = digestInfo.content;
  if (!readElement(p, digestInfo.end(), algorithm) || algorithm.tag != V_ASN1_SEQUENCE) return false;
  if (!readElement(p, digestInfo.end(), digest) || digest.tag != V_ASN1_OCTET_STRING) return false;
  const unsigned char* a = algorithm.content;
  if (!readElement(a, algorithm.end(), oid) || oid.tag != V_ASN1_OBJECT) return false;
  const unsigned char* oidBytes = oid.begin;
  ObjectPtr object(d2i_ASN1_OBJECT(nullptr, &oidBytes, long(oid.end() - oid.begin)));
  if (!object) return false;
  out.digestType = EVP_get_digestbyobj(object.get());
  out.digest = digest.content;
  out.digestLength = digest.length;
  return out.digestType && out.digestLength == EVP_MD_get_size(out.digestType);
}

// The image digest: the whole file but the CheckSum, the certificate table's directory
// entry and the certificate table itself.
bool imageDigest(std::ifstream& file, const PeSignature& pe, const EVP_MD* type, unsigned char* out,
                 unsigned int& outLength) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || !EVP_DigestInit_ex(ctx.get(), type, nullptr)) return false;
  const std::pair<uint64_t, uint64_t> ranges[] = {
      {0, pe.checksumOffset},
      {pe.checksumOffset + 4, pe.directoryOffset},
      {pe.directoryOffset + 8, pe.tableOffset},
      {pe.tableOffset + pe.tableSize, pe.fileSize},
  };
  std::unique_ptr<char[]> block(new char[kHashBlock]);
  for (const auto& [from, to] : ranges) {
    if (from > to) return false;
    file.clear();
    file.seekg(std::streamoff(from));
    for (uint64_t left = to - from; left > 0;) {
      const size_t n = size_t(std::min<uint64_t>(left, kHashBlock));
      file.read(block.get(), std::streamsize(n));
      if (size_t(file.gcount()) != n) return false;
      EVP_DigestUpdate(ctx.get(), block.get(), n);
      left -= n;
    }
  }
  return EVP_DigestFinal_ex(ctx.get(), out, &outLength) == 1;
}

// The system's roots and the machine's trusted roots.
StorePtr trustedStore() {
  StorePtr store(X509_STORE_new());
  if (!store) return store;
  X509_STORE_set_default_paths(store.get());
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(machinePath("certificates/trusted-roots"), ec)) {
    X509_STORE_load_file(store.get(), entry.path().c_str());
  }
  return store;
}

LONG chainResult(int error) {
  switch (error) {
    case X509_V_OK:
      return 0;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return CERT_E_EXPIRED;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return CERT_E_UNTRUSTEDROOT;
    case X509_V_ERR_INVALID_PURPOSE:
      return CERT_E_WRONG_USAGE;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      return TRUST_E_CERT_SIGNATURE;
    default:
      return CERT_E_CHAINING;  // no issuer found, or one that may not issue
  }
}

LONG checkFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  PeSignature pe;
  switch (readPeSignature(file, pe)) {
    case PeStatus::kSigned: break;
    case PeStatus::kNotPe: return TRUST_E_SUBJECT_FORM_UNKNOWN;
    case PeStatus::kNoSignature: return TRUST_E_NOSIGNATURE;
    case PeStatus::kUnreadable: return HRESULT_FROM_WIN32(ERROR_READ_FAULT);
  }
  SignedData signedData = parseSignedData(pe.pkcs7);
  if (!signedData) return TRUST_E_NOSIGNATURE;
  PKCS7* p7 = signedData.get();
  PKCS7_SIGNED* sign = p7->d.sign;
  char oid[64] = {};
  if (!sign->contents || !sign->contents->type || OBJ_obj2txt(oid, sizeof oid, sign->contents->type, 1) <= 0 ||
      std::strcmp(oid, kSpcIndirectDataOid) != 0 || PKCS7_type_is_other(sign->contents) == 0 ||
      !sign->contents->d.other || sign->contents->d.other->type != V_ASN1_SEQUENCE) {
    return TRUST_E_NOSIGNATURE;
  }
  IndirectData indirect;
  if (!parseIndirectData(sign->contents->d.other->value.sequence, indirect)) return TRUST_E_NOSIGNATURE;

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (!imageDigest(file, pe, indirect.digestType, digest, digestLength)) return TRUST_E_NOSIGNATURE;
  if (long(digestLength) != indirect.digestLength || std::memcmp(digest, indirect.digest, digestLength) != 0) {
    return TRUST_E_BAD_DIGEST;
  }

  // The signed attributes' messageDigest covers the content's octets without their
  // outer tag and length. The chain is checked below, where its error can be told.
  if (sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7)) != 1) return TRUST_E_NOSIGNATURE;
  BioPtr content(BIO_new_mem_buf(indirect.signedOctets, int(indirect.signedLength)));
  if (!content || PKCS7_verify(p7, nullptr, nullptr, content.get(), nullptr, PKCS7_BINARY | PKCS7_NOVERIFY) != 1) {
    return TRUST_E_BAD_DIGEST;
  }
  STACK_OF(X509)* signers = PKCS7_get0_signers(p7, nullptr, PKCS7_BINARY);
  X509* signer = sk_X509_num(signers) == 1 ? sk_X509_value(signers, 0) : nullptr;
  sk_X509_free(signers);
  if (!signer) return TRUST_E_NOSIGNATURE;

  StorePtr store = trustedStore();
  StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!store || !ctx || !X509_STORE_CTX_init(ctx.get(), store.get(), signer, sign->cert)) {
    return HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
  }
  // Any purpose for the chain (OpenSSL's S/MIME default refuses code signers); the
  // signer's own usage is checked next.
  X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_ANY);
  if (X509_verify_cert(ctx.get()) != 1) return chainResult(X509_STORE_CTX_get_error(ctx.get()));
  if ((X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) && !(X509_get_extended_key_usage(signer) & XKU_CODE_SIGN)) {
    return CERT_E_WRONG_USAGE;
  }
  return 0;
}

// OpenSSL's reasons stay in the thread's error queue unless taken out; the result code
// says what failed.
LONG verifyFile(const fs::path& path) {
  const LONG result = checkFile(path);
  ERR_clear_error();
  return result;
}

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace
}  // namespace tesmira::platform::trust

using namespace tesmira::platform;

LONG WINAPI WinVerifyTrust(HWND, GUID* pgActionID, LPVOID pWVTData) {
  static const GUID kGenericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  auto* data = static_cast<WINTRUST_DATA*>(pWVTData);
  if (!pgActionID || !trust::sameGuid(*pgActionID, kGenericVerifyV2)) return TRUST_E_PROVIDER_UNKNOWN;
  if (!data || data->cbStruct < offsetof(WINTRUST_DATA, dwProvFlags)) return E_INVALIDARG;
  if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
    data->hWVTStateData = nullptr;
    return 0;
  }
  if (data->dwUnionChoice != WTD_CHOICE_FILE || !data->pFile || !data->pFile->pcwszFilePath) return E_INVALIDARG;
  // No revocation is checked here, whatever the flags ask.
  const LONG result = trust::verifyFile(toLinuxPath(data->pFile->pcwszFilePath));
  if (data->dwStateAction == WTD_STATEACTION_VERIFY) data->hWVTStateData = reinterpret_cast<HANDLE>(data);
  return result;
}
