// config.json over hostile text: never throws, and what it gives is a settings record
// the engine can use.
#include <cmath>

#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

namespace {
bool unit(float v) { return v >= 0.0f && v <= 1.0f; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tesmira;
  const RetouchSettings defaults;
  const LoadedSettings loaded = fuzz::readConfigJson(std::string(reinterpret_cast<const char*>(data), size), defaults);
  if (!loaded.valid) return 0;
  const RetouchSettings& s = loaded.settings;
  FUZZ_CHECK(unit(s.clearSkin) && unit(s.eyeBags) && unit(s.wrinkles) && unit(s.teeth) && unit(s.eyeWhite) &&
             unit(s.eyeSharp) && unit(s.perspectiveStrength));
  FUZZ_CHECK(s.sharpen == 0.0f || s.sharpen == 0.3f || s.sharpen == 0.6f || s.sharpen == 1.0f);
  FUZZ_CHECK(s.tone >= 0 && s.tone <= kToneCount);
  FUZZ_CHECK(s.gain == 1.0f && !s.maskBypass);
  return 0;
}
