#include "common/argument_numbers.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace tesmira {
namespace {

// The value, or the message of what was thrown.
template <class Parse>
std::string outcome(Parse parse) {
  try {
    return std::to_string(parse());
  } catch (const std::runtime_error& error) {
    return error.what();
  }
}

TEST(ArgumentNumbers, IntegersFollowTheStandardRuleWithTheUsersTextsInBothWidths) {
  const struct {
    const char* text;
    const char* expected;
  } rows[] = {
      {"12", "12"},
      {"12abc", "12"},
      {"  7", "7"},
      {"+5", "5"},
      {"-2147483648", "-2147483648"},
      {"2147483647", "2147483647"},
      {"2147483648", "stoi argument out of range"},
      {"-2147483649", "stoi argument out of range"},
      {"x", "invalid stoi argument"},
      {"", "invalid stoi argument"},
      {"abc12", "invalid stoi argument"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const std::string narrow = row.text;
    const std::wstring wide(narrow.begin(), narrow.end());
    EXPECT_EQ(outcome([&] { return parseIntArgument(narrow); }), row.expected);
    EXPECT_EQ(outcome([&] { return parseIntArgument(wide); }), row.expected);
  }
}

TEST(ArgumentNumbers, FloatingPointRefusesWhatIsNotFinite) {
  EXPECT_EQ(outcome([] { return int(parseDoubleArgument("2.5") * 10); }), "25");
  EXPECT_EQ(outcome([] { return parseDoubleArgument("nan"); }), "invalid stod argument");
  EXPECT_EQ(outcome([] { return parseFloatArgument("inf"); }), "invalid stof argument");
  EXPECT_EQ(outcome([] { return parseFloatArgument("1e99"); }), "stof argument out of range");
}

}  // namespace
}  // namespace tesmira
