// The frame channel reader over a hostile header: never reads outside its view, and
// what it copies is exactly the frame asked for.
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tesmira;
  // Exactly one view long, so that any read past its end is caught.
  static uint8_t* view = new uint8_t[kFrameChannelBytes]();
  const auto header = blockFrom<RetouchFrameHeader>(data, size);
  std::memcpy(view, &header, sizeof(header));
  const uint64_t size2d = numberFrom(data, size);
  const auto width = uint32_t(size2d), height = uint32_t(size2d >> 32);
  const auto nowQpc = int64_t(numberFrom(data, size));
  const auto frequency = int64_t(numberFrom(data, size));
  std::vector<uint8_t> out;
  if (fuzz::readFrame(view, width, height, nowQpc, frequency, out)) {
    FUZZ_CHECK(width <= kMaxFrameDimension && height <= kMaxFrameDimension);
    FUZZ_CHECK(out.size() == size_t(width) * height * 3 / 2);
  } else {
    FUZZ_CHECK(out.empty());
  }
  return 0;
}
