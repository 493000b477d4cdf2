// The update feed's manifest over hostile bytes: either refused with one of its errors,
// or a release whose every member holds what the updater relies on.
#include <cstring>

#include "service/updater/update_download.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring error;
  const tesmira::ReleaseManifest m =
      tesmira::fuzz::readManifest(std::string(reinterpret_cast<const char*>(data), size), error);
  if (!m.valid) {
    FUZZ_CHECK(error == L"manifest is not valid JSON" || error == L"manifest version missing or not X.Y.Z" ||
               error == L"manifest installer entry incomplete" || error == L"manifest installer.url is not HTTPS");
    return 0;
  }
  FUZZ_CHECK(error.empty());
  FUZZ_CHECK(m.version.valid && m.version.major >= 0 && m.version.minor >= 0 && m.version.patch >= 0);
  // The version text names a file and goes into a query: digits and points only.
  for (wchar_t c : m.versionText) FUZZ_CHECK(c == L'.' || (c >= L'0' && c <= L'9'));
  FUZZ_CHECK(m.sha256.size() == 64);
  for (char c : m.sha256) FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
  FUZZ_CHECK(m.sizeBytes > 0);
  FUZZ_CHECK(tesmira::crackHttpsUrl(m.installerUrl).valid);
  FUZZ_CHECK(tesmira::downloadCap(m.sizeBytes) >= m.sizeBytes);
  return 0;
}
