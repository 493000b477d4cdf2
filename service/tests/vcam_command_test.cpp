#include "service/vcam_command.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/executable_paths.h"
#include "common/file_acl.h"
#include "common/program_data.h"
#include "service/windows_service.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"
#include "tests/support/host_calls.h"
#include "service/tests/tool_run.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {
namespace fs = std::filesystem;

// ---- the parser, in process ---------------------------------------------------

TEST(VcamCommandLine, OptionsFillTheirFieldsAndTheLastOneWins) {
  const VcamCommandOptions defaults = defaultVcamCommandOptions();
  struct Row {
    const char* label;
    std::vector<std::wstring> args;
    void (*check)(const VcamCommandOptions&, const VcamCommandOptions& defaults);
  } rows[] = {
      {"nothing: help and every default", {},
       [](const VcamCommandOptions& o, const VcamCommandOptions& d) {
         EXPECT_EQ(o.command, L"help");
         EXPECT_EQ(o.mediaSourceDllPath, (executableDirectory() / L"tesmira_windows_vcam_source.dll").wstring());
         EXPECT_EQ(o.producerExecutable,
                   (executableDirectory() / L"tesmira_windows_retouch_vcam_producer.exe").wstring());
         EXPECT_EQ(o.ownExecutablePath, executablePath().wstring());
         EXPECT_EQ(o.allUsers, 1);
         EXPECT_EQ(o.producerCameraIndex, 0);
         EXPECT_EQ(o.srcTag, L"manual");
         EXPECT_TRUE(o.manifestUrl.empty() && o.installedVersion.empty() && o.producerRepoRoot.empty());
         EXPECT_FALSE(o.interactive || o.allowUnsigned);
       }},
      {"every value option",
       {L"ensure", L"--media-source-dll", L"C:\\a b\\x.dll", L"--producer-exe", L"p.exe", L"--producer-repo-root",
        L"R", L"--producer-camera-index", L"3", L"--manifest-url", L"https://h/m.json", L"--src", L"task",
        L"--installed-version", L"1.2.3", L"--interactive", L"--allow-unsigned"},
       [](const VcamCommandOptions& o, const VcamCommandOptions&) {
         EXPECT_EQ(o.command, L"ensure");
         EXPECT_EQ(o.mediaSourceDllPath, L"C:\\a b\\x.dll");
         EXPECT_EQ(o.producerExecutable, L"p.exe");
         EXPECT_EQ(o.producerRepoRoot, L"R");
         EXPECT_EQ(o.producerCameraIndex, 3);
         EXPECT_EQ(o.manifestUrl, L"https://h/m.json");
         EXPECT_EQ(o.srcTag, L"task");
         EXPECT_EQ(o.installedVersion, L"1.2.3");
         EXPECT_TRUE(o.interactive && o.allowUnsigned);
       }},
      {"last one wins", {L"ensure", L"--all-users", L"--current-user", L"--src", L"a", L"--src", L"b"},
       [](const VcamCommandOptions& o, const VcamCommandOptions&) {
         EXPECT_EQ(o.allUsers, 0);
         EXPECT_EQ(o.srcTag, L"b");
       }},
      {"and back", {L"ensure", L"--current-user", L"--all-users"},
       [](const VcamCommandOptions& o, const VcamCommandOptions&) { EXPECT_EQ(o.allUsers, 1); }},
      {"a value option takes the next argument whatever it is",
       {L"ensure", L"--media-source-dll", L"--current-user"},
       [](const VcamCommandOptions& o, const VcamCommandOptions&) {
         EXPECT_EQ(o.mediaSourceDllPath, L"--current-user");
         EXPECT_EQ(o.allUsers, 1);
       }},
      {"the standard integer rule", {L"ensure", L"--producer-camera-index", L"  12abc"},
       [](const VcamCommandOptions& o, const VcamCommandOptions&) { EXPECT_EQ(o.producerCameraIndex, 12); }},
      {"negative", {L"ensure", L"--producer-camera-index", L"-2147483648"},
       [](const VcamCommandOptions& o, const VcamCommandOptions&) { EXPECT_EQ(o.producerCameraIndex, INT32_MIN); }},
      {"the command is the first argument, whatever it looks like", {L"--current-user"},
       [](const VcamCommandOptions& o, const VcamCommandOptions&) {
         EXPECT_EQ(o.command, L"--current-user");
         EXPECT_EQ(o.allUsers, 1);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    row.check(parseVcamCommandLine(row.args), defaults);
  }
}

TEST(VcamCommandLine, BadOptionsThrowTheirTexts) {
  struct Row {
    std::vector<std::wstring> args;
    const char* message;
  } rows[] = {
      {{L"install", L"--producer-camera-index"}, "missing option value"},
      {{L"install", L"--media-source-dll"}, "missing option value"},
      {{L"install", L"--producer-camera-index", L"x"}, "invalid stoi argument"},
      {{L"install", L"--producer-camera-index", L""}, "invalid stoi argument"},
      {{L"install", L"--producer-camera-index", L"2147483648"}, "stoi argument out of range"},
      {{L"install", L"--producer-camera-index", L"-99999999999"}, "stoi argument out of range"},
      {{L"install", L"--bogus"}, "unknown option"},
      {{L"install", L"--Current-User"}, "unknown option"},
      {{L"install", L"current-user"}, "unknown option"},
      {{L"help", L"-h"}, "unknown option"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    try {
      parseVcamCommandLine(row.args);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), row.message);
    }
  }
}

// A DLL path survives the service's command line into run-service's parser.
TEST(VcamCommandLine, TheServiceCommandLineCarriesAnyDllPathIntoRunService) {
  const std::wstring paths[] = {
      L"/opt/Tesmira Camera/tesmira_windows_vcam_source.dll",
      L"/opt/Caméra Ünïcode \u65e5\u672c/source.dll",
      L"/opt/ends in a backslash\\",
      L"/opt/two\\\\backslashes\\\\",
  };
  for (const std::wstring& dll : paths) {
    SCOPED_TRACE(std::string(dll.begin(), dll.end()));
    ServiceConfig config;
    config.serviceExecutablePath = L"/opt/Tesmira Camera/tesmira_windows_vcam_service.exe";
    config.mediaSourceDllPath = dll;
    const std::wstring line = serviceCommandLine(config);
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(argv, nullptr);
    std::vector<std::wstring> args(argv, argv + count);
    LocalFree(argv);
    ASSERT_EQ(args.size(), 4u) << std::string(line.begin(), line.end());
    EXPECT_EQ(args[0], config.serviceExecutablePath);
    const VcamCommandOptions parsed = parseVcamCommandLine({args.begin() + 1, args.end()});
    EXPECT_EQ(parsed.command, L"run-service");
    EXPECT_EQ(parsed.mediaSourceDllPath, dll);
  }
}

TEST(VcamCommandLine, TheServiceCommandLineQuotesEveryArgumentAndMakesPathsAbsolute) {
  ServiceConfig config;
  config.serviceExecutablePath = L"tool.exe";
  config.mediaSourceDllPath = L"/abs/source.dll";
  const std::wstring cwd = fs::current_path().wstring();
  EXPECT_EQ(serviceCommandLine(config),
            L"\"" + cwd + L"/tool.exe\" \"run-service\" \"--media-source-dll\" \"/abs/source.dll\"");
}

// ---- staging, in process --------------------------------------------------------

class StagingTest : public testing::MachineTest {
 protected:
  // Options naming a tool and a DLL written under <root>/install.
  VcamCommandOptions optionsWithSources() {
    const fs::path source = root() / "install";
    fs::create_directories(source);
    std::ofstream(source / "tool.exe") << "tool bytes";
    std::ofstream(source / "source.dll") << "dll bytes";
    VcamCommandOptions options = defaultVcamCommandOptions();
    options.ownExecutablePath = (source / "tool.exe").wstring();
    options.mediaSourceDllPath = (source / "source.dll").wstring();
    return options;
  }
};

TEST_F(StagingTest, CopiesBothFilesUnderFreshNamesAndRepointsTheOptions) {
  const fs::path source = root() / "install";
  VcamCommandOptions options = optionsWithSources();
  platform::testclock::freeze();
  const std::wstring suffix =
      L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount64());

  ASSERT_EQ(stageInstallFiles(options), S_OK);
  const fs::path staging = vcamStagingFolder();
  const fs::path exe = staging / (L"tesmira_windows_vcam_service" + suffix + L".exe");
  const fs::path dll = staging / (L"tesmira_windows_vcam_source" + suffix + L".dll");
  EXPECT_EQ(options.ownExecutablePath, exe.wstring());
  EXPECT_EQ(options.mediaSourceDllPath, dll.wstring());
  EXPECT_EQ(testing::readFile(exe), "tool bytes");
  EXPECT_EQ(testing::readFile(dll), "dll bytes");
  // Full access for SYSTEM and Administrators (the owner's share), read and execute for users.
  EXPECT_EQ(testing::permissionBits(exe), 0755u);
  EXPECT_EQ(testing::permissionBits(staging.parent_path()), 0755u);

  // A later install adds a new pair and leaves the first one alone.
  platform::testclock::advanceMs(1);
  VcamCommandOptions again = defaultVcamCommandOptions();
  again.ownExecutablePath = (source / "tool.exe").wstring();
  again.mediaSourceDllPath = (source / "source.dll").wstring();
  ASSERT_EQ(stageInstallFiles(again), S_OK);
  EXPECT_NE(again.ownExecutablePath, options.ownExecutablePath);
  EXPECT_TRUE(fs::exists(exe));
}

