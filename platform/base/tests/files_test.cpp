#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/core/strings.h"
#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

namespace fs = std::filesystem;

class FilesTest : public tesmira::testing::MachineTest {
 protected:
  // The path as the product writes it: backslashes and a drive letter.
  std::wstring win(const fs::path& p) const {
    std::wstring text = L"C:" + tesmira::platform::fromUtf8(p.string());
    for (auto& c : text) {
      if (c == L'/') c = L'\\';
    }
    return text;
  }
  void write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }
};

TEST_F(FilesTest, DirectoriesAndAttributes) {
  fs::path dir = root() / "a";
  EXPECT_TRUE(CreateDirectoryW(win(dir).c_str(), nullptr));
  EXPECT_EQ(GetFileAttributesW(win(dir).c_str()), DWORD(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_FALSE(CreateDirectoryW(win(dir).c_str(), nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateDirectoryW(win(root() / "missing/b").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));

  write(dir / "f.txt", "x");
  EXPECT_EQ(GetFileAttributesW(win(dir / "f.txt").c_str()), DWORD(FILE_ATTRIBUTE_NORMAL));
  EXPECT_FALSE(RemoveDirectoryW(win(dir).c_str()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DIR_NOT_EMPTY));
  EXPECT_FALSE(RemoveDirectoryW(win(dir / "f.txt").c_str()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DIRECTORY));
  EXPECT_TRUE(DeleteFileW(win(dir / "f.txt").c_str()));
  EXPECT_TRUE(RemoveDirectoryW(win(dir).c_str()));
}

TEST_F(FilesTest, MissingPathsSetTheWindowsCodes) {
  struct Case {
    fs::path path;
    DWORD error;
  } cases[] = {{root() / "nothing.txt", ERROR_FILE_NOT_FOUND}, {root() / "no/such/file.txt", ERROR_PATH_NOT_FOUND}};
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesW(win(c.path).c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_FALSE(DeleteFileW(win(c.path).c_str()));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_FALSE(CopyFileW(win(c.path).c_str(), win(root() / "copy").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_FALSE(MoveFileExW(win(c.path).c_str(), win(root() / "moved").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_FALSE(DeleteFileW(win(root()).c_str()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(FilesTest, CopyKeepsOrReplacesTheTarget) {
  write(root() / "src", "new");
  write(root() / "dst", "old");
  EXPECT_FALSE(CopyFileW(win(root() / "src").c_str(), win(root() / "dst").c_str(), TRUE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
  EXPECT_EQ(tesmira::testing::readFile(root() / "dst"), "old");
  EXPECT_TRUE(CopyFileW(win(root() / "src").c_str(), win(root() / "dst").c_str(), FALSE));
  EXPECT_EQ(tesmira::testing::readFile(root() / "dst"), "new");
  EXPECT_FALSE(CopyFileW(win(root() / "src").c_str(), win(root() / "none/dst").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  // Copying a file onto itself must not truncate it.
  EXPECT_FALSE(CopyFileW(win(root() / "src").c_str(), win(root() / "src").c_str(), FALSE));
  EXPECT_EQ(tesmira::testing::readFile(root() / "src"), "new");
}

TEST_F(FilesTest, MoveReplacesOnlyWhenAsked) {
  write(root() / "tmp", "fresh");
  write(root() / "target", "stale");
  EXPECT_FALSE(MoveFileExW(win(root() / "tmp").c_str(), win(root() / "target").c_str(), 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(tesmira::testing::readFile(root() / "target"), "stale");
  EXPECT_TRUE(MoveFileExW(win(root() / "tmp").c_str(), win(root() / "target").c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(tesmira::testing::readFile(root() / "target"), "fresh");
  EXPECT_FALSE(fs::exists(root() / "tmp"));
}

TEST_F(FilesTest, InjectedFailuresReachTheCaller) {
  write(root() / "src", "x");
  tesmira::platform::faults::inject("CopyFileW", ERROR_DISK_FULL, 1);
  EXPECT_FALSE(CopyFileW(win(root() / "src").c_str(), win(root() / "dst").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
  tesmira::platform::faults::inject("MoveFileExW", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(MoveFileExW(win(root() / "src").c_str(), win(root() / "dst").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  tesmira::platform::faults::inject("CreateDirectoryW", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(CreateDirectoryW(win(root() / "d").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(fs::exists(root() / "src"));
  EXPECT_FALSE(fs::exists(root() / "dst"));
}

}  // namespace
