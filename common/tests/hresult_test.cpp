#include "common/hresult.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tesmira::failureText;

struct Steps {
  std::vector<HRESULT> results;  // what each step answers, in order
  size_t calls = 0;
  std::vector<std::wstring> lines;

  HRESULT next() { return results[calls++]; }
  void log(const std::wstring& line) { lines.push_back(line); }

  HRESULT plain() {
    RETURN_IF_FAILED(next());
    RETURN_IF_FAILED(next());
    return S_OK;
  }
  HRESULT logged() {
    auto sink = [this](const std::wstring& line) { log(line); };
    RETURN_IF_FAILED_LOG(sink, L"first step", next());
    RETURN_IF_FAILED_LOG(sink, L"second step", next());
    return S_OK;
  }
};

TEST(ReturnIfFailed, StopsAtTheFirstFailureWithItsResultAndEvaluatesEachStepOnce) {
  struct Case {
    std::vector<HRESULT> results;
    HRESULT expected;
    size_t calls;
  } cases[] = {
      {{S_OK, S_OK}, S_OK, 2},
      {{S_FALSE, S_OK}, S_OK, 2},  // a success code other than S_OK goes on
      {{E_ACCESSDENIED, S_OK}, E_ACCESSDENIED, 1},
      {{S_OK, HRESULT(0xC00D36B4)}, HRESULT(0xC00D36B4), 2},
  };
  for (const auto& c : cases) {
    Steps steps{c.results};
    EXPECT_EQ(steps.plain(), c.expected);
    EXPECT_EQ(steps.calls, c.calls);
  }
}

TEST(ReturnIfFailed, LoggedVariantWritesTheStepFailedAndTheHresultTextOnlyOnFailure) {
  Steps ok{{S_OK, S_FALSE}};
  EXPECT_EQ(ok.logged(), S_OK);
  EXPECT_TRUE(ok.lines.empty());

  Steps failing{{S_OK, E_ACCESSDENIED}};
  EXPECT_EQ(failing.logged(), E_ACCESSDENIED);
  EXPECT_EQ(failing.calls, 2u);
  ASSERT_EQ(failing.lines.size(), 1u);
  EXPECT_EQ(failing.lines[0], L"second step failed: 0x80070005 (Access is denied.)");
  EXPECT_EQ(failing.lines[0], failureText(L"second step", E_ACCESSDENIED));
}

TEST(FailureText, CodesWithoutSystemTextKeepTheBareNumber) {
  EXPECT_EQ(failureText(L"activate Initialize", HRESULT(0xC00D36B4)).rfind(L"activate Initialize failed: 0xC00D36B4", 0), 0u);
  EXPECT_EQ(failureText(L"x", HRESULT(0x8FFF1234)), L"x failed: 0x8FFF1234");
}

}  // namespace
