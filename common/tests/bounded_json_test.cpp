#include "common/bounded_json.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/host_calls.h"

namespace {

using tesmira::jsonNestsDeeperThan;
using tesmira::kJsonDepthLimit;
using tesmira::parseBoundedJson;

std::string arrays(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(BoundedJson, OnlyNestingOutsideStringsCounts) {
  struct Case {
    const char* what;
    std::string text;
    bool valid;
  };
  const std::string atLimit = arrays(kJsonDepthLimit);
  const Case cases[] = {
      {"at the limit", atLimit, true},
      {"one past it", arrays(kJsonDepthLimit + 1), false},
      {"objects past it", [] {
         std::string text;
         for (size_t i = 0; i <= kJsonDepthLimit; ++i) text += "{\"a\":";
         return text + "1" + std::string(kJsonDepthLimit + 1, '}');
       }(),
       false},
      {"brackets inside a string", "{\"x\":\"" + std::string(1000, '[') + "\"}", true},
      {"an escaped quote keeps the string open", "[\"\\\"" + std::string(1000, '{') + "\"]", true},
      {"an escaped backslash closes it", "[\"\\\\\"," + arrays(kJsonDepthLimit) + "]", false},
      {"siblings do not add up", "[" + atLimit.substr(1, atLimit.size() - 2) + "," +
                                     atLimit.substr(1, atLimit.size() - 2) + "]", true},
      {"stray closers do not buy depth", std::string(1000, ']') + arrays(kJsonDepthLimit + 1), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(!parseBoundedJson(c.text).is_discarded(), c.valid);
  }
  EXPECT_FALSE(jsonNestsDeeperThan(arrays(2000), 2000));
  EXPECT_TRUE(jsonNestsDeeperThan(arrays(2001), 2000));
}

TEST(BoundedJson, AHundredThousandLevelsAreRefusedOnAOneMebibyteStack) {
  std::string deep = "[{\"event_id\":\"A\",\"x\":" + arrays(100000) + "}]";
  ASSERT_TRUE(tesmira::testing::runOnStackOf(1 << 20, [&] {
    EXPECT_TRUE(parseBoundedJson(deep).is_discarded());
    EXPECT_EQ(parseBoundedJson("[{\"event_id\":\"A\"}]").size(), 1u);
  }));
}

}  // namespace
