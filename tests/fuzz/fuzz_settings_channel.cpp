// The per-frame settings read over a hostile settings block: a tone the engine has and a
// perspective strength within 0..1; an invalid block gives the seed.
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tesmira;
  const auto block = blockFrom<RetouchSettingsBlock>(data, size);
  const RetouchSettings seeded;
  const RetouchSettings s = fuzz::readSettings(&block, seeded);
  if (block.magic != kRetouchSettingsMagic || block.version != kRetouchSettingsVersion) FUZZ_CHECK(s == seeded);
  FUZZ_CHECK(s.tone >= 0 && s.tone <= kToneCount);
  FUZZ_CHECK(s.perspectiveStrength >= 0.0f && s.perspectiveStrength <= 1.0f);
  return 0;
}
