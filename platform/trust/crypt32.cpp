// CryptoAPI's reading of an embedded signature: the PKCS #7 of a signed PE as a message
// and a certificate store, its signer info, the signer's certificate and its names.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/strings.h"
#include "errhandlingapi.h"
#include "trust/pe_signature.h"
#include "trust/signed_data.h"
#include "wincrypt.h"
#include "winerror.h"

namespace tesmira::platform::trust {
namespace {

using Bytes = std::vector<uint8_t>;

struct Message {
  SignedData p7;
};

struct Store {
  std::vector<std::shared_ptr<X509>> certs;
};

// A certificate context and the storage its pointers refer to.
struct Context {
  CERT_CONTEXT context{};
  CERT_INFO info{};
  std::shared_ptr<X509> cert;
  Bytes der, serial, issuer, subject, publicKey;
  std::string signatureOid, keyOid;
};

std::mutex registryMutex;
auto& messages = *new std::set<Message*>;
auto& stores = *new std::set<Store*>;
auto& contexts = *new std::map<const CERT_CONTEXT*, std::unique_ptr<Context>>;

template <typename T>
bool registered(const std::set<T*>& set, const void* p) {
  return set.count(static_cast<T*>(const_cast<void*>(p))) != 0;
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Closes a message or store handle; null is no handle and succeeds.
template <typename T>
BOOL release(std::set<T*>& set, void* handle) {
  if (!handle) return TRUE;
  std::lock_guard lock(registryMutex);
  if (!registered(set, handle)) return fail(ERROR_INVALID_HANDLE);
  set.erase(static_cast<T*>(handle));
  delete static_cast<T*>(handle);
  return TRUE;
}

template <typename T, int (*Encode)(const T*, unsigned char**)>
Bytes der(const T* value) {
  unsigned char* out = nullptr;
  const int n = Encode(value, &out);
  Bytes bytes;
  if (n > 0) bytes.assign(out, out + n);
  OPENSSL_free(out);
  return bytes;
}

// CryptoAPI keeps an INTEGER's content octets least significant first.
Bytes serialBytes(const ASN1_INTEGER* serial) {
  const Bytes encoded = der<ASN1_INTEGER, i2d_ASN1_INTEGER>(serial);
  const unsigned char* p = encoded.data();
  long length = 0;
  int tag = 0, xclass = 0;
  if (encoded.empty() || ASN1_get_object(&p, &length, &tag, &xclass, long(encoded.size())) & 0x80) return {};
  Bytes content(p, p + length);
  std::reverse(content.begin(), content.end());
  return content;
}

std::string oidText(const ASN1_OBJECT* object) {
  char text[128] = {};
  return object && OBJ_obj2txt(text, sizeof text, object, 1) > 0 ? text : "";
}

FILETIME fileTime(const ASN1_TIME* time) {
  std::tm tm{};
  FILETIME ft{};
  if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return ft;
  const uint64_t ticks = (uint64_t(timegm(&tm)) + 11644473600ull) * 10000000ull;
  ft.dwLowDateTime = DWORD(ticks);
  ft.dwHighDateTime = DWORD(ticks >> 32);
  return ft;
}

CRYPT_DATA_BLOB blob(Bytes& bytes) { return {DWORD(bytes.size()), bytes.data()}; }

const CERT_CONTEXT* makeContext(const std::shared_ptr<X509>& cert, HCERTSTORE store) {
  auto c = std::make_unique<Context>();
  c->cert = cert;
  X509* x = cert.get();
  c->der = der<X509, i2d_X509>(x);
  c->serial = serialBytes(X509_get0_serialNumber(x));
  c->issuer = der<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(x));
  c->subject = der<X509_NAME, i2d_X509_NAME>(X509_get_subject_name(x));
  c->signatureOid = oidText(OBJ_nid2obj(X509_get_signature_nid(x)));
  const ASN1_BIT_STRING* key = X509_get0_pubkey_bitstr(x);
  if (key) c->publicKey.assign(key->data, key->data + key->length);
  X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
  ASN1_OBJECT* keyAlgorithm = nullptr;
  if (pub) X509_PUBKEY_get0_param(&keyAlgorithm, nullptr, nullptr, nullptr, pub);
  c->keyOid = oidText(keyAlgorithm);

  CERT_INFO& info = c->info;
  info.dwVersion = DWORD(X509_get_version(x));
  info.SerialNumber = blob(c->serial);
  info.SignatureAlgorithm.pszObjId = c->signatureOid.data();
  info.Issuer = blob(c->issuer);
  info.NotBefore = fileTime(X509_get0_notBefore(x));
  info.NotAfter = fileTime(X509_get0_notAfter(x));
  info.Subject = blob(c->subject);
  info.SubjectPublicKeyInfo.Algorithm.pszObjId = c->keyOid.data();
  info.SubjectPublicKeyInfo.PublicKey = {DWORD(c->publicKey.size()), c->publicKey.data(), 0};
  c->context.dwCertEncodingType = X509_ASN_ENCODING;
  c->context.pbCertEncoded = c->der.data();
  c->context.cbCertEncoded = DWORD(c->der.size());
  c->context.pCertInfo = &c->info;
  c->context.hCertStore = store;
  const CERT_CONTEXT* handle = &c->context;
  std::lock_guard lock(registryMutex);
  contexts.emplace(handle, std::move(c));
  return handle;
}

std::shared_ptr<X509> contextCert(PCCERT_CONTEXT context) {
  std::lock_guard lock(registryMutex);
  auto it = contexts.find(context);
  return it == contexts.end() ? nullptr : it->second->cert;
}

// Lays a CMSG_SIGNER_INFO and everything it points to out in one buffer.
class SignerInfoLayout {
 public:
  explicit SignerInfoLayout(PKCS7_SIGNER_INFO* si) {
    version_ = DWORD(ASN1_INTEGER_get(si->version));
    issuer_ = der<X509_NAME, i2d_X509_NAME>(si->issuer_and_serial->issuer);
    serial_ = serialBytes(si->issuer_and_serial->serial);
    hashOid_ = oidText(si->digest_alg->algorithm);
    encryptionOid_ = oidText(si->digest_enc_alg->algorithm);
    encryptedHash_.assign(si->enc_digest->data, si->enc_digest->data + si->enc_digest->length);
  }
  DWORD size() const {
    return DWORD(sizeof(CMSG_SIGNER_INFO) + issuer_.size() + serial_.size() + hashOid_.size() + 1 +
                 encryptionOid_.size() + 1 + encryptedHash_.size());
  }
  void write(void* buffer) const {
    auto* out = static_cast<CMSG_SIGNER_INFO*>(buffer);
    *out = {};
    BYTE* next = static_cast<BYTE*>(buffer) + sizeof(CMSG_SIGNER_INFO);
    auto place = [&](const void* data, size_t n) {
      BYTE* at = next;
      if (n) std::memcpy(at, data, n);
      next += n;
      return at;
    };
    out->dwVersion = version_;
    out->Issuer = {DWORD(issuer_.size()), place(issuer_.data(), issuer_.size())};
    out->SerialNumber = {DWORD(serial_.size()), place(serial_.data(), serial_.size())};
    out->HashAlgorithm.pszObjId = reinterpret_cast<LPSTR>(place(hashOid_.c_str(), hashOid_.size() + 1));
    out->HashEncryptionAlgorithm.pszObjId =
        reinterpret_cast<LPSTR>(place(encryptionOid_.c_str(), encryptionOid_.size() + 1));
    out->EncryptedHash = {DWORD(encryptedHash_.size()), place(encryptedHash_.data(), encryptedHash_.size())};
  }

