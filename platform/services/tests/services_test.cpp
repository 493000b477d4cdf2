#include <gtest/gtest.h>
#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "tesmira/platform_testing.h"
#include "tests/support/child_main.h"
#include "tests/support/host_calls.h"
#include "tests/support/machine_fixture.h"

namespace {
namespace fs = std::filesystem;
namespace platform = tesmira::platform;
namespace ts = tesmira::testing;
using SteadyClock = std::chrono::steady_clock;

constexpr const wchar_t* kName = L"StandInService";

SERVICE_STATUS_HANDLE gStatus = nullptr;
DWORD gAccepted = 0;
std::atomic<bool> gStopped{false};

DWORD WINAPI stoppingHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, control, 0, 0, 0};
    SetServiceStatus(gStatus, &status);
    gStopped = true;
  }
  return NO_ERROR;
}

void reportRunning() {
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, gAccepted, 0, 0, 0, 0};
  SetServiceStatus(gStatus, &status);
}

// Writes where it runs and as whom, then reaches RUNNING (or stays silent).
void WINAPI recordingMain(DWORD argc, LPWSTR* argv) {
  gStatus = RegisterServiceCtrlHandlerExW(kName, stoppingHandler, nullptr);
  auto variable = [](const wchar_t* name) {
    wchar_t buffer[1024] = L"";
    const DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    return n < 1024 ? std::string(buffer, buffer + n) : std::string();
  };
  std::ofstream(fs::path(variable(L"TESMIRA_MACHINE_ROOT")) / "service-identity.txt")
      << variable(L"USERNAME") << "|" << variable(L"TESMIRA_SESSION_ID") << "|" << variable(L"TESMIRA_TEST_CALLER")
      << "|" << argc << "\n";
  if (gAccepted != 0xFFFFFFFF) reportRunning();
  // Once stopped its process ends, as a service's does: a removed record names no process to clean up.
  while (!gStopped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

int dispatch(DWORD accepted) {
  gAccepted = accepted;
  wchar_t name[] = L"StandInService";
  SERVICE_TABLE_ENTRYW table[] = {{name, recordingMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : int(GetLastError());
}
TESMIRA_CHILD_MAIN(stoppableService) { return dispatch(SERVICE_ACCEPT_STOP); }
TESMIRA_CHILD_MAIN(unstoppableService) { return dispatch(0); }
TESMIRA_CHILD_MAIN(silentService) { return dispatch(0xFFFFFFFF); }
// Started by the manager, but never calls the dispatcher.
TESMIRA_CHILD_MAIN(neverDispatches) {
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

class ServiceManagerTest : public ts::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    SetEnvironmentVariableW(L"TESMIRA_ELEVATED", L"1");
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    ASSERT_NE(manager_, nullptr);
  }
  void TearDown() override {
    for (SC_HANDLE h : opened_) CloseServiceHandle(h);
    CloseServiceHandle(manager_);
    platform::services::endServiceProcesses();
    SetEnvironmentVariableW(L"TESMIRA_ELEVATED", nullptr);
    SetEnvironmentVariableW(L"TESMIRA_TEST_CALLER", nullptr);
    MachineTest::TearDown();
  }
  SC_HANDLE create(const std::string& childMain) {
    const std::wstring line = ts::childCommandLine(childMain);
    SC_HANDLE h = CreateServiceW(manager_, kName, L"Stand-in", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, line.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
    if (h) opened_.push_back(h);
    return h;
  }
  SERVICE_STATUS query(SC_HANDLE h) {
    SERVICE_STATUS status{};
    EXPECT_TRUE(QueryServiceStatus(h, &status));
    return status;
  }
  bool waitFor(SC_HANDLE h, DWORD state) {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(20);
    while (SteadyClock::now() < deadline) {
      if (query(h).dwCurrentState == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  static DWORD failure(BOOL ok) { return ok ? 0 : GetLastError(); }

  SC_HANDLE manager_ = nullptr;
  std::vector<SC_HANDLE> opened_;
};

TEST_F(ServiceManagerTest, StartReturnsOnceTheDispatcherRunsWithTheStartPendingStatus) {
  SC_HANDLE h = create("silentService");
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(StartServiceW(h, 0, nullptr)) << GetLastError();
  const SERVICE_STATUS s = query(h);
  EXPECT_EQ(s.dwCurrentState, DWORD(SERVICE_START_PENDING));
  EXPECT_EQ(s.dwControlsAccepted, 0u);
  EXPECT_EQ(s.dwCheckPoint, 0u);
  EXPECT_EQ(s.dwWaitHint, 2000u);
  EXPECT_EQ(failure(StartServiceW(h, 0, nullptr)), DWORD(ERROR_SERVICE_ALREADY_RUNNING));
  SERVICE_STATUS status{};
  EXPECT_EQ(failure(ControlService(h, SERVICE_CONTROL_STOP, &status)), DWORD(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
}

TEST_F(ServiceManagerTest, StartGivesUpWith1053WhenNoDispatcherConnectsWithinThirtySeconds) {
  SC_HANDLE h = create("neverDispatches");
  ASSERT_NE(h, nullptr);
  platform::testclock::freeze();
  std::atomic<DWORD> result{0xFFFFFFFF};
  std::thread starter([&] { result = failure(StartServiceW(h, 0, nullptr)); });
  // The process is there, starting, and the call waits for it.
  const auto deadline = SteadyClock::now() + std::chrono::seconds(20);
  while (query(h).dwCurrentState != SERVICE_START_PENDING && SteadyClock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(query(h).dwCurrentState, DWORD(SERVICE_START_PENDING));
  platform::testclock::advanceMs(29000);
  EXPECT_EQ(result.load(), 0xFFFFFFFFu) << "gave up before thirty seconds";
  platform::testclock::advanceMs(1000);
  starter.join();
  platform::testclock::release();
  EXPECT_EQ(result.load(), DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
  // The manager ended the process: the service reads stopped, not still starting.
  const SERVICE_STATUS s = query(h);
  EXPECT_EQ(s.dwCurrentState, DWORD(SERVICE_STOPPED));
  EXPECT_EQ(s.dwWin32ExitCode, DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
}

TEST_F(ServiceManagerTest, TheServiceRunsAsLocalSystemInSessionZeroWhateverTheCaller) {
  SetEnvironmentVariableW(L"TESMIRA_TEST_CALLER", L"leak");
  SC_HANDLE h = create("stoppableService");
  ASSERT_TRUE(StartServiceW(h, 0, nullptr));
  ASSERT_TRUE(waitFor(h, SERVICE_RUNNING));
  EXPECT_EQ(ts::readFile(root() / "service-identity.txt"), "SYSTEM|0||1\n");
}

TEST_F(ServiceManagerTest, ControlsAnswerByStateAndAcceptedControls) {
  struct Row {
    const char* label;
    const char* main;
    bool start;
    DWORD control;
    DWORD error;
  } rows[] = {
      {"stopped", "stoppableService", false, SERVICE_CONTROL_STOP, ERROR_SERVICE_NOT_ACTIVE},
      {"stop not accepted", "unstoppableService", true, SERVICE_CONTROL_STOP, ERROR_INVALID_SERVICE_CONTROL},
      {"shutdown is the system's", "stoppableService", true, SERVICE_CONTROL_SHUTDOWN, ERROR_INVALID_PARAMETER},
      {"stop reaches the handler", "stoppableService", true, SERVICE_CONTROL_STOP, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    SC_HANDLE h = create(row.main);
    ASSERT_NE(h, nullptr);
    if (row.start) {
      ASSERT_TRUE(StartServiceW(h, 0, nullptr));
      ASSERT_TRUE(waitFor(h, SERVICE_RUNNING));
    }
    SERVICE_STATUS status{};
    EXPECT_EQ(failure(ControlService(h, row.control, &status)), row.error);
    if (row.error == 0) {
      EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOPPED));
      EXPECT_EQ(status.dwWin32ExitCode, DWORD(SERVICE_CONTROL_STOP));  // the handler's own status came back
    }
    platform::services::endServiceProcesses();
    ASSERT_TRUE(waitFor(h, SERVICE_STOPPED));
    ASSERT_TRUE(DeleteService(h));
    ASSERT_TRUE(CloseServiceHandle(h));
    opened_.pop_back();
  }
}

TEST_F(ServiceManagerTest, AProcessThatEndsWithoutStoppedReadsAborted) {
  SC_HANDLE h = create("stoppableService");
  ASSERT_TRUE(StartServiceW(h, 0, nullptr));
  ASSERT_TRUE(waitFor(h, SERVICE_RUNNING));
  platform::services::endServiceProcesses();
  ASSERT_TRUE(waitFor(h, SERVICE_STOPPED));
  EXPECT_EQ(query(h).dwWin32ExitCode, DWORD(ERROR_PROCESS_ABORTED));
}

TEST_F(ServiceManagerTest, ADeletedServiceStaysMarkedUntilStoppedAndEveryHandleClosed) {
  SC_HANDLE h = create("stoppableService");
  ASSERT_TRUE(StartServiceW(h, 0, nullptr));
  ASSERT_TRUE(waitFor(h, SERVICE_RUNNING));
  SC_HANDLE other = OpenServiceW(manager_, L"standinservice", SERVICE_QUERY_STATUS);  // names ignore case
  ASSERT_NE(other, nullptr);
  ASSERT_TRUE(DeleteService(h));
  EXPECT_EQ(failure(DeleteService(h)), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_EQ(failure(StartServiceW(h, 0, nullptr)), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_EQ(failure(ChangeServiceConfigW(h, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr)),
            DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_EQ(create("stoppableService"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(waitFor(h, SERVICE_STOPPED));
  const fs::path record = root() / "services" / "standinservice.json";
  EXPECT_TRUE(fs::exists(record));
  CloseServiceHandle(other);
  EXPECT_TRUE(fs::exists(record));
  CloseServiceHandle(h);
  opened_.clear();
  EXPECT_FALSE(fs::exists(record));
  EXPECT_NE(create("stoppableService"), nullptr);
}

TEST_F(ServiceManagerTest, CreateOpenAndConfigureFollowTheManagersRules) {
  ASSERT_NE(create("stoppableService"), nullptr);
  EXPECT_EQ(create("stoppableService"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_EXISTS));
  EXPECT_EQ(OpenServiceW(manager_, L"Nothing", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
  // SERVICE_NO_CHANGE and null strings keep what was there.
  ASSERT_TRUE(ChangeServiceConfigW(opened_[0], SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, L"new line",
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  const std::string text = ts::readFile(root() / "services" / "standinservice.json");
  EXPECT_NE(text.find("\"binaryPath\": \"new line\""), std::string::npos);
  EXPECT_NE(text.find("\"displayName\": \"Stand-in\""), std::string::npos);
  EXPECT_NE(text.find("\"startType\": 2"), std::string::npos);
  EXPECT_NE(text.find("\"errorControl\": 1"), std::string::npos);

  SetEnvironmentVariableW(L"TESMIRA_ELEVATED", L"0");
  EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenServiceW(manager_, kName, SERVICE_STOP), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  SC_HANDLE reader = OpenServiceW(manager_, kName, SERVICE_QUERY_STATUS);
  EXPECT_NE(reader, nullptr);
  CloseServiceHandle(reader);
}

TEST_F(ServiceManagerTest, AMalformedRecordIsAnErrorNotACrash) {
  fs::create_directories(root() / "services");
  for (const char* text : {"not json", "[]", "{\"name\": 5}", "{}"}) {
    SCOPED_TRACE(text);
    std::ofstream(root() / "services" / "standinservice.json", std::ios::trunc) << text;
    EXPECT_EQ(OpenServiceW(manager_, kName, SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_REGISTRY_CORRUPT));
    EXPECT_EQ(create("stoppableService"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_REGISTRY_CORRUPT));
  }
}

TEST_F(ServiceManagerTest, TheDispatcherRefusesAProcessTheManagerDidNotStart) {
  wchar_t name[] = L"StandInService";
  SERVICE_TABLE_ENTRYW table[] = {{name, recordingMain}, {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_EQ(RegisterServiceCtrlHandlerExW(kName, stoppingHandler, nullptr), nullptr);
}

TEST_F(ServiceManagerTest, EveryCallHasAFaultSite) {
  SC_HANDLE h = create("stoppableService");
  ASSERT_NE(h, nullptr);
  SERVICE_STATUS status{};
  const struct {
    const char* site;
    std::function<BOOL()> call;
  } rows[] = {
      {"OpenSCManagerW", [] { return OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT) != nullptr; }},
      {"OpenServiceW", [&] { return OpenServiceW(manager_, kName, SERVICE_QUERY_STATUS) != nullptr; }},
      {"CreateServiceW",
       [&] {
         return CreateServiceW(manager_, L"Other", nullptr, SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"x", nullptr, nullptr, nullptr, nullptr,
                               nullptr) != nullptr;
       }},
      {"ChangeServiceConfigW",
       [&] {
         return ChangeServiceConfigW(h, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr);
       }},
      {"QueryServiceStatus", [&] { return QueryServiceStatus(h, &status); }},
      {"StartServiceW", [&] { return StartServiceW(h, 0, nullptr); }},
      {"ControlService", [&] { return ControlService(h, SERVICE_CONTROL_STOP, &status); }},
      {"DeleteService", [&] { return DeleteService(h); }},
      {"ChangeServiceConfig2W",
       [&] {
         wchar_t text[] = L"x";
         SERVICE_DESCRIPTIONW d{text};
         return ChangeServiceConfig2W(h, SERVICE_CONFIG_DESCRIPTION, &d);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.site);
    platform::faults::inject(row.site, ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_FALSE(row.call());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  }
}

}  // namespace