TEST_F(StagingTest, WithoutAnyProgramDataFolderNothingIsStagedBelowTheCurrentFolder) {
  VcamCommandOptions options = optionsWithSources();
  const std::wstring before = options.ownExecutablePath;
  platform::faults::inject("SHGetKnownFolderPath", E_FAIL);
  platform::faults::inject("GetTempPathW", ERROR_ACCESS_DENIED);
  SetEnvironmentVariableW(L"ProgramData", nullptr);
  const fs::path cwd = fs::current_path();
  try {
    stageInstallFiles(options);
    ADD_FAILURE() << "staged without a folder";
  } catch (const fs::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("temp_directory_path"), std::string::npos) << error.what();
  }
  EXPECT_FALSE(fs::exists(cwd / "Tesmira"));
  EXPECT_EQ(options.ownExecutablePath, before);
}

TEST_F(StagingTest, AMissingSourceFailsAndKeepsTheOptions) {
  VcamCommandOptions options = defaultVcamCommandOptions();
  options.ownExecutablePath = (root() / "missing.exe").wstring();
  const VcamCommandOptions before = options;
  EXPECT_EQ(stageInstallFiles(options), HRESULT(0x80070002));
  EXPECT_EQ(options.ownExecutablePath, before.ownExecutablePath);
  EXPECT_EQ(options.mediaSourceDllPath, before.mediaSourceDllPath);
}

