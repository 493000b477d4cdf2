// Any bit pattern in the settings channel, through the per-frame read into one frame of the
// CPU road on a small face: the engine gets only finite values, the frame stays the input's
// size and type, and nothing outside the crop's footprint changes.
#include <cmath>

#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tesmira;
  auto block = blockFrom<RetouchSettingsBlock>(data, size);
  // Most inputs should reach the engine: a wrong head only gives the seed.
  block.magic = kRetouchSettingsMagic;
  block.version = kRetouchSettingsVersion;
  RetouchSettings used;
  int changedOutsideCrop = 0;
  fuzz::retouchWithSettingsBlock(block, used, changedOutsideCrop);
  for (float v : {used.clearSkin, used.eyeBags, used.wrinkles, used.teeth, used.eyeWhite, used.eyeSharp, used.gain,
                  used.sharpen, used.perspectiveStrength}) {
    FUZZ_CHECK(std::isfinite(v));
  }
  FUZZ_CHECK(changedOutsideCrop == 0);
  return 0;
}
