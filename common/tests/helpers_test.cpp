#include "common/command_line.h"
#include "common/error_text.h"
#include "common/executable_paths.h"
#include "common/file_acl.h"
#include "common/file_log.h"
#include "common/process_token.h"
#include "common/program_data.h"
#include "common/text_search.h"

#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "tesmira/platform_testing.h"
#include "tests/support/host_calls.h"
#include "tests/support/machine_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace tesmira;
namespace faults = tesmira::platform::faults;

std::vector<std::wstring> splitBack(const std::wstring& joined) {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW((L"prog.exe " + joined).c_str(), &count);
  std::vector<std::wstring> out(argv + 1, argv + count);
  LocalFree(argv);
  return out;
}

TEST(Quoting, JoinThenSplitGivesBackEveryArgument) {
  const std::vector<std::vector<std::wstring>> cases = {
      {L"C:\\Program Files\\Tesmira\\", L"next"},
      {L"a\\\"b", L"c"},
      {L"\\\\server\\share\\", L"\\"},
      {L"\\\\", L"\"", L"\\\""},
      {L"", L"x", L""},
      {L"a b", L"tab\there", L"\"\""},
      {L"a\\\\\\\"b\\\\", L"end\\"},
      {L"--option=C:\\dir\\", L"--flag"},
      {L"ünïcödé — text"},
  };
  for (const auto& args : cases) EXPECT_EQ(splitBack(joinCommandLine(args)), args) << joinCommandLine(args);
}

TEST(Quoting, ExactTexts) {
  struct Case {
    std::vector<std::wstring> args;
    std::wstring line;
  } cases[] = {
      {{L"say \"hi\""}, L"\"say \\\"hi\\\"\""},
      {{L"a", L"b c", L""}, L"\"a\" \"b c\" \"\""},
      {{L"C:\\dir\\"}, L"\"C:\\dir\\\\\""},  // the closing quote's backslash is doubled
      {{L"C:\\a\\b"}, L"\"C:\\a\\b\""},      // other backslashes stay single
      {{}, L""},
  };
  for (const auto& c : cases) EXPECT_EQ(joinCommandLine(c.args), c.line);
}

TEST(ErrorTexts, HresultsAndWin32Codes) {
  EXPECT_EQ(hresultToText(0), L"0x00000000 (The operation completed successfully.)");
  EXPECT_EQ(hresultToText(HRESULT(0x80070005)), L"0x80070005 (Access is denied.)");
  EXPECT_EQ(hresultToText(HRESULT(0xC00D36B4)),
            L"0xC00D36B4 (The data specified for the media type is invalid, inconsistent, or not supported by this "
            L"object.)");
  EXPECT_EQ(hresultToText(HRESULT(0x8BADF00D)), L"0x8BADF00D");
  EXPECT_EQ(win32ErrorToText(5), L"5 (Access is denied.)");
  EXPECT_EQ(win32ErrorToText(4294967295u), L"4294967295");
  EXPECT_EQ(formatSystemMessage(FORMAT_MESSAGE_FROM_SYSTEM, 2), L"The system cannot find the file specified.");
  EXPECT_EQ(formatSystemMessage(FORMAT_MESSAGE_FROM_SYSTEM, 0x0BADC0DE), L"");
}

TEST(ErrorTexts, Win32ToHresultRule) {
  struct Case {
    LONG code;
    HRESULT hr;
  } cases[] = {{0, 0},
               {5, HRESULT(0x80070005)},
               {1753, HRESULT(0x800706D9)},
               {0x12345, HRESULT(0x80072345)},  // only the low 16 bits survive
               {-5, -5},
               {LONG(0x80004005), HRESULT(0x80004005)}};
  for (const auto& c : cases) EXPECT_EQ(win32ToHresult(c.code), c.hr) << c.code;
}

TEST(ContainsNoCase, Table) {
  struct Case {
    const wchar_t* haystack;
    const wchar_t* needle;
    bool found;
  } cases[] = {{L"Integrated Camera", L"integrated", true}, {L"", L"", true},     {L"ab", L"abc", false},
               {L"OBS Virtual Camera", L"VIRTUAL", true},   {L"abc", L"", true},  {L"Tesmira", L"mirra", false}};
  for (const auto& c : cases) EXPECT_EQ(containsNoCase(c.haystack, c.needle), c.found) << c.haystack << L"/" << c.needle;
}

