#pragma once
// The PKCS #7 SignedData of a WIN_CERTIFICATE (padding after it is allowed).
#include <openssl/pkcs7.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace tesmira::platform::trust {

struct Pkcs7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using SignedData = std::unique_ptr<PKCS7, Pkcs7Free>;

// Null unless the bytes begin with a SignedData that holds signer infos.
inline SignedData parseSignedData(const std::vector<uint8_t>& der) {
  const unsigned char* p = der.data();
  SignedData p7(d2i_PKCS7(nullptr, &p, long(der.size())));
  if (!p7 || !PKCS7_type_is_signed(p7.get()) || !p7->d.sign) return nullptr;
  return p7;
}

}  // namespace tesmira::platform::trust
