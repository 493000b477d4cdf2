// The crop calibration file over hostile text: loading refuses it with an error, or a
// frame either fails on its own or gets a finite transform; nothing else escapes.
#include <cmath>

#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::array<double, 6> transform{};
  bool frameFailed = false;
  if (!tesmira::fuzz::readCalibration(std::string(reinterpret_cast<const char*>(data), size), transform, frameFailed)) {
    return 0;
  }
  if (frameFailed) return 0;
  for (double v : transform) FUZZ_CHECK(std::isfinite(v));
  return 0;
}
