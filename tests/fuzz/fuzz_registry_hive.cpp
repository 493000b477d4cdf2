// The registry hive reader over hostile text: never throws, and a hive that reads is
// written back as text that reads again to the same hive.
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string written;
  if (!tesmira::fuzz::readHive(std::string(reinterpret_cast<const char*>(data), size), written)) return 0;
  std::string again;
  FUZZ_CHECK(tesmira::fuzz::readHive(written, again));
  FUZZ_CHECK(again == written);
  return 0;
}
