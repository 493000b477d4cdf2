#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "tesmira/version_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

namespace vt = tesmira::platform::versiontesting;

class VersionInfoTest : public tesmira::testing::MachineTest {
 protected:
  std::wstring write(const std::vector<uint8_t>& bytes, const std::string& name = "app.exe") {
    const auto file = root() / name;
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return file.wstring();
  }
  std::vector<uint8_t> load(const std::wstring& file) {
    DWORD handle = 7;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    std::vector<uint8_t> block(size);
    if (size) {
      EXPECT_TRUE(GetFileVersionInfoW(file.c_str(), 0, size, block.data()));
    }
    return block;
  }
  static std::wstring text(const std::vector<uint8_t>& block, const wchar_t* query) {
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), query, &value, &length)) return L"<none>";
    return std::wstring(static_cast<const wchar_t*>(value), wcsnlen(static_cast<const wchar_t*>(value), length));
  }
};

TEST_F(VersionInfoTest, QueriesReachTheFixedInfoTheTranslationAndTheStrings) {
  const auto block = load(write(vt::peWithVersionResource(
      vt::versionBlock({0x0409, 0x04b0, {{L"FileDescription", L"Zoom Meetings"}, {L"ProductName", L"Zoom"}}}))));
  ASSERT_FALSE(block.empty());

  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
  ASSERT_EQ(length, 52u);
  uint32_t signature = 0;
  std::memcpy(&signature, value, 4);
  EXPECT_EQ(signature, 0xFEEF04BDu);

  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, 4u);
  const uint8_t translation[] = {0x09, 0x04, 0xb0, 0x04};
  EXPECT_EQ(std::memcmp(value, translation, 4), 0);

  EXPECT_EQ(text(block, L"\\StringFileInfo\\040904b0\\FileDescription"), L"Zoom Meetings");
  EXPECT_EQ(text(block, L"\\StringFileInfo\\040904B0\\productname"), L"Zoom");  // keys ignore case
  EXPECT_EQ(text(block, L"\\StringFileInfo\\040904b0\\CompanyName"), L"<none>");
  EXPECT_EQ(text(block, L"\\StringFileInfo\\04070000\\FileDescription"), L"<none>");
}

TEST_F(VersionInfoTest, TextOutsideTheBmpComesBackAsOneWideCharacter) {
  const std::wstring face = {wchar_t(0x1F600)};
  const auto block =
      load(write(vt::peWithVersionResource(vt::versionBlock({0x0409, 0x04b0, {{L"ProductName", L"A" + face + L"B"}}}))));
  EXPECT_EQ(text(block, L"\\StringFileInfo\\040904b0\\ProductName"), L"A" + face + L"B");
}

TEST_F(VersionInfoTest, ATooSmallBufferIsRefused) {
  const auto file = write(vt::peWithVersionResource(vt::versionBlock({0x0409, 0x04b0, {{L"ProductName", L"Zoom"}}})));
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> block(size);
  EXPECT_FALSE(GetFileVersionInfoW(file.c_str(), 0, size - 1, block.data()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
}

// Every offset of the file is checked: a damaged file gives no resource, never a read outside it.
TEST_F(VersionInfoTest, FilesWithoutAUsableResourceGiveNone) {
  const std::vector<uint8_t> good =
      vt::peWithVersionResource(vt::versionBlock({0x0409, 0x04b0, {{L"ProductName", L"Zoom"}}}));
  const size_t blockAt = vt::versionBlockOffset();
  auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> out = good;
    std::copy(bytes.begin(), bytes.end(), out.begin() + std::ptrdiff_t(at));
    return out;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    DWORD error;
  };
  const Case cases[] = {
      {"NotAnExecutable", {'\x7f', 'E', 'L', 'F', 2, 1, 1, 0}, ERROR_BAD_EXE_FORMAT},
      {"HeaderOffsetOutsideTheFile", patched(0x3C, {0xF0, 0xFF, 0xFF, 0x7F}), ERROR_BAD_EXE_FORMAT},
      {"NoResources", vt::peWithVersionResource({}), ERROR_RESOURCE_DATA_NOT_FOUND},
      {"ResourceTypeMissing", patched(0x200 + 16, {24, 0, 0, 0}), ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"DirectoryEntryOutsideTheSection", patched(0x200 + 20, {0xF0, 0xFF, 0, 0x80}), ERROR_RESOURCE_DATA_NOT_FOUND},
      {"DataBeyondTheSection", patched(0x200 + 0x4C, {0xFF, 0xFF, 0, 0}), ERROR_RESOURCE_DATA_NOT_FOUND},
      {"BlockLongerThanTheResource", patched(blockAt, {0xFF, 0x7F}), ERROR_RESOURCE_DATA_NOT_FOUND},
      {"BlockOfAnotherKey", patched(blockAt + 6, {'X', 0}), ERROR_RESOURCE_DATA_NOT_FOUND},
      {"CutShort", std::vector<uint8_t>(good.begin(), good.begin() + std::ptrdiff_t(blockAt + 20)),
       ERROR_RESOURCE_DATA_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = write(c.bytes, std::string(c.name) + ".exe");
    EXPECT_EQ(GetFileVersionInfoSizeW(file.c_str(), nullptr), 0u);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(GetFileVersionInfoSizeW((root() / "missing.exe").wstring().c_str(), nullptr), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(VersionInfoTest, AStringLongerThanItsNodeIsNotFound) {
  std::vector<uint8_t> block = vt::versionBlock({0x0409, 0x04b0, {{L"ProductName", L"Zoom"}}});
  // The String node's value length: the last node of the StringTable, found by its key.
  const std::u16string key = u"ProductName";
  const auto at = std::search(block.begin(), block.end(), reinterpret_cast<const uint8_t*>(key.data()),
                              reinterpret_cast<const uint8_t*>(key.data() + key.size()));
  ASSERT_NE(at, block.end());
  const size_t node = size_t(at - block.begin()) - 6;
  block[node + 2] = 0xFF;
  const auto loaded = load(write(vt::peWithVersionResource(block)));
  ASSERT_FALSE(loaded.empty());
  EXPECT_EQ(text(loaded, L"\\StringFileInfo\\040904b0\\ProductName"), L"<none>");
}

}  // namespace
