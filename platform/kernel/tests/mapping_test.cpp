#include <windows.h>
#include <sddl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "platform/kernel/tests/spawn.h"
#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

using tesmira::testing::spawnChild;
using tesmira::testing::waitChild;
namespace faults = tesmira::platform::faults;

class MappingTest : public tesmira::testing::MachineTest {
 protected:
  void TearDown() override {
    ::unsetenv("TESMIRA_ELEVATED");
    ::unsetenv("TESMIRA_SERVICE");
    ::unsetenv("TESMIRA_SESSION_ID");
    MachineTest::TearDown();
  }
};

HANDLE createMapping(const wchar_t* name, DWORD size, DWORD protect = PAGE_READWRITE) {
  return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, protect, 0, size, name);
}

TEST_F(MappingTest, OpenAndCreateSetTheLastErrorAsWindowsDoes) {
  enum Step { Open, Create };
  struct Case {
    Step step;
    bool handle;
    DWORD error;
  };
  // One name, in this order: open fails, create makes it, create again joins, open finds it.
  const Case cases[] = {
      {Open, false, ERROR_FILE_NOT_FOUND},
      {Create, true, ERROR_SUCCESS},
      {Create, true, ERROR_ALREADY_EXISTS},
      {Open, true, ERROR_SUCCESS},
  };
  std::vector<HANDLE> held;
  for (const auto& c : cases) {
    SetLastError(12345);
    HANDLE h = c.step == Open ? OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, L"Local\\Probe.v1")
                              : createMapping(L"Local\\Probe.v1", 80);
    EXPECT_EQ(h != nullptr, c.handle) << "step " << int(&c - cases);
    EXPECT_EQ(GetLastError(), c.error) << "step " << int(&c - cases);
    if (h) held.push_back(h);
  }
  for (HANDLE h : held) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(MappingTest, HandlesOfOneNameShareBytes) {
  HANDLE a = createMapping(L"Local\\Shared.v1", 4096);
  HANDLE b = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\Shared.v1");
  ASSERT_TRUE(a && b);
  auto* w = static_cast<uint32_t*>(MapViewOfFile(a, FILE_MAP_WRITE, 0, 0, 4096));
  auto* r = static_cast<const uint32_t*>(MapViewOfFile(b, FILE_MAP_READ, 0, 0, 0));
  ASSERT_TRUE(w && r);
  w[100] = 0x54535631;
  EXPECT_EQ(r[100], 0x54535631u);
  EXPECT_TRUE(UnmapViewOfFile(w));
  EXPECT_TRUE(UnmapViewOfFile(r));
  EXPECT_FALSE(UnmapViewOfFile(r));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_ADDRESS));
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(MappingTest, NamesAreCaseSensitiveAndLocalIsPerSession) {
  HANDLE h = createMapping(L"Local\\Tesmira.v1", 64);
  ASSERT_TRUE(h);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\tesmira.v1"), nullptr);
  HANDLE unprefixed = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Tesmira.v1");
  EXPECT_NE(unprefixed, nullptr) << "an unprefixed name lives in the session namespace";
  ::setenv("TESMIRA_ELEVATED", "1", 1);
  HANDLE global = createMapping(L"Global\\Tesmira.v1", 64);
  ::setenv("TESMIRA_SESSION_ID", "2", 1);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\Tesmira.v1"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  HANDLE fromOtherSession = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\Tesmira.v1");
  EXPECT_NE(fromOtherSession, nullptr) << "Global\\ is machine-wide";
  CloseHandle(fromOtherSession);
  CloseHandle(global);
  CloseHandle(unprefixed);
  CloseHandle(h);
}

TEST_F(MappingTest, GlobalCreationNeedsPrivilegeSoCallersFallBackToLocal) {
  struct Case {
    const char* elevated;
    const char* service;
    bool injectRefusal;
    bool globalCreated;
  };
  const Case cases[] = {
      {"0", nullptr, false, false},  // a plain user
      {"1", nullptr, false, true},   // elevated
      {"0", "1", false, true},       // a service
      {"1", nullptr, true, false},   // a test refuses it
  };
  for (const auto& c : cases) {
    ::setenv("TESMIRA_ELEVATED", c.elevated, 1);
    if (c.service) {
      ::setenv("TESMIRA_SERVICE", c.service, 1);
    } else {
      ::unsetenv("TESMIRA_SERVICE");
    }
    if (c.injectRefusal) faults::inject("CreateFileMappingW.Global", ERROR_ACCESS_DENIED);
    HANDLE global = createMapping(L"Global\\TesmiraVcamControl.v2", 80);
    EXPECT_EQ(global != nullptr, c.globalCreated) << "case " << int(&c - cases);
    if (!global) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
      HANDLE local = createMapping(L"Local\\TesmiraVcamControl.v2", 80);
      EXPECT_NE(local, nullptr);
      CloseHandle(local);
    }
    if (global) CloseHandle(global);
    faults::clearAll();
  }
}