// "YYYY-MM-DD hh:mm:ss"
bool isTimeStamp(std::string_view text) {
  const std::string_view shape = "dddd-dd-dd dd:dd:dd";
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
  }
  return true;
}

class HelpersTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    const char* tmp = std::getenv("TMPDIR");
    savedTmp_ = tmp ? tmp : "";
    hadTmp_ = tmp != nullptr;
    SetEnvironmentVariableW(L"ProgramData", nullptr);
  }
  void TearDown() override {
    if (hadTmp_) SetEnvironmentVariableW(L"TMPDIR", std::filesystem::path(savedTmp_).wstring().c_str());
    else SetEnvironmentVariableW(L"TMPDIR", nullptr);
    SetEnvironmentVariableW(L"ProgramData", nullptr);
    SetEnvironmentVariableW(L"TESMIRA_ELEVATED", nullptr);
    MachineTest::TearDown();
  }
  static uint32_t modeOf(const fs::path& p) { return tesmira::testing::permissionBits(p); }

 private:
  std::string savedTmp_;
  bool hadTmp_ = false;
};

TEST_F(HelpersTest, ProgramDataFallsBackToTheEnvironmentThenTheTemporaryFolder) {
  EXPECT_EQ(programDataFolder(), root() / "ProgramData");
  EXPECT_EQ(serviceLogPath(), root() / "ProgramData/Tesmira/Logs/vcam-service.log");
  EXPECT_EQ(vcamStagingFolder(), root() / "ProgramData/Tesmira/Vcam");

  faults::inject("SHGetKnownFolderPath", E_FAIL);
  SetEnvironmentVariableW(L"ProgramData", (root() / "FromEnv").wstring().c_str());
  EXPECT_EQ(programDataFolder(), root() / "FromEnv");

  SetEnvironmentVariableW(L"ProgramData", nullptr);
  fs::create_directories(root() / "tmp");
  SetEnvironmentVariableW(L"TMPDIR", (root() / "tmp").wstring().c_str());
  appendLogLine(L"to the temporary folder");
  std::string log = tesmira::testing::readFile(root() / "tmp/Tesmira/Logs/vcam-service.log");
  EXPECT_NE(log.find("to the temporary folder"), std::string::npos);

  // Without even a temporary folder there is no folder: the product folders throw, and the
  // logger writes nothing.
  faults::inject("GetTempPathW", ERROR_ACCESS_DENIED);
  for (const auto& folder : {programDataFolder, vcamStagingFolder}) {
    try {
      folder();
      ADD_FAILURE() << "no error";
    } catch (const fs::filesystem_error& error) {
      EXPECT_NE(std::string(error.what()).find("temp_directory_path"), std::string::npos) << error.what();
    }
  }
  EXPECT_EQ(agentLogPath(), fs::path()) << "no log path relative to the current folder";
  EXPECT_EQ(serviceLogPath(), fs::path());
  appendLogLine(L"nowhere");
  EXPECT_FALSE(fs::exists("Tesmira"));
}

TEST_F(HelpersTest, LogLinesAreUtf8WithTimeAndLineBreak) {
  appendLogLine(L"first \u2014 with an em dash");
  appendLogLine(L"second");
  std::string log = tesmira::testing::readFile(serviceLogPath());
  std::string_view rest(log);
  for (std::string_view message : {std::string_view("first \xE2\x80\x94 with an em dash"), std::string_view("second")}) {
    ASSERT_GE(rest.size(), 20u) << log;
    EXPECT_TRUE(isTimeStamp(rest.substr(0, 19))) << log;
    EXPECT_EQ(rest.substr(19, 1 + message.size() + 2), " " + std::string(message) + "\r\n");
    rest.remove_prefix(std::min(rest.size(), 19 + 1 + message.size() + 2));
  }
  EXPECT_TRUE(rest.empty()) << log;

  appendLogLineTo(agentLogPath(), L"agent");
  EXPECT_NE(tesmira::testing::readFile(root() / "ProgramData/Tesmira/Logs/vcam-agent.log").find(" agent\r\n"),
            std::string::npos);
}

