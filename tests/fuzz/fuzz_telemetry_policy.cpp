// A cached telemetry policy over hostile text: the drop decision never throws, drop_all
// true drops everything, and what is not an object drops nothing.
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using nlohmann::json;
  const std::string text(reinterpret_cast<const char*>(data), size);
  static const json preview = json::parse(
      R"({"event_name":"camera_state_confirmed","surface":"preview","consumer_app":null,"effect_enabled":false,)"
      R"("state":"passthrough","reason":"no_face","platform":"windows","build":"unknown","requested_fps":30.0})");
  static const json vcam = json::parse(
      R"({"event_name":"camera_state_confirmed","surface":"vcam","consumer_app":"zoom","effect_enabled":true,)"
      R"("state":"retouched","reason":"none","platform":"windows","build":"unknown","requested_fps":29.97})");
  const bool dropsPreview = tesmira::fuzz::telemetryPolicyDrops(text, preview);
  const bool dropsVcam = tesmira::fuzz::telemetryPolicyDrops(text, vcam);
  const json policy = json::parse(text, nullptr, false);
  if (!policy.is_object()) FUZZ_CHECK(!dropsPreview && !dropsVcam);
  if (policy.is_object() && policy.contains("drop_all") && policy["drop_all"] == true) {
    FUZZ_CHECK(dropsPreview && dropsVcam);
  }
  return 0;
}