// ---- the built program --------------------------------------------------------------

using Outcome = testing::ToolOutcome;

class ServiceToolTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    elevated(false);
  }
  void TearDown() override {
    platform::services::endServiceProcesses();
    SetEnvironmentVariableW(L"TESMIRA_ELEVATED", nullptr);
    MachineTest::TearDown();
  }
  static void elevated(bool on) { SetEnvironmentVariableW(L"TESMIRA_ELEVATED", on ? L"1" : L"0"); }

  Outcome run(const std::vector<std::string>& args) { return testing::runTool(root(), args); }
};

std::string narrowHelp() {
  const std::wstring help = vcamHelpText();
  return std::string(help.begin(), help.end());
}

TEST_F(ServiceToolTest, HelpGateAndParseErrorsAsTheUserSeesThem) {
  const std::string help = narrowHelp();
  const std::string gate = "All-users registration requires an elevated terminal.\n";
  struct Row {
    std::vector<std::string> args;
    int exitCode;
    std::string out;
    std::string err;
  } rows[] = {
      {{}, 0, help, ""},
      {{"help"}, 0, help, ""},
      {{"--help"}, 0, help, ""},
      {{"-h"}, 0, help, ""},
      {{"/?"}, 0, help, ""},
      {{"HELP"}, 1, "", gate},  // commands are case-sensitive: an unknown one meets the gate
      {{"ensure"}, 1, "", gate},
      {{"install"}, 1, "", gate},
      {{"remove-vcam"}, 1, "", gate},
      {{"uninstall"}, 1, "", gate},
      {{"frobnicate"}, 1, "", gate},
      {{"frobnicate", "--current-user"}, 1, help, ""},
      {{"install", "--producer-camera-index"}, 1, "", "fatal: missing option value\n"},
      {{"install", "--producer-camera-index", "x"}, 1, "", "fatal: invalid stoi argument\n"},
      {{"install", "--producer-camera-index", "99999999999"}, 1, "", "fatal: stoi argument out of range\n"},
      {{"help", "--nope"}, 1, "", "fatal: unknown option\n"},
  };
  for (const Row& row : rows) {
    std::string label;
    for (const auto& a : row.args) label += a + " ";
    SCOPED_TRACE(label);
    const Outcome o = run(row.args);
    EXPECT_EQ(o.exitCode, row.exitCode);
    EXPECT_EQ(o.out, row.out);
    EXPECT_EQ(o.err, row.err);
  }
}

