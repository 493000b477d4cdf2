// The status card choice over a hostile status block and timers: always one of the cards.
#include <windows.h>

#include "tesmira/platform_testing.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tesmira;
  // A frozen clock, so that a heartbeat given relative to it stays as fresh as the input says.
  static const bool frozen = (platform::testclock::freeze(), true);
  (void)frozen;
  auto block = blockFrom<ProducerStatusBlock>(data, size);
  const uint64_t tick = GetTickCount64();
  // The low bit of the padding picks a heartbeat relative to the clock, so fresh ones are reachable.
  if (block.padding & 1) block.heartbeat = tick - (block.heartbeat & 0xFFFF);
  const uint64_t streamStart = numberFrom(data, size);
  const uint64_t lastGood = numberFrom(data, size);
  const uint64_t now = numberFrom(data, size);
  const uint32_t card = fuzz::chooseStatusCard(&block, streamStart, lastGood, now);
  FUZZ_CHECK(card <= fuzz::kLastStatusCard);
  return 0;
}
