#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/file_log.h"
#include "tests/support/machine_fixture.h"

namespace {

class LoggerConcurrencyTest : public tesmira::testing::MachineTest {};

TEST_F(LoggerConcurrencyTest, LinesFromSeveralThreadsStayWhole) {
  constexpr int kThreads = 4, kLines = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        tesmira::appendLogLine(L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i) + L" \u2014 " +
                               std::wstring(200, L'x'));
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::istringstream log(tesmira::testing::readFile(tesmira::serviceLogPath()));
  std::string line;
  int count = 0;
  const std::string tail = " \xE2\x80\x94 " + std::string(200, 'x') + "\r";
  while (std::getline(log, line)) {
    ++count;
    ASSERT_GT(line.size(), 20 + tail.size()) << line;
    EXPECT_EQ(line.substr(20, 7), "thread ") << line;
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