TEST_F(ServiceToolTest, TheHelpTextIsExact) {
  const Outcome o = run({});
  EXPECT_EQ(o.out,
            "Tesmira Windows virtual camera service\n\nCommands:\n"
            "  install          Register COM, create/start vcam, install the auto-start broker service\n"
            "  ensure           Register COM and create/start the vcam once\n"
            "  run-service      Internal SCM entry point (broker: owns shared IPC objects, re-ensures vcam)\n"
            "  remove-vcam      Remove the Windows 11 virtual camera\n"
            "  uninstall        Stop/delete service, remove vcam, unregister COM\n"
            "  list-cameras     List physical cameras visible to Media Foundation\n"
            "  list-cameras-raw Machine-readable raw enumeration (index<TAB>tesmira<TAB>name)\n"
            "  update-check     Fetch the release manifest; download + verify a newer installer\n"
            "                   into %ProgramData%\\Tesmira\\Updates (writes status.json)\n"
            "  update-apply     Re-verify and silently run the staged installer (elevated;\n"
            "                   defers while an app is using the Tesmira camera)\n"
            "  relaunch-agent   Start tesmira_agent.exe in active user sessions (SYSTEM only)\n\n"
            "Options:\n"
            "  --media-source-dll <path>   Path to tesmira_windows_vcam_source.dll\n"
            "  --producer-exe <path>       Optional retouch producer executable\n"
            "  --producer-repo-root <path> Repo/assets root passed to the producer\n"
            "  --producer-camera-index <n> Camera index passed to the producer (default 0)\n"
            "  --current-user              Register vcam for current user only\n"
            "  --all-users                 Register vcam for all users (default, admin required)\n"
            "  --manifest-url <url>        Update feed override (HTTPS; testing/staging)\n"
            "  --src <name>                Update telemetry source tag: task|studio|manual\n"
            "  --interactive               update-apply: relaunch Studio after the install\n"
            "  --allow-unsigned            update: skip Authenticode (local testing only)\n"
            "  --installed-version <v>     update: override the installed version (testing only)\n\n"
            "Update exit codes: 0 ok, 11 camera-in-use, 12 network, 13 verify failed,\n"
            "  14 needs elevation, 15 nothing staged, 16 updater already running\n");
}

TEST_F(ServiceToolTest, CameraListsExitOneWhenEmpty) {
  platform::testcameras::setV4l2Discovery(false);
  // Nothing at all, then only a physical camera.
  Outcome o = run({"list-cameras"});
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_EQ(o.out, "");
  o = run({"list-cameras-raw"});
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_EQ(o.out, "");

  // Only the virtual camera: it is no physical camera.
  const fs::path dll = root() / "tesmira_windows_vcam_source.dll";
  std::ofstream(dll) << "module";
  elevated(true);  // COM registration writes HKLM
  o = run({"ensure", "--media-source-dll", dll.string()});
  ASSERT_EQ(o.exitCode, 0) << o.err;
  o = run({"list-cameras"});
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_EQ(o.out, "");
  o = run({"remove-vcam"});
  ASSERT_EQ(o.exitCode, 0) << o.err;
  elevated(false);

  platform::testcameras::TestCamera camera;
  camera.friendlyName = L"Desk Cam";
  const std::wstring link = platform::testcameras::installTestCamera(camera);
  o = run({"list-cameras"});
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.out, "0: Desk Cam\n   " + std::string(link.begin(), link.end()) + "\n");
  o = run({"list-cameras-raw"});
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.out, "0\t0\tDesk Cam\n");
}

TEST_F(ServiceToolTest, UninstallOnAMachineWhereNothingWasInstalledSucceeds) {
  elevated(true);
  const Outcome o = run({"uninstall"});
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_NE(o.out.find("uninstall succeeded\n"), std::string::npos) << o.out << o.err;
}

TEST_F(ServiceToolTest, UpdateCommandsReachTheUpdater) {
  elevated(true);
  const struct {
    const char* command;
    const char* out;
  } cases[] = {
      {"update-check", "update-check: no installed version found (uninstall key missing?) - not an installed copy\n"},
      {"update-apply", "update-apply: no installed version found\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const Outcome o = run({c.command});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out, c.out);
  }
}

TEST_F(ServiceToolTest, RunServiceFromAConsoleExitsWithTheDispatcherError) {
  const Outcome o = run({"run-service"});
  EXPECT_EQ(o.exitCode, 1063 & 0xFF);  // the host keeps the low byte of an exit code
  EXPECT_NE(testing::readFile(root() / "ProgramData" / "Tesmira" / "Logs" / "vcam-service.log")
                .find("StartServiceCtrlDispatcher failed: 1063"),
            std::string::npos);
}

}  // namespace
}  // namespace tesmira
