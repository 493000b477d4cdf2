#include "service/windows_service.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <winsvc.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/channels.h"
#include "common/command_line.h"
#include "common/file_log.h"
#include "common/program_data.h"
#include "service/service_state.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"
#include "tests/support/child_main.h"
#include "tests/support/host_calls.h"
#include "service/tests/tool_run.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {
namespace fs = std::filesystem;
using json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

// ---- services of the test binary itself, for what the tool never does -----------

SERVICE_STATUS_HANDLE gStatus = nullptr;
DWORD WINAPI ignoringHandler(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }

void report(DWORD state, DWORD controls) {
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, controls, 0, 0, 0, 0};
  SetServiceStatus(gStatus, &status);
}

// Reaches RUNNING, accepts stop and never stops.
void WINAPI ignoringStopMain(DWORD, LPWSTR*) {
  gStatus = RegisterServiceCtrlHandlerExW(kServiceName, ignoringHandler, nullptr);
  report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
// Never leaves START_PENDING.
void WINAPI stuckStartingMain(DWORD, LPWSTR*) {
  gStatus = RegisterServiceCtrlHandlerExW(kServiceName, ignoringHandler, nullptr);
  report(SERVICE_START_PENDING, 0);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

int dispatch(LPSERVICE_MAIN_FUNCTIONW main) {
  wchar_t name[] = L"TesmiraVcam";
  SERVICE_TABLE_ENTRYW table[] = {{name, main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : int(GetLastError());
}
TESMIRA_CHILD_MAIN(serviceIgnoringStop) { return dispatch(ignoringStopMain); }
TESMIRA_CHILD_MAIN(serviceStuckStarting) { return dispatch(stuckStartingMain); }

// ---- the fixture ---------------------------------------------------------------------

using Outcome = testing::ToolOutcome;

class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE h = nullptr) : h_(h) {}
  ~ScHandle() {
    if (h_) CloseServiceHandle(h_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE get() const { return h_; }
  void close() {
    if (h_) CloseServiceHandle(h_);
    h_ = nullptr;
  }

 private:
  SC_HANDLE h_;
};

// The test plays an administrator on a machine with one camera.
class WindowsServiceTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    SetEnvironmentVariableW(L"TESMIRA_ELEVATED", L"1");
    platform::testcameras::setV4l2Discovery(false);
    platform::testcameras::TestCamera camera;
    camera.friendlyName = L"Desk Cam";
    platform::testcameras::installTestCamera(camera);
    dll_ = root() / "install" / "tesmira_windows_vcam_source.dll";
    fs::create_directories(dll_.parent_path());
    std::ofstream(dll_) << "not a real module";
  }
  void TearDown() override {
    platform::services::endServiceProcesses();
    SetEnvironmentVariableW(L"TESMIRA_ELEVATED", nullptr);
    SetEnvironmentVariableW(L"TESMIRA_FAULTS", nullptr);
    MachineTest::TearDown();
  }

  Outcome tool(const std::vector<std::string>& args) { return testing::runTool(root(), args); }
  Outcome install() { return tool({"install", "--media-source-dll", dll_.string()}); }

  json record() const {
    return json::parse(testing::readFile(root() / "services" / "tesmiravcam.json"), nullptr, false);
  }
  bool recordExists() const { return fs::exists(root() / "services" / "tesmiravcam.json"); }

  SC_HANDLE open(DWORD access) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return OpenServiceW(manager.get(), kServiceName, access);
  }
  SERVICE_STATUS query() {
    ScHandle service(open(SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    EXPECT_TRUE(QueryServiceStatus(service.get(), &status));
    return status;
  }
  // Polls the service's status, real time, until it reads `state`.
  bool waitFor(DWORD state, int seconds = 20) {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(seconds);
    while (SteadyClock::now() < deadline) {
      if (query().dwCurrentState == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // A service record of our own, started through the manager.
  void startService(const std::wstring& commandLine) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    ScHandle service(CreateServiceW(manager.get(), kServiceName, kServiceDisplayName,
                                    SERVICE_START | SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                                    nullptr, nullptr, nullptr));
    ASSERT_NE(service.get(), nullptr) << GetLastError();
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  }
  std::wstring toolRunService(const std::wstring& dll) {
    return joinCommandLine({fs::path(TESMIRA_SERVICE_EXE).wstring(), L"run-service", L"--media-source-dll", dll});
  }
  std::string log() const { return testing::readFile(serviceLogPath()); }

  fs::path dll_;
};

const wchar_t* const kChannelNames[] = {kVcamCapabilitiesChannelName, kRetouchSettingsChannelName,
                                        kVcamControlChannelName,      kFrameChannelName,
                                        kVcamConsumersChannelName,    kProducerStatusChannelName};

bool globalMappingExists(const wchar_t* name) {
  HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, (std::wstring(L"Global\\") + name).c_str());
  if (mapping) CloseHandle(mapping);
  return mapping != nullptr;
}

bool waitUntil(const std::function<bool()>& done, int seconds = 20) {
  const auto deadline = SteadyClock::now() + std::chrono::seconds(seconds);
  while (SteadyClock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

json statusJson(DWORD state, DWORD controls, DWORD exitCode, DWORD checkPoint, DWORD waitHint) {
  return json{{"type", 16},        {"state", state},           {"controls", controls}, {"win32ExitCode", exitCode},
              {"specificExitCode", 0}, {"checkPoint", checkPoint}, {"waitHint", waitHint}};
}

// ---- the tool's service, end to end --------------------------------------------------

TEST_F(WindowsServiceTest, InstallRecordsTheServiceAndItHoldsTheChannelsUntilStopped) {
  struct Row {
    const char* label;
    bool shutdown;
  } rows[] = {{"stop", false}, {"shutdown", true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const Outcome installed = install();
    ASSERT_EQ(installed.exitCode, 0) << installed.out << installed.err;
    EXPECT_NE(installed.out.find("Staged vcam binaries in " + vcamStagingFolder().string() + "\n"), std::string::npos);
    EXPECT_NE(installed.out.find("install service succeeded\n"), std::string::npos);
    ASSERT_TRUE(waitFor(SERVICE_RUNNING));

    // The golden record: identity, the staged paths on its command line, failure actions.
    json r = record();
    ASSERT_FALSE(r.is_discarded());
    std::wstring stagedExe, stagedDll;
    const std::string binaryPath = r["binaryPath"].get<std::string>();
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(std::wstring(binaryPath.begin(), binaryPath.end()).c_str(), &count);
    ASSERT_EQ(count, 4);
    stagedExe = argv[0];
    stagedDll = argv[3];
    LocalFree(argv);
    EXPECT_EQ(fs::path(stagedExe).parent_path(), vcamStagingFolder());
    EXPECT_EQ(fs::path(stagedDll).parent_path(), vcamStagingFolder());
    EXPECT_EQ(fs::path(stagedExe).filename().string().rfind("tesmira_windows_vcam_service_", 0), 0u);
    EXPECT_EQ(fs::path(stagedDll).filename().string().rfind("tesmira_windows_vcam_source_", 0), 0u);
    const std::string stagedExeText(stagedExe.begin(), stagedExe.end()), stagedDllText(stagedDll.begin(), stagedDll.end());
    EXPECT_EQ(binaryPath, "\"" + stagedExeText + "\" \"run-service\" \"--media-source-dll\" \"" + stagedDllText + "\"");
    EXPECT_EQ(r["name"], "TesmiraVcam");
    EXPECT_EQ(r["displayName"], "Tesmira Virtual Camera Service");
    EXPECT_EQ(r["description"],
              "Maintains the Tesmira virtual camera registration and owns the shared-memory channels the retouch "
              "producer and apps use.");
    EXPECT_EQ(r["serviceType"], 16);
    EXPECT_EQ(r["startType"], 2);
    EXPECT_EQ(r["errorControl"], 1);
    EXPECT_EQ(r["startName"], "LocalSystem");
    EXPECT_EQ(r["failureActions"], (json{{"resetPeriod", 86400},
                                         {"rebootMessage", ""},
                                         {"command", ""},
                                         {"actions", json::array({json{{"type", 1}, {"delay", 5000}},
                                                                  json{{"type", 1}, {"delay", 30000}},
                                                                  json{{"type", 1}, {"delay", 60000}}})}}));

    // The service created every channel and the event under Global\, seeded.
    for (const wchar_t* name : kChannelNames) EXPECT_TRUE(globalMappingExists(name));
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, L"Global\\TesmiraRetouchFrameReady.v3");
    EXPECT_NE(event, nullptr);
    if (event) CloseHandle(event);
    EXPECT_NE(log().find("broker: shared IPC objects created, seeded and held"), std::string::npos);

    if (row.shutdown) {
      EXPECT_EQ(platform::services::sendShutdown(kServiceName), 0u);
    } else {
      ScHandle service(open(SERVICE_STOP | SERVICE_QUERY_STATUS));
      SERVICE_STATUS status{};
      ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    }
    ASSERT_TRUE(waitFor(SERVICE_STOPPED));
    EXPECT_EQ(record()["statuses"],
              json::array({statusJson(SERVICE_START_PENDING, 0, 0, 1, 30000),
                           statusJson(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0, 0),
                           statusJson(SERVICE_STOP_PENDING, 0, 0, 1, 3000), statusJson(SERVICE_STOPPED, 0, 0, 0, 0)}));
    // The channels go with the service's process, after STOPPED.
    EXPECT_TRUE(waitUntil([] { return !globalMappingExists(kRetouchSettingsChannelName); }));
    EXPECT_EQ(query().dwWin32ExitCode, 0u);
  }
}

TEST_F(WindowsServiceTest, InstallOverARunningServiceRestartsItWithTheNewPaths) {
  ASSERT_EQ(install().exitCode, 0);
  ASSERT_TRUE(waitFor(SERVICE_RUNNING));
  const json first = record();
  const Outcome again = install();
  ASSERT_EQ(again.exitCode, 0) << again.err;
  ASSERT_TRUE(waitFor(SERVICE_RUNNING));
  const json second = record();
  EXPECT_NE(second["binaryPath"], first["binaryPath"]);
  EXPECT_NE(second["pid"], first["pid"]);
  EXPECT_TRUE(testing::processGone(DWORD(first["pid"].get<uint64_t>())));
  EXPECT_EQ(second["statuses"].size(), 2u);
  EXPECT_EQ(second["statuses"][1]["state"], SERVICE_RUNNING);
}

TEST_F(WindowsServiceTest, UninstallWhileRunningMarksItAndAReinstallMeetsTheMark) {
  ASSERT_EQ(install().exitCode, 0);
  ASSERT_TRUE(waitFor(SERVICE_RUNNING));
  // Someone still holds the service open (a console, a monitor): the record stays marked.
  ScHandle watcher(open(SERVICE_QUERY_STATUS));
  const Outcome removed = tool({"uninstall"});
  EXPECT_EQ(removed.exitCode, 0) << removed.err;
  EXPECT_NE(removed.out.find("uninstall succeeded\n"), std::string::npos);
  EXPECT_EQ(record()["deleted"], true);
  ASSERT_TRUE(waitFor(SERVICE_STOPPED));

  const Outcome reinstalled = install();
  EXPECT_EQ(reinstalled.exitCode, 1);
  EXPECT_NE(reinstalled.err.find("install service failed: 0x80070430"), std::string::npos) << reinstalled.err;
  watcher.close();
  EXPECT_FALSE(recordExists());
  EXPECT_EQ(install().exitCode, 0);
}

TEST_F(WindowsServiceTest, AFailedStopEventGoesStraightToStoppedWithItsError) {
  SetEnvironmentVariableW(L"TESMIRA_FAULTS", L"CreateEventW=8:1");
  startService(toolRunService(dll_.wstring()));
  ASSERT_TRUE(waitFor(SERVICE_STOPPED));
  EXPECT_EQ(query().dwWin32ExitCode, 8u);
  EXPECT_EQ(record()["statuses"], json::array({statusJson(SERVICE_START_PENDING, 0, 0, 1, 30000),
                                               statusJson(SERVICE_STOPPED, 0, 8, 0, 0)}));
}

TEST_F(WindowsServiceTest, EnsureAndBrokerFailuresLeaveItRunningWithWhatItHas) {
  struct Row {
    const char* label;
    std::wstring dll;
    const wchar_t* faults;
    const char* line;
    bool allChannels;
  } rows[] = {
      {"broker", dll_.wstring(), L"CreateFileMappingW:TesmiraRetouchFrame.v3=8",
       "Broker failed to create shared IPC objects: create frame mapping", false},
      {"missing module", (root() / "nowhere.dll").wstring(), nullptr,
       "Failed to ensure Tesmira virtual camera: 0x80070002", true},
      // The registration's own path check throws on a name the file system refuses.
      {"5,000-character path", L"/" + std::wstring(5000, L'a') + L"/x.dll", nullptr,
       "Failed to ensure Tesmira virtual camera: ", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    SetEnvironmentVariableW(L"TESMIRA_FAULTS", row.faults);
    startService(toolRunService(row.dll));
    ASSERT_TRUE(waitFor(SERVICE_RUNNING));
    EXPECT_NE(log().find(row.line), std::string::npos) << log();
    EXPECT_TRUE(globalMappingExists(kVcamCapabilitiesChannelName));
    EXPECT_TRUE(globalMappingExists(kRetouchSettingsChannelName));
    EXPECT_EQ(globalMappingExists(kFrameChannelName), row.allChannels);
    EXPECT_EQ(globalMappingExists(kProducerStatusChannelName), row.allChannels);

    ScHandle service(open(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(DeleteService(service.get()));
    service.close();
    ASSERT_TRUE(waitUntil([&] { return !recordExists(); }));
    std::ofstream(serviceLogPath(), std::ios::trunc).close();
  }
}

TEST_F(WindowsServiceTest, UninstallWhenAbsentSucceeds) { EXPECT_EQ(uninstallService(), S_OK); }

TEST_F(WindowsServiceTest, TheDispatcherFromAConsoleGivesItsWin32Error) {
  EXPECT_EQ(runServiceDispatcher(ServiceConfig{}), 1063);
  EXPECT_NE(log().find("StartServiceCtrlDispatcher failed: 1063"), std::string::npos);
}

// ---- installService against services that misbehave ---------------------------------

TEST_F(WindowsServiceTest, AServiceIgnoringStopTimesTheInstallOutAfterFifteenSeconds) {
  startService(testing::childCommandLine("serviceIgnoringStop"));
  ASSERT_TRUE(waitFor(SERVICE_RUNNING));
  const DWORD pid = DWORD(record()["pid"].get<uint64_t>());

  platform::testclock::freeze();
  std::atomic<bool> done{false};
  HRESULT result = S_OK;
  std::thread installer([&] {
    ServiceConfig config;
    config.serviceExecutablePath = fs::path(TESMIRA_SERVICE_EXE).wstring();
    config.mediaSourceDllPath = dll_.wstring();
    result = installService(config);
    done = true;
  });
  uint64_t advanced = 0;
  const auto giveUp = SteadyClock::now() + std::chrono::seconds(60);
  while (!done && SteadyClock::now() < giveUp) {
    if (platform::testclock::sleepers() > 0) {
      platform::testclock::advanceMs(100);
      advanced += 100;
      // One step per poll: the sleeper wakes before the clock moves again.
      const auto woke = SteadyClock::now() + std::chrono::seconds(1);
      while (!done && platform::testclock::sleepers() > 0 && SteadyClock::now() < woke) std::this_thread::yield();
    }
    std::this_thread::yield();
  }
  installer.join();
  EXPECT_EQ(result, HRESULT(0x8007041D));
  EXPECT_GE(advanced, 15000u);
  EXPECT_LE(advanced, 15300u);
  // Not started again: the same process still runs.
  EXPECT_EQ(query().dwCurrentState, DWORD(SERVICE_RUNNING));
  EXPECT_EQ(DWORD(record()["pid"].get<uint64_t>()), pid);
}

TEST_F(WindowsServiceTest, InstallOverAServiceStillStartingFailsWithItsStopError) {
  startService(testing::childCommandLine("serviceStuckStarting"));
  ASSERT_TRUE(waitUntil([&] { return record()["statuses"].size() == 1; }));
  ServiceConfig config;
  config.serviceExecutablePath = fs::path(TESMIRA_SERVICE_EXE).wstring();
  config.mediaSourceDllPath = dll_.wstring();
  EXPECT_EQ(installService(config), HRESULT(0x80070425));
}

// ---- the handler, on its own --------------------------------------------------------

TEST(ServiceControlHandler, StopAndShutdownSetStopPendingAndTheEventOtherControlsNothing) {
  struct Row {
    const char* label;
    DWORD control;
    bool stops;
  } rows[] = {{"stop", SERVICE_CONTROL_STOP, true},
              {"shutdown", SERVICE_CONTROL_SHUTDOWN, true},
              {"interrogate", SERVICE_CONTROL_INTERROGATE, false},
              {"pause", SERVICE_CONTROL_PAUSE, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    ServiceState s;
    // A stop during START_PENDING, once the event exists, is answered at once.
    reportServiceStatus(s, SERVICE_START_PENDING, 0, 0, 1, 30000);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s.stopEvent = event;
    EXPECT_EQ(serviceControlHandler(s, row.control, 0, nullptr), DWORD(NO_ERROR));
    const SERVICE_STATUS expected = row.stops ? SERVICE_STATUS{16, SERVICE_STOP_PENDING, 0, 0, 0, 2, 3000}
                                              : SERVICE_STATUS{16, SERVICE_START_PENDING, 0, 0, 0, 1, 30000};
    EXPECT_EQ(s.status.dwCurrentState, expected.dwCurrentState);
    EXPECT_EQ(s.status.dwCheckPoint, expected.dwCheckPoint);
    EXPECT_EQ(s.status.dwWaitHint, expected.dwWaitHint);
    EXPECT_EQ(s.status.dwControlsAccepted, 0u);
    EXPECT_EQ(WaitForSingleObject(event, 0), row.stops ? WAIT_OBJECT_0 : DWORD(WAIT_TIMEOUT));
    closeStopEvent(s);
    EXPECT_EQ(s.stopEvent.load(), nullptr);
    // After the close a stop changes the status but touches no event.
    EXPECT_EQ(serviceControlHandler(s, SERVICE_CONTROL_STOP, 0, nullptr), DWORD(NO_ERROR));
  }
}

}  // namespace
}  // namespace tesmira
