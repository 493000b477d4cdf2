// usage-queue.json over hostile text: reading never throws, gives only objects, and what
// is written back reads again as the same events.
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using nlohmann::json;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<json> events = tesmira::fuzz::telemetryQueueEvents(text);
  json written = json::array();
  for (const auto& e : events) {
    FUZZ_CHECK(e.is_object());
    written.push_back(e);
  }
  // Strings that are not UTF-8 never get here: the parser refuses them.
  const std::vector<json> again = tesmira::fuzz::telemetryQueueEvents(written.dump());
  FUZZ_CHECK(again.size() == events.size());
  for (size_t i = 0; i < events.size(); ++i) FUZZ_CHECK(again[i] == events[i]);
  return 0;
}