TEST_F(MappingTest, AnExistingGlobalObjectIsJoinedWithoutPrivilege) {
  ::setenv("TESMIRA_ELEVATED", "1", 1);
  HANDLE service = createMapping(L"Global\\TesmiraProducerStatus.v1", 40);
  ASSERT_TRUE(service);
  ::setenv("TESMIRA_ELEVATED", "0", 1);
  HANDLE user = createMapping(L"Global\\TesmiraProducerStatus.v1", 40);
  EXPECT_NE(user, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  CloseHandle(user);
  CloseHandle(service);
}

TEST_F(MappingTest, ViewsBeyondTheSectionAreRefused) {
  struct Case {
    DWORD sectionSize;
    DWORD offset;
    SIZE_T viewSize;
    DWORD error;  // ERROR_SUCCESS: the view is mapped
  };
  const Case cases[] = {
      {6220880, 0, 6220880, ERROR_SUCCESS},
      {6220880, 0, 0, ERROR_SUCCESS},                   // 0 maps the whole section
      {6220880, 0, 6220881, ERROR_ACCESS_DENIED},       // one byte too many
      {80, 0, 4096, ERROR_ACCESS_DENIED},               // even within the last page
      {40, 0, 40, ERROR_SUCCESS},
      {6220880, 65536, 6220880 - 65536, ERROR_SUCCESS},
      {6220880, 65536, 6220880, ERROR_ACCESS_DENIED},
      {6220880, 4096, 80, ERROR_MAPPED_ALIGNMENT},      // offsets are 64 KiB aligned
      {80, 65536, 0, ERROR_ACCESS_DENIED},              // offset past the end
  };
  for (const auto& c : cases) {
    HANDLE h = createMapping(nullptr, c.sectionSize);
    ASSERT_TRUE(h);
    void* view = MapViewOfFile(h, FILE_MAP_READ | FILE_MAP_WRITE, 0, c.offset, c.viewSize);
    if (c.error == ERROR_SUCCESS) {
      ASSERT_NE(view, nullptr) << "case " << int(&c - cases);
      // Touch the last byte: it must exist (no SIGBUS).
      SIZE_T length = c.viewSize ? c.viewSize : c.sectionSize - c.offset;
      static_cast<volatile char*>(view)[length - 1] = 1;
      UnmapViewOfFile(view);
    } else {
      EXPECT_EQ(view, nullptr) << "case " << int(&c - cases);
      EXPECT_EQ(GetLastError(), c.error) << "case " << int(&c - cases);
    }
    CloseHandle(h);
  }
}

TEST_F(MappingTest, AnExistingSectionKeepsItsSize) {
  HANDLE first = createMapping(L"Local\\Sized.v1", 40);
  HANDLE second = createMapping(L"Local\\Sized.v1", 80);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(MapViewOfFile(second, FILE_MAP_READ, 0, 0, 80), nullptr);
  void* view = MapViewOfFile(second, FILE_MAP_READ, 0, 0, 40);
  EXPECT_NE(view, nullptr);
  UnmapViewOfFile(view);
  CloseHandle(second);
  CloseHandle(first);
}

TEST_F(MappingTest, WriteAccessFollowsTheHandleAndTheProtection) {
  struct Case {
    DWORD protect;
    DWORD openAccess;  // 0: use the creating handle
    DWORD viewAccess;
    bool mapped;
  };
  const Case cases[] = {
      {PAGE_READWRITE, 0, FILE_MAP_WRITE, true},
      {PAGE_READWRITE, FILE_MAP_READ, FILE_MAP_WRITE, false},
      {PAGE_READWRITE, FILE_MAP_READ, FILE_MAP_READ, true},
      {PAGE_READWRITE, FILE_MAP_ALL_ACCESS, FILE_MAP_ALL_ACCESS, true},
      {PAGE_READONLY, 0, FILE_MAP_WRITE, false},
      {PAGE_READONLY, 0, FILE_MAP_READ, true},
  };
  for (const auto& c : cases) {
    HANDLE created = createMapping(L"Local\\Access.v1", 4096, c.protect);
    ASSERT_TRUE(created);
    HANDLE h = c.openAccess ? OpenFileMappingW(c.openAccess, FALSE, L"Local\\Access.v1") : created;
    ASSERT_TRUE(h);
    void* view = MapViewOfFile(h, c.viewAccess, 0, 0, 0);
    EXPECT_EQ(view != nullptr, c.mapped) << "case " << int(&c - cases);
    if (view) {
      UnmapViewOfFile(view);
    } else {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    }
    if (h != created) CloseHandle(h);
    CloseHandle(created);
  }
  HANDLE readOnly = createMapping(L"Local\\ReadOnly.v1", 4096, PAGE_READONLY);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_WRITE, FALSE, L"Local\\ReadOnly.v1"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  CloseHandle(readOnly);
}

TEST_F(MappingTest, TheSecurityDescriptorBecomesTheObjectsPermissions) {
  struct Case {
    const wchar_t* sddl;  // null: default security
    mode_t mode;
  };
  const Case cases[] = {
      {nullptr, 0600},                                                                   // the creator only
      {L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;LS)(A;;GRGW;;;BU)(A;;GRGW;;;IU)", 0666},  // every channel
      {L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", 0600},
  };
  for (const auto& c : cases) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
    if (c.sddl) {
      ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1,
                                                                       &sa.lpSecurityDescriptor, nullptr));
    }
    HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, 80, L"Local\\Secured.v1");
    ASSERT_TRUE(h);
    struct stat st{};
    ASSERT_EQ(::stat((root() / "objects" / "Session1" / "Secured.v1.map").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode) << int(&c - cases);
    CloseHandle(h);
    if (sa.lpSecurityDescriptor) LocalFree(sa.lpSecurityDescriptor);
  }
}

