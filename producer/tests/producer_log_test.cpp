#include "producer/producer_log.h"

#include <filesystem>

#include "producer/tests/producer_fixture.h"

namespace tesmira {
namespace {

using testing::ProducerTest;

TEST(ProducerLogFormat, LocalTimeBlankMessage) {
  SYSTEMTIME t{};
  t.wYear = 2026;
  t.wMonth = 12;
  t.wDay = 9;
  t.wHour = 14;
  t.wMinute = 3;
  t.wSecond = 7;
  EXPECT_EQ(formatLogLine(t, "vcam producer starting"), "2026-12-09 14:03:07 vcam producer starting");
}

class ProducerLogTest : public ProducerTest {};

TEST_F(ProducerLogTest, AppendsCrLfLinesUnderProgramData) {
  logLine("first");
  logLine("second \xC3\xA9");  // 8-bit text goes in as given
  const std::string text = testing::readFile(logPath());
  ASSERT_EQ(text.size(), 2 * 20 + std::string("first\r\nsecond \xC3\xA9\r\n").size());
  EXPECT_EQ(text.substr(19, 8), " first\r\n");
  EXPECT_EQ(text.substr(text.size() - 12), " second \xC3\xA9\r\n");
  EXPECT_EQ(logMessages(), (std::vector<std::string>{"first", "second \xC3\xA9"}));
}

TEST_F(ProducerLogTest, WithoutProgramDataTheTemporaryFolderIsUsed) {
  ::unsetenv("ProgramData");
  const char* previous = std::getenv("TMPDIR");
  const std::string saved = previous ? previous : "";
  ::setenv("TMPDIR", root().c_str(), 1);
  EXPECT_EQ(producerLogPath(), root() / "Tesmira/Logs/vcam-producer.log");
  logLine("to temp");
  EXPECT_NE(testing::readFile(root() / "Tesmira/Logs/vcam-producer.log").find(" to temp\r\n"), std::string::npos);
  if (previous) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

TEST_F(ProducerLogTest, AnUnwritableFolderLosesTheLineQuietly) {
  touch(root() / "ProgramData" / "Tesmira");  // a file where the folder should be
  logLine("lost");
  EXPECT_FALSE(std::filesystem::exists(logPath()));
}

}  // namespace
}  // namespace tesmira
