// The capabilities reader over a hostile block: only modes the stream can offer come out.
#include <algorithm>

#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tesmira;
  static uint8_t* view = new uint8_t[sizeof(VcamCapabilitiesBlock)];
  const auto block = blockFrom<VcamCapabilitiesBlock>(data, size);
  std::memcpy(view, &block, sizeof(block));
  const auto modes = fuzz::offeredCapabilities(view);
  FUZZ_CHECK(!modes.empty() && modes.size() <= kMaxCameraCapabilities);
  for (const auto& m : modes) {
    FUZZ_CHECK(m.width && m.height && m.width % 2 == 0 && m.height % 2 == 0);
    FUZZ_CHECK(std::max(m.width, m.height) <= 1280 && std::min(m.width, m.height) <= 720);
    FUZZ_CHECK(m.fpsNumerator && m.fpsDenominator && uint64_t(m.fpsNumerator) <= uint64_t(m.fpsDenominator) * 30);
  }
  return 0;
}