TEST_F(MappingTest, BadArgumentsAreRefused) {
  EXPECT_EQ(createMapping(L"Local\\Zero.v1", 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0xFFFFFFFF, 0, L"Local\\Huge.v1"),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(createMapping(L"Local\\Bad.v1", 80, 0x1234), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(createMapping(L"Local\\a\\b", 80), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
  EXPECT_EQ(MapViewOfFile(reinterpret_cast<HANDLE>(0x7777), FILE_MAP_READ, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  faults::inject("MapViewOfFile", ERROR_NOT_ENOUGH_MEMORY, 1);
  HANDLE h = createMapping(nullptr, 80);
  EXPECT_EQ(MapViewOfFile(h, FILE_MAP_READ, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  CloseHandle(h);
}

TEST_F(MappingTest, AnObjectLivesWhileAHandleOrAViewHoldsIt) {
  HANDLE h = createMapping(L"Local\\Life.v1", 4096);
  auto* view = static_cast<char*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_TRUE(view);
  std::strcpy(view, "kept");
  CloseHandle(h);
  HANDLE again = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\Life.v1");
  ASSERT_NE(again, nullptr) << "the view keeps the section";
  auto* seen = static_cast<const char*>(MapViewOfFile(again, FILE_MAP_READ, 0, 0, 0));
  EXPECT_STREQ(seen, "kept");
  UnmapViewOfFile(seen);
  CloseHandle(again);
  UnmapViewOfFile(view);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\Life.v1"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  HANDLE fresh = createMapping(L"Local\\Life.v1", 4096);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  auto* zeroed = static_cast<const char*>(MapViewOfFile(fresh, FILE_MAP_READ, 0, 0, 0));
  EXPECT_EQ(zeroed[0], 0);
  UnmapViewOfFile(zeroed);
  CloseHandle(fresh);
}

TEST_F(MappingTest, AReadOnlyViewCannotBeWritten) {
  HANDLE h = createMapping(L"Local\\Guarded.v1", 4096);
  auto* view = static_cast<char*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, 0));
  ASSERT_TRUE(view);
  EXPECT_DEATH(view[0] = 1, "");
  UnmapViewOfFile(view);
  CloseHandle(h);
}

// Child: maps the frame channel the parent made and checks its bytes.
TESMIRA_CHILD_MAIN(readFrameChannel) {
  HANDLE h = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\TesmiraRetouchFrame.v3");
  if (!h) return 10;
  auto* bytes = static_cast<const uint8_t*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, 6220880));
  if (!bytes) return 11;
  uint32_t magic;
  std::memcpy(&magic, bytes, 4);
  int result = (magic == 0x54535631 && bytes[6220879] == 0xAB) ? 0 : 12;
  UnmapViewOfFile(bytes);
  CloseHandle(h);
  return result;
}

TEST_F(MappingTest, AChildSeesTheBytesOfAChannelTheParentCreated) {
  HANDLE h = createMapping(L"Local\\TesmiraRetouchFrame.v3", 6220880);
  auto* bytes = static_cast<uint8_t*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_TRUE(bytes);
  uint32_t magic = 0x54535631;
  std::memcpy(bytes, &magic, 4);
  bytes[6220879] = 0xAB;
  EXPECT_EQ(waitChild(spawnChild("readFrameChannel")), 0);
  UnmapViewOfFile(bytes);
  CloseHandle(h);
}

// Child: creates a channel, says so through an event, and waits to be killed.
TESMIRA_CHILD_MAIN(holdChannelUntilKilled) {
  HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 80, L"Local\\Orphan.v1");
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\OrphanReady");
  if (!h || !ready) return 10;
  SetEvent(ready);
  for (;;) Sleep(1000);
}

TEST_F(MappingTest, AChannelWhoseHoldersWereKilledIsGone) {
  HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, L"Local\\OrphanReady");
  pid_t child = spawnChild("holdChannelUntilKilled");
  ASSERT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0);
  HANDLE seen = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\Orphan.v1");
  EXPECT_NE(seen, nullptr);
  CloseHandle(seen);
  ::kill(child, SIGKILL);
  EXPECT_EQ(waitChild(child), 128 + SIGKILL);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\Orphan.v1"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  CloseHandle(ready);
}

}  // namespace
