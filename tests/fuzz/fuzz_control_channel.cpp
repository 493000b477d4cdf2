// The producer's control channel read over a hostile block: a usable capture request always.
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tesmira;
  const auto block = blockFrom<VcamControlBlock>(data, size);
  const uint64_t now = numberFrom(data, size);
  const ControlReading r = fuzz::readControlBlock(&block, now);
  FUZZ_CHECK(r.request.width && r.request.height && r.request.fpsNumerator && r.request.fpsDenominator);
  if (!r.valid) FUZZ_CHECK(!r.demand && !r.preview && !r.vcam);
  return 0;
}
