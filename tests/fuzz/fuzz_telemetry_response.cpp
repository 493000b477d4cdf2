// An upload's answer over hostile bytes (status, Retry-After, body): the backoff stays
// within its bounds and a cached policy is an object that expires within seven days.
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using nlohmann::json;
  uint32_t status = 0;
  std::string retryAfter;
  if (size >= 2) {
    status = uint32_t(data[0]) << 8 | data[1];
    data += 2;
    size -= 2;
  }
  if (size >= 1) {
    const size_t n = std::min<size_t>(data[0], size - 1);
    retryAfter.assign(reinterpret_cast<const char*>(data + 1), n);
    data += 1 + n;
    size -= 1 + n;
  }
  const std::string body(reinterpret_cast<const char*>(data), size);
  const int64_t seconds = tesmira::fuzz::telemetryBackoffSeconds(status, body, retryAfter);
  FUZZ_CHECK(seconds >= 1 && seconds <= 86400);
  constexpr int64_t kNow = 1772355907;
  const json policy = tesmira::fuzz::telemetryPolicyFromResponse(body, kNow);
  if (!policy.is_discarded()) {
    FUZZ_CHECK(policy.is_object());
    FUZZ_CHECK(policy["expiresAtUnix"].is_number_integer());
    const int64_t expires = policy["expiresAtUnix"].get<int64_t>();
    FUZZ_CHECK(expires >= kNow && expires <= kNow + 604800);
  }
  return 0;
}