 private:
  DWORD version_ = 0;
  Bytes issuer_, serial_, encryptedHash_;
  std::string hashOid_, encryptionOid_;
};

// A name attribute as text: the first of that OID, or (simple display) the common
// name, else the organisation, else the organisational unit.
std::string nameText(X509_NAME* name, DWORD type, const void* typePara) {
  std::vector<ASN1_OBJECT*> wanted;
  std::vector<std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)>> owned;
  if (type == CERT_NAME_ATTR_TYPE) {
    if (!typePara) return {};
    owned.emplace_back(OBJ_txt2obj(static_cast<const char*>(typePara), 1), ASN1_OBJECT_free);
    wanted.push_back(owned.back().get());
  } else if (type == CERT_NAME_SIMPLE_DISPLAY_TYPE) {
    for (int nid : {NID_commonName, NID_organizationName, NID_organizationalUnitName}) {
      wanted.push_back(const_cast<ASN1_OBJECT*>(OBJ_nid2obj(nid)));
    }
  }
  for (ASN1_OBJECT* object : wanted) {
    const int index = object ? X509_NAME_get_index_by_OBJ(name, object, -1) : -1;
    if (index < 0) continue;
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    std::string text = n > 0 ? std::string(reinterpret_cast<char*>(utf8), size_t(n)) : std::string();
    OPENSSL_free(utf8);
    return text;
  }
  return {};
}

}  // namespace
}  // namespace tesmira::platform::trust

