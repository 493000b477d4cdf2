#include <aclapi.h>
#include <sddl.h>
#include <sys/stat.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/base/security.h"
#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

namespace fs = std::filesystem;
using tesmira::platform::security::modeFor;

PSECURITY_DESCRIPTOR parse(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ULONG size = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, &size)) return nullptr;
  EXPECT_GT(size, 0u);
  return sd;
}

struct ModeCase {
  const wchar_t* sddl;
  bool folder;
  uint32_t mode;
};

class SddlMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(SddlMode, TurnsIntoPermissionBits) {
  PSECURITY_DESCRIPTOR sd = parse(GetParam().sddl);
  ASSERT_NE(sd, nullptr);
  EXPECT_EQ(modeFor(sd, GetParam().folder), std::optional<uint32_t>(GetParam().mode)) << std::oct << *modeFor(sd, GetParam().folder);
  LocalFree(sd);
}

INSTANTIATE_TEST_SUITE_P(
    ProductForms, SddlMode,
    ::testing::Values(
        ModeCase{L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;LS)(A;;GRGW;;;BU)(A;;GRGW;;;IU)", false, 0766},
        ModeCase{L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;LS)(A;;GA;;;BU)(A;;GA;;;IU)", false, 0777},
        ModeCase{L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100001;;;BU)", false, 0744},
        ModeCase{L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;LS)(A;;0x1200a9;;;BU)", false, 0755},
        ModeCase{L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;LS)(A;OICI;0x1200a9;;;BU)", true, 0755},
        ModeCase{L"D:P(A;;GA;;;SY)", false, 0700},
        ModeCase{L"D:P(A;;GR;;;BU)", true, 0555},          // a readable folder may be traversed
        ModeCase{L"D:P(D;;GW;;;WD)(A;;GA;;;WD)", false, 0555},  // the first ace that speaks decides
        ModeCase{L"O:BAG:SYD:PAI(A;;FR;;;S-1-5-21-1-2-3-1001)", false, 0444},
        ModeCase{L"D:P", false, 0000}));

TEST(Sddl, MalformedOrUnknownInputIsRefused) {
  for (const wchar_t* bad : {L"", L"D:P(A;;GA;;;SY", L"D:P(X;;GA;;;SY)", L"D:P(A;;ZZ;;;SY)", L"D:P(A;;GA;;;QQ)",
                             L"D:P(A;;GA;;SY)", L"D:P(A;;GA;;;;SY)", L"D:P(A;XX;GA;;;SY)", L"D:P(A;;0x1FFFFFFFF;;;SY)",
                             L"D:P(A;;0xZZ;;;SY)", L"Q:P", L"D:P(A;;GA;;;SY)D:P", L"D:P(A;;GA;;;S-1-)",
                             L"D:P (A;;GA;;;SY)"}) {
    PSECURITY_DESCRIPTOR sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
    SetLastError(0);
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(bad, SDDL_REVISION_1, &sd, nullptr)) << bad;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << bad;
    EXPECT_EQ(sd, nullptr);
  }
  PSECURITY_DESCRIPTOR sd = nullptr;
  EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;SY)", 2, &sd, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_REVISION));
}

TEST(Sddl, ForeignPointersAreNoDescriptors) {
  uint32_t notOurs[64] = {};
  EXPECT_EQ(modeFor(notOurs, false), std::nullopt);
  EXPECT_EQ(modeFor(nullptr, false), std::nullopt);
}

class FileSecurityTest : public tesmira::testing::MachineTest {};

TEST_F(FileSecurityTest, SetFileSecurityChangesTheFilesMode) {
  fs::path file = root() / "f.txt";
  std::ofstream(file) << "x";
  PSECURITY_DESCRIPTOR sd = parse(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)");
  ASSERT_NE(sd, nullptr);
  ASSERT_TRUE(SetFileSecurityW(file.wstring().c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, sd));
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);

  EXPECT_FALSE(SetFileSecurityW((root() / "missing").wstring().c_str(), DACL_SECURITY_INFORMATION, sd));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  uint32_t bogus[64] = {};
  EXPECT_FALSE(SetFileSecurityW(file.wstring().c_str(), DACL_SECURITY_INFORMATION, bogus));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_SECURITY_DESCR));
  LocalFree(sd);
}

TEST_F(FileSecurityTest, CreateDirectoryAppliesTheDescriptor) {
  PSECURITY_DESCRIPTOR sd = parse(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
  SECURITY_ATTRIBUTES sa{sizeof(sa), sd, FALSE};
  fs::path dir = root() / "private";
  ASSERT_TRUE(CreateDirectoryW(dir.wstring().c_str(), &sa));
  struct stat info {};
  ASSERT_EQ(::stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  LocalFree(sd);
}

bool tokenSaysElevated(bool* ok) {
  HANDLE token = nullptr;
  *ok = false;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  *ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
  EXPECT_EQ(size, sizeof(TOKEN_ELEVATION));
  EXPECT_TRUE(CloseHandle(token));
  return elevation.TokenIsElevated != 0;
}

class ElevationTest : public tesmira::testing::MachineTest {
 protected:
  void TearDown() override {
    ::unsetenv("TESMIRA_ELEVATED");
    MachineTest::TearDown();
  }
};

TEST_F(ElevationTest, TestsCanForceEitherAnswer) {
  bool ok = false;
  ::setenv("TESMIRA_ELEVATED", "1", 1);
  EXPECT_TRUE(tokenSaysElevated(&ok));
  EXPECT_TRUE(ok);
  ::setenv("TESMIRA_ELEVATED", "0", 1);
  EXPECT_FALSE(tokenSaysElevated(&ok));
  EXPECT_TRUE(ok);
  ::unsetenv("TESMIRA_ELEVATED");
  EXPECT_EQ(tokenSaysElevated(&ok), ::geteuid() == 0);
}

TEST_F(ElevationTest, TokenErrors) {
  HANDLE token = nullptr;
  EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x1234), TOKEN_QUERY, &token));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  tesmira::platform::faults::inject("OpenProcessToken", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenElevation, &elevation, 2, &size));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, 4u);
  CloseHandle(token);
  EXPECT_FALSE(GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

}  // namespace