TEST_F(HelpersTest, LoggerNeverFailsVisibly) {
  // A file where the Logs folder should be: nothing can be opened, nothing throws.
  fs::create_directories(root() / "ProgramData/Tesmira");
  std::ofstream(root() / "ProgramData/Tesmira/Logs") << "in the way";
  EXPECT_NO_THROW(appendLogLine(L"lost"));
  EXPECT_NO_THROW(appendLogLineTo(fs::path(), L"lost"));
  EXPECT_EQ(tesmira::testing::readFile(root() / "ProgramData/Tesmira/Logs"), "in the way");
}

TEST_F(HelpersTest, ExecutablePaths) {
  fs::path self = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(executablePath(), self);
  EXPECT_EQ(executableDirectory(), self.parent_path());
  EXPECT_EQ(defaultMediaSourceDllPath(), self.parent_path() / "tesmira_windows_vcam_source.dll");
}

TEST_F(HelpersTest, ElevationFollowsTheToken) {
  SetEnvironmentVariableW(L"TESMIRA_ELEVATED", L"1");
  EXPECT_TRUE(isProcessElevated());
  faults::inject("GetTokenInformation", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(isProcessElevated());
  faults::inject("OpenProcessToken", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(isProcessElevated());
  SetEnvironmentVariableW(L"TESMIRA_ELEVATED", L"0");
  EXPECT_FALSE(isProcessElevated());
}

TEST_F(HelpersTest, CreateDirectoryWithAclMakesParentsAndSetsOnlyTheLeaf) {
  fs::path leaf = root() / "a/b/c";
  ASSERT_EQ(createDirectoryWithAcl(leaf), S_OK);
  EXPECT_TRUE(fs::is_directory(leaf));
  EXPECT_EQ(modeOf(leaf), 0755u);
  uint32_t parentMode = modeOf(root() / "a");
  ::chmod(leaf.c_str(), 0700);
  EXPECT_EQ(createDirectoryWithAcl(leaf), S_OK);  // existing: no error, ACL applied again
  EXPECT_EQ(modeOf(leaf), 0755u);
  EXPECT_EQ(modeOf(root() / "a"), parentMode);

  std::ofstream(root() / "file") << "x";
  EXPECT_TRUE(FAILED(createDirectoryWithAcl(root() / "file/sub")));
  EXPECT_EQ(createDirectoryWithAcl(fs::path()), win32ToHresult(ERROR_PATH_NOT_FOUND));
  faults::inject("SetFileSecurityW", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(createDirectoryWithAcl(root() / "d"), HRESULT(0x80070005));
}

TEST_F(HelpersTest, CopyFileWithAcl) {
  fs::path source = root() / "src.bin";
  std::ofstream(source) << "payload";
  fs::path destination = root() / "Vcam/sub/dst.bin";

  EXPECT_EQ(copyFileWithAcl(root() / "missing.bin", destination), HRESULT(0x80070002));
  EXPECT_FALSE(fs::exists(root() / "Vcam"));
  EXPECT_EQ(copyFileWithAcl(root() / "no/such/missing.bin", destination), HRESULT(0x80070002));

  ASSERT_EQ(copyFileWithAcl(source, destination), S_OK);
  EXPECT_EQ(tesmira::testing::readFile(destination), "payload");
  EXPECT_EQ(modeOf(destination), 0755u);
  EXPECT_EQ(modeOf(destination.parent_path()), 0755u);

  // The same file under another name: only the ACL, the content stays.
  fs::create_hard_link(source, root() / "alias.bin");
  ::chmod(source.c_str(), 0600);
  EXPECT_EQ(copyFileWithAcl(source, root() / "alias.bin"), S_OK);
  EXPECT_EQ(tesmira::testing::readFile(source), "payload");
  EXPECT_EQ(modeOf(source), 0755u);

  faults::inject("CopyFileW", ERROR_DISK_FULL, 1);
  EXPECT_EQ(copyFileWithAcl(source, root() / "other.bin"), win32ToHresult(ERROR_DISK_FULL));
  EXPECT_FALSE(fs::exists(root() / "other.bin"));
}

}  // namespace
