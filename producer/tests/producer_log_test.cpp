#include "producer/producer_log.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include "producer/tests/producer_fixture.h"
#include "tesmira/platform_testing.h"

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

class ProducerLogTest : public ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    const char* tmp = std::getenv("TMPDIR");
    hadTmp_ = tmp != nullptr;
    savedTmp_ = tmp ? tmp : "";
  }
  void TearDown() override {
    if (hadTmp_) {
      SetEnvironmentVariableW(L"TMPDIR", std::filesystem::path(savedTmp_).wstring().c_str());
    } else {
      SetEnvironmentVariableW(L"TMPDIR", nullptr);
    }
    ProducerTest::TearDown();
  }

 private:
  bool hadTmp_ = false;
  std::string savedTmp_;
};

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
  SetEnvironmentVariableW(L"ProgramData", nullptr);
  SetEnvironmentVariableW(L"TMPDIR", root().wstring().c_str());
  EXPECT_EQ(producerLogPath(), root() / "Tesmira/Logs/vcam-producer.log");
  logLine("to temp");
  EXPECT_NE(testing::readFile(root() / "Tesmira/Logs/vcam-producer.log").find(" to temp\r\n"), std::string::npos);
}

// The base folder comes from the environment variable alone: the known folder (the
// machine's ProgramData) is never asked, and what the variable cannot give falls to the
// temporary folder.
TEST_F(ProducerLogTest, TheBaseFolderIsTheEnvironmentVariableElseTheTemporaryFolder) {
  struct Case {
    const char* name;
    std::string programData;  // empty: unset
    const char* expectedBase;
  };
  const Case cases[] = {
      {"set", (root() / "FromEnv").string(), "FromEnv"},
      {"unset", "", "tmp"},
      {"too long for its buffer", "/" + std::string(MAX_PATH, 'p'), "tmp"},
  };
  std::filesystem::create_directories(root() / "tmp");
  SetEnvironmentVariableW(L"TMPDIR", (root() / "tmp").wstring().c_str());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.programData.empty()) {
      SetEnvironmentVariableW(L"ProgramData", nullptr);
    } else {
      SetEnvironmentVariableW(L"ProgramData", std::filesystem::path(c.programData).wstring().c_str());
    }
    const auto expected = root() / c.expectedBase / "Tesmira/Logs/vcam-producer.log";
    EXPECT_EQ(producerLogPath(), expected);
    logLine(c.name);
    EXPECT_NE(testing::readFile(expected).find(std::string(" ") + c.name + "\r\n"), std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(logPath())) << "the known folder is not the producer's";
}

TEST_F(ProducerLogTest, WithoutAnyBaseFolderTheLineIsLost) {
  SetEnvironmentVariableW(L"ProgramData", nullptr);
  platform::faults::inject("GetTempPathW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(producerLogPath(), std::filesystem::path());
  EXPECT_NO_THROW(logLine("nowhere"));
  EXPECT_FALSE(std::filesystem::exists("Tesmira")) << "nothing relative to the current folder";
}

TEST_F(ProducerLogTest, AnUnwritableFolderLosesTheLineQuietly) {
  touch(root() / "ProgramData" / "Tesmira");  // a file where the folder should be
  logLine("lost");
  EXPECT_FALSE(std::filesystem::exists(logPath()));
}

}  // namespace
}  // namespace tesmira