using namespace tesmira::platform;
using namespace tesmira::platform::trust;

BOOL WINAPI CryptQueryObject(DWORD dwObjectType, const void* pvObject, DWORD dwExpectedContentTypeFlags,
                             DWORD dwExpectedFormatTypeFlags, DWORD, DWORD* pdwMsgAndCertEncodingType,
                             DWORD* pdwContentType, DWORD* pdwFormatType, HCERTSTORE* phCertStore,
                             HCRYPTMSG* phMsg, const void** ppvContext) {
  if (phCertStore) *phCertStore = nullptr;
  if (phMsg) *phMsg = nullptr;
  if (ppvContext) *ppvContext = nullptr;
  if (dwObjectType != CERT_QUERY_OBJECT_FILE || !pvObject) return fail(DWORD(E_INVALIDARG));
  if (!(dwExpectedContentTypeFlags & CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED) ||
      !(dwExpectedFormatTypeFlags & CERT_QUERY_FORMAT_FLAG_BINARY)) {
    return fail(DWORD(CRYPT_E_NO_MATCH));
  }
  PeSignature pe;
  const PeStatus status = readPeSignature(toLinuxPath(static_cast<LPCWSTR>(pvObject)), pe);
  if (status == PeStatus::kUnreadable) return fail(ERROR_FILE_NOT_FOUND);
  SignedData p7 = status == PeStatus::kSigned ? parseSignedData(pe.pkcs7) : nullptr;
  ERR_clear_error();  // a refused DER leaves its reasons in the thread's queue
  if (!p7) return fail(DWORD(CRYPT_E_NO_MATCH));

  if (pdwMsgAndCertEncodingType) *pdwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  if (pdwContentType) *pdwContentType = CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED;
  if (pdwFormatType) *pdwFormatType = CERT_QUERY_FORMAT_BINARY;
  std::lock_guard lock(registryMutex);
  if (phCertStore) {
    auto* store = new Store;
    STACK_OF(X509)* certs = p7->d.sign->cert;
    for (int i = 0; i < sk_X509_num(certs); ++i) {
      X509* cert = sk_X509_value(certs, i);
      X509_up_ref(cert);
      store->certs.emplace_back(cert, X509_free);
    }
    stores.insert(store);
    *phCertStore = store;
  }
  if (phMsg) {
    auto* message = new Message{std::move(p7)};
    messages.insert(message);
    *phMsg = message;
  }
  return TRUE;
}

