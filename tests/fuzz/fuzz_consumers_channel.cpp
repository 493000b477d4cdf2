// The consumer key read over a hostile consumers block: at most 63 characters, no NUL.
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tesmira;
  const auto block = blockFrom<VcamConsumersBlock>(data, size);
  const uint64_t now = numberFrom(data, size);
  const std::string key = fuzz::readConsumerKey(&block, now);
  FUZZ_CHECK(key.size() <= 63 && key.find('\0') == std::string::npos);
  return 0;
}