BOOL WINAPI CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData) {
  if (!pcbData) return fail(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(registryMutex);
  if (!registered(messages, hCryptMsg)) return fail(ERROR_INVALID_HANDLE);
  PKCS7* p7 = static_cast<Message*>(hCryptMsg)->p7.get();
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  const int count = sk_PKCS7_SIGNER_INFO_num(signers);
  auto answer = [&](DWORD size, auto write) -> BOOL {
    if (!pvData) {
      *pcbData = size;
      return TRUE;
    }
    if (*pcbData < size) {
      *pcbData = size;
      return fail(ERROR_MORE_DATA);
    }
    write();
    *pcbData = size;
    return TRUE;
  };
  switch (dwParamType) {
    case CMSG_SIGNER_COUNT_PARAM:
      return answer(sizeof(DWORD), [&] {
        const DWORD n = DWORD(std::max(count, 0));
        std::memcpy(pvData, &n, sizeof n);
      });
    case CMSG_SIGNER_INFO_PARAM: {
      if (dwIndex >= DWORD(std::max(count, 0))) return fail(DWORD(CRYPT_E_INVALID_INDEX));
      const SignerInfoLayout layout(sk_PKCS7_SIGNER_INFO_value(signers, int(dwIndex)));
      return answer(layout.size(), [&] { layout.write(pvData); });
    }
    default:
      return fail(DWORD(CRYPT_E_INVALID_INDEX));
  }
}

BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg) { return release(messages, hCryptMsg); }

PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD, DWORD, DWORD dwFindType,
                                                 const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext) {
  // The previous context is always released, as CryptoAPI does.
  std::shared_ptr<X509> previous = pPrevCertContext ? contextCert(pPrevCertContext) : nullptr;
  if (pPrevCertContext) CertFreeCertificateContext(pPrevCertContext);
  std::vector<std::shared_ptr<X509>> certs;
  {
    std::lock_guard lock(registryMutex);
    if (!registered(stores, hCertStore)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    certs = static_cast<Store*>(hCertStore)->certs;
  }
  if (dwFindType != CERT_FIND_SUBJECT_CERT || !pvFindPara) {
    SetLastError(DWORD(E_INVALIDARG));
    return nullptr;
  }
  const auto* wanted = static_cast<const CERT_INFO*>(pvFindPara);
  auto begin = certs.begin();
  if (previous) {
    begin = std::find(certs.begin(), certs.end(), previous);
    if (begin != certs.end()) ++begin;
  }
  auto same = [](const CRYPT_DATA_BLOB& a, const Bytes& b) {
    return a.cbData == b.size() && (b.empty() || (a.pbData && std::memcmp(a.pbData, b.data(), b.size()) == 0));
  };
  for (auto it = begin; it != certs.end(); ++it) {
    X509* x = it->get();
    if (same(wanted->Issuer, der<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(x))) &&
        same(wanted->SerialNumber, serialBytes(X509_get0_serialNumber(x)))) {
      return makeContext(*it, hCertStore);
    }
  }
  SetLastError(DWORD(CRYPT_E_NOT_FOUND));
  return nullptr;
}

DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                                LPWSTR pszNameString, DWORD cchNameString) {
  std::shared_ptr<X509> cert = contextCert(pCertContext);
  std::wstring text;
  if (cert) {
    X509_NAME* name = (dwFlags & CERT_NAME_ISSUER_FLAG) ? X509_get_issuer_name(cert.get())
                                                        : X509_get_subject_name(cert.get());
    text = fromUtf8(nameText(name, dwType, pvTypePara));
  }
  // The count includes the terminator; an empty name is "" (1).
  if (!pszNameString || cchNameString == 0) return DWORD(text.size() + 1);
  const size_t n = std::min<size_t>(text.size(), cchNameString - 1);
  std::wmemcpy(pszNameString, text.data(), n);
  pszNameString[n] = L'\0';
  return DWORD(n + 1);
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  if (!pCertContext) return TRUE;
  std::lock_guard lock(registryMutex);
  return contexts.erase(pCertContext) ? TRUE : fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD) { return release(stores, hCertStore); }
