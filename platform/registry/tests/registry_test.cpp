#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/kernel/tests/spawn.h"
#include "tesmira/platform_testing.h"
#include "tests/support/host_calls.h"
#include "tests/support/machine_fixture.h"

namespace {

using tesmira::testing::readFile;
using tesmira::testing::spawnChild;
using tesmira::testing::waitChild;
namespace faults = tesmira::platform::faults;

class RegistryTest : public tesmira::testing::MachineTest {
 protected:
  void TearDown() override {
    ::unsetenv("TESMIRA_ELEVATED");
    ::unsetenv("USERNAME");
    MachineTest::TearDown();
  }
  HKEY create(HKEY root, const wchar_t* path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition),
              ERROR_SUCCESS);
    return key;
  }
};

std::vector<BYTE> bytesOf(const void* data, size_t size) {
  auto* p = static_cast<const BYTE*>(data);
  return std::vector<BYTE>(p, p + size);
}

std::vector<BYTE> wideBytes(const wchar_t* text) { return bytesOf(text, (std::wcslen(text) + 1) * sizeof(wchar_t)); }

TEST_F(RegistryTest, EveryTypeRoundTripsThroughQueryAndGet) {
  DWORD dword = 0x01020304;
  ULONGLONG qword = 0x1122334455667788ull;
  BYTE binary[] = {0, 1, 2, 0xFF};
  struct Case {
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> data;
  };
  const Case cases[] = {
      {L"Provider", REG_SZ, wideBytes(L"directml")},
      {L"", REG_SZ, wideBytes(L"Tesmira Retouch Media Source")},  // the default value
      {L"Path", REG_EXPAND_SZ, wideBytes(L"C:\\ProgramData\\Tesmira\\Vcam\\tesmira_windows_vcam_source.dll")},
      {L"Unicode", REG_SZ, wideBytes(L"Caf\u00e9 \u2014 \U0001F600")},
      {L"Empty", REG_SZ, wideBytes(L"")},
      {L"IdleStopMs", REG_DWORD, bytesOf(&dword, 4)},
      {L"LastUsedTimeStart", REG_QWORD, bytesOf(&qword, 8)},
      {L"Blob", REG_BINARY, bytesOf(binary, sizeof binary)},
  };
  HKEY key = create(HKEY_CURRENT_USER, L"Software\\Tesmira");
  for (const auto& c : cases) {
    ASSERT_EQ(RegSetValueExW(key, c.name, 0, c.type, c.data.data(), DWORD(c.data.size())), ERROR_SUCCESS);
  }
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tesmira", 0, KEY_READ | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
  for (const auto& c : cases) {
    std::vector<BYTE> got(256);
    DWORD type = 0, size = DWORD(got.size());
    ASSERT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, got.data(), &size), ERROR_SUCCESS);
    got.resize(size);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(got, c.data) << "RegQueryValueExW " << int(&c - cases);

    got.assign(256, 0);
    size = DWORD(got.size());
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Tesmira", c.name,
                           RRF_RT_ANY | RRF_NOEXPAND | RRF_SUBKEY_WOW6464KEY, &type, got.data(), &size),
              ERROR_SUCCESS);
    got.resize(size);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(got, c.data) << "RegGetValueW " << int(&c - cases);
  }
  RegCloseKey(key);
}

TEST_F(RegistryTest, BufferSizesFollowTheQueryRules) {
  HKEY key = create(HKEY_CURRENT_USER, L"Software\\Tesmira");
  auto value = wideBytes(L"directml");  // 9 units with the terminator
  RegSetValueExW(key, L"Provider", 0, REG_SZ, value.data(), DWORD(value.size()));
  const DWORD need = DWORD(value.size());
  struct Case {
    bool withBuffer;
    DWORD bufferBytes;
    LSTATUS status;
    DWORD reportedBytes;
  };
  const Case cases[] = {
      {false, 0, ERROR_SUCCESS, need},           // size query
      {true, need - 1, ERROR_MORE_DATA, need},   // one byte short
      {true, 0, ERROR_MORE_DATA, need},
      {true, need, ERROR_SUCCESS, need},
      {true, need + 40, ERROR_SUCCESS, need},
  };
  for (const auto& c : cases) {
    std::vector<BYTE> buffer(c.bufferBytes + 1, 0xEE);
    DWORD size = c.bufferBytes;
    BYTE* data = c.withBuffer ? buffer.data() : nullptr;
    EXPECT_EQ(RegQueryValueExW(key, L"Provider", nullptr, nullptr, data, &size), c.status) << int(&c - cases);
    EXPECT_EQ(size, c.reportedBytes) << int(&c - cases);
    size = c.bufferBytes;
    EXPECT_EQ(RegGetValueW(key, nullptr, L"Provider", RRF_RT_REG_SZ, nullptr, data, &size), c.status)
        << int(&c - cases);
    EXPECT_EQ(size, c.reportedBytes) << int(&c - cases);
  }
  BYTE one[4];
  EXPECT_EQ(RegQueryValueExW(key, L"Provider", nullptr, nullptr, one, nullptr), ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(RegistryTest, GetValueTerminatesStringsAndChecksTypes) {
  HKEY key = create(HKEY_CURRENT_USER, L"Software\\Tesmira");
  const wchar_t unterminated[] = {L'a', L'b'};
  RegSetValueExW(key, L"Raw", 0, REG_SZ, reinterpret_cast<const BYTE*>(unterminated), sizeof unterminated);
  DWORD one = 1;
  RegSetValueExW(key, L"Enabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
  wchar_t text[8] = {};
  DWORD size = sizeof text;
  EXPECT_EQ(RegGetValueW(key, nullptr, L"Raw", RRF_RT_REG_SZ, nullptr, text, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3 * sizeof(wchar_t));
  EXPECT_STREQ(text, L"ab");

  struct Case {
    const wchar_t* value;
    DWORD flags;
    LSTATUS status;
  };
  const Case cases[] = {
      {L"Enabled", RRF_RT_REG_DWORD, ERROR_SUCCESS},
      {L"Enabled", RRF_RT_DWORD, ERROR_SUCCESS},
      {L"Enabled", RRF_RT_REG_SZ, ERROR_UNSUPPORTED_TYPE},
      {L"Raw", RRF_RT_REG_DWORD, ERROR_UNSUPPORTED_TYPE},
      {L"Raw", RRF_RT_REG_QWORD, ERROR_UNSUPPORTED_TYPE},
      {L"Missing", RRF_RT_ANY, ERROR_FILE_NOT_FOUND},
      {L"Enabled", 0, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    BYTE buffer[64];
    DWORD bytes = sizeof buffer;
    EXPECT_EQ(RegGetValueW(key, nullptr, c.value, c.flags, nullptr, buffer, &bytes), c.status) << int(&c - cases);
  }
  RegCloseKey(key);
  DWORD bytes = 4;
  DWORD v = 7;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Nobody", L"X", RRF_RT_REG_DWORD | RRF_ZEROONFAILURE,
                         nullptr, &v, &bytes),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(v, 0u);
}

TEST_F(RegistryTest, ExpandableStringsAreExpandedUnlessAskedNotTo) {
  ::setenv("TESMIRA_TEST_FOLDER", "/opt/tesmira", 1);
  HKEY key = create(HKEY_CURRENT_USER, L"Software\\Tesmira");
  auto raw = wideBytes(L"%tesmira_test_folder%\\bin;%NOT_SET_ANYWHERE%");
  RegSetValueExW(key, L"Where", 0, REG_EXPAND_SZ, raw.data(), DWORD(raw.size()));
  wchar_t text[128];
  DWORD size = sizeof text, type = 0;
  ASSERT_EQ(RegGetValueW(key, nullptr, L"Where", RRF_RT_REG_SZ, &type, text, &size), ERROR_SUCCESS);
  EXPECT_STREQ(text, L"/opt/tesmira\\bin;%NOT_SET_ANYWHERE%");
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(size, (std::wcslen(text) + 1) * sizeof(wchar_t));
  size = sizeof text;
  ASSERT_EQ(RegGetValueW(key, nullptr, L"Where", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, text, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, L"%tesmira_test_folder%\\bin;%NOT_SET_ANYWHERE%");
  EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));
  RegCloseKey(key);
  ::unsetenv("TESMIRA_TEST_FOLDER");
}

TEST_F(RegistryTest, KeysAndValuesAreCaseInsensitiveAndCasePreserving) {
  DWORD disposition = 0;
  HKEY key = create(HKEY_CURRENT_USER, L"Software\\Tesmira", &disposition);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  DWORD index = 3;
  RegSetValueExW(key, L"CameraIndex", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&index), 4);
  RegCloseKey(key);
  HKEY same = create(HKEY_CURRENT_USER, L"SOFTWARE\\tesmira", &disposition);
  EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
  DWORD got = 0, size = 4;
  EXPECT_EQ(RegQueryValueExW(same, L"cameraINDEX", nullptr, nullptr, reinterpret_cast<BYTE*>(&got), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(got, 3u);
  RegCloseKey(same);
  HKEY software = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"software", 0, KEY_READ, &software), ERROR_SUCCESS);
  wchar_t name[64];
  DWORD chars = 64;
  ASSERT_EQ(RegEnumKeyExW(software, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, L"Tesmira") << "the name keeps the case it was created with";
  EXPECT_EQ(chars, 7u);
  RegCloseKey(software);
}

TEST_F(RegistryTest, StringsOfNoBytesSurviveRewritesAndReadAsEmpty) {
  HKEY key = create(HKEY_CURRENT_USER, L"Software\\Tesmira");
  ASSERT_EQ(RegSetValueExW(key, L"Plain", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, L"Expand", 0, REG_EXPAND_SZ, nullptr, 0), ERROR_SUCCESS);
  DWORD one = 1;  // one more write, so the empty strings are written out again
  ASSERT_EQ(RegSetValueExW(key, L"Enabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
  for (const wchar_t* name : {L"Plain", L"Expand"}) {
    DWORD type = 0, size = 16;
    BYTE data[16];
    EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    wchar_t text[4] = {L'x', L'x'};
    size = sizeof(text);
    EXPECT_EQ(RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, &type, text, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(size, sizeof(wchar_t));
    EXPECT_EQ(text[0], L'\0');
  }
  RegCloseKey(key);
}

TEST_F(RegistryTest, EnumerationIsSortedByUpperCaseName) {
  const wchar_t* base = L"Software\\Microsoft\\Windows\\CurrentVersion\\CapabilityAccessManager\\ConsentStore\\webcam";
  HKEY webcam = create(HKEY_CURRENT_USER, base);
  for (const wchar_t* sub : {L"NonPackaged", L"msteams_8wekyb3d8bbwe", L"Microsoft.WindowsCamera_8wekyb3d8bbwe",
                             L"_private", L"B2", L"b"}) {
    HKEY k = create(webcam, sub);
    RegCloseKey(k);
  }
  const std::vector<std::wstring> expected = {L"b",           L"B2",       L"Microsoft.WindowsCamera_8wekyb3d8bbwe",
                                              L"msteams_8wekyb3d8bbwe", L"NonPackaged", L"_private"};
  std::vector<std::wstring> seen;
  for (DWORD i = 0;; ++i) {
    wchar_t name[512];
    DWORD chars = 512;
    LSTATUS status = RegEnumKeyExW(webcam, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, ERROR_SUCCESS);
    seen.emplace_back(name, chars);
  }
  EXPECT_EQ(seen, expected);
  wchar_t small[4];
  DWORD chars = 4;
  EXPECT_EQ(RegEnumKeyExW(webcam, 2, small, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  chars = 2;  // "B2" needs room for its terminator too
  EXPECT_EQ(RegEnumKeyExW(webcam, 1, small, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  RegCloseKey(webcam);
}

TEST_F(RegistryTest, DeleteKeyRefusesSubkeysAndDeleteTreeTakesThemAll) {
  const wchar_t* clsid = L"Software\\Classes\\CLSID\\{fb0afedc-9b71-404f-8154-36cc0ef0a550}";
  HKEY server = create(HKEY_LOCAL_MACHINE, (std::wstring(clsid) + L"\\InprocServer32").c_str());
  auto model = wideBytes(L"Both");
  RegSetValueExW(server, L"ThreadingModel", 0, REG_SZ, model.data(), DWORD(model.size()));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, clsid), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, clsid), ERROR_SUCCESS);
  HKEY gone = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, clsid, 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, clsid), ERROR_FILE_NOT_FOUND);
  // A handle to a deleted key stays valid but finds nothing.
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(server, L"ThreadingModel", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  RegCloseKey(server);
  HKEY classes = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, &classes), ERROR_SUCCESS)
      << "HKEY_CLASSES_ROOT shows HKLM\\Software\\Classes";
  RegCloseKey(classes);

  HKEY leaf = create(HKEY_CURRENT_USER, L"Software\\Tesmira\\Leaf");
  RegCloseKey(leaf);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Tesmira\\Leaf"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Tesmira\\Leaf"), ERROR_FILE_NOT_FOUND);
  // Without a subkey name the tree below the key goes, the key stays.
  HKEY tesmira = create(HKEY_CURRENT_USER, L"Software\\Tesmira\\A\\B");
  RegCloseKey(tesmira);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tesmira", 0, KEY_ALL_ACCESS, &tesmira), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(tesmira, nullptr), ERROR_SUCCESS);
  wchar_t name[16];
  DWORD chars = 16;
  EXPECT_EQ(RegEnumKeyExW(tesmira, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  RegCloseKey(tesmira);
}

TEST_F(RegistryTest, HklmWritesCanBeDeniedWhileReadsGoOn) {
  HKEY key = create(HKEY_LOCAL_MACHINE, L"Software\\Tesmira");
  DWORD one = 1;
  ASSERT_EQ(RegSetValueExW(key, L"Installed", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
  RegCloseKey(key);
  for (bool byFault : {true, false}) {
    if (byFault) {
      faults::inject("Registry.HKLM", ERROR_ACCESS_DENIED);
    } else {
      ::setenv("TESMIRA_ELEVATED", "0", 1);
    }
    HKEY denied = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID", 0, nullptr, 0, KEY_WRITE, nullptr,
                              &denied, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(denied, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tesmira", 0, KEY_WRITE, &denied), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Tesmira"), ERROR_ACCESS_DENIED);
    // As on Windows, a key that is not there is not found before the access is checked.
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Tesmira\\Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Absent\\Deeper"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Tesmira\\Missing"), ERROR_FILE_NOT_FOUND);
    DWORD got = 0, size = 4;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Tesmira", L"Installed", RRF_RT_REG_DWORD, nullptr, &got,
                           &size),
              ERROR_SUCCESS);
    EXPECT_EQ(got, 1u);
    HKEY user = create(HKEY_CURRENT_USER, L"Software\\Tesmira");
    EXPECT_NE(user, nullptr) << "HKCU stays writable";
    RegCloseKey(user);
    faults::clearAll();
    ::unsetenv("TESMIRA_ELEVATED");
  }
}

TEST_F(RegistryTest, AReadHandleCannotWrite) {
  HKEY key = create(HKEY_CURRENT_USER, L"Software\\Tesmira");
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tesmira", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(key, L"Enabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
            ERROR_ACCESS_DENIED);
  RegCloseKey(key);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

TEST_F(RegistryTest, EachUserHasTheirOwnCurrentUserHive) {
  ::setenv("USERNAME", "alice", 1);
  HKEY key = create(HKEY_CURRENT_USER, L"Software\\Tesmira");
  RegCloseKey(key);
  ::setenv("USERNAME", "bob", 1);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tesmira", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ACorruptHiveIsReportedAndNeverOverwritten) {
  HKEY key = create(HKEY_CURRENT_USER, L"Software\\Tesmira");
  RegCloseKey(key);
  auto hive = root() / "registry" / "users" / "user.hive.json";
  ASSERT_TRUE(std::filesystem::exists(hive));
  { std::ofstream(hive, std::ios::trunc) << "{\"format\": \"tesmira-registry-hive\", \"version\": 1, \"root\": {"; }
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Other", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(readFile(hive), "{\"format\": \"tesmira-registry-hive\", \"version\": 1, \"root\": {");
}

// Child: reads the agent's camera index that the parent wrote.
TESMIRA_CHILD_MAIN(readCameraIndex) {
  DWORD index = 0, size = 4;
  LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, L"Software\\Tesmira", L"CameraIndex", RRF_RT_REG_DWORD, nullptr,
                                &index, &size);
  return status == ERROR_SUCCESS ? int(index) : 100 + int(status);
}

TEST_F(RegistryTest, AnotherProcessSeesTheSameHive) {
  HKEY key = create(HKEY_CURRENT_USER, L"Software\\Tesmira");
  DWORD index = 7;
  RegSetValueExW(key, L"CameraIndex", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&index), 4);
  RegCloseKey(key);
  EXPECT_EQ(waitChild(spawnChild("readCameraIndex")), 7);
}

// Child: writes the value Count = 1, 2, 3, ... until it is killed.
TESMIRA_CHILD_MAIN(writeUntilKilled) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Tesmira", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return 10;
  }
  HANDLE progress = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\HiveProgress");
  for (DWORD i = 1;; ++i) {
    if (RegSetValueExW(key, L"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4) != ERROR_SUCCESS) return 11;
    if (i == 20) SetEvent(progress);
  }
}

TEST_F(RegistryTest, AWriterKilledMidWayLeavesAWholeHive) {
  HANDLE progress = CreateEventW(nullptr, TRUE, FALSE, L"Local\\HiveProgress");
  pid_t child = spawnChild("writeUntilKilled");
  ASSERT_EQ(WaitForSingleObject(progress, 60000), WAIT_OBJECT_0);
  ::kill(child, SIGKILL);
  EXPECT_EQ(waitChild(child), 128 + SIGKILL);
  DWORD count = 0, size = 4;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Tesmira", L"Count", RRF_RT_REG_DWORD, nullptr, &count, &size),
            ERROR_SUCCESS);
  EXPECT_GE(count, 20u);
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\After", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS)
      << "the hive lock died with the writer";
  RegCloseKey(key);
  CloseHandle(progress);
}

// A hive whose HKCU\Software\Tesmira key is `tesmira` (JSON text), around a well-formed rest.
std::string hiveAround(const std::string& tesmira, const std::string& format = "\"tesmira-registry-hive\"",
                       const std::string& version = "1") {
  return "{\"format\": " + format + ", \"version\": " + version +
         ", \"root\": {\"name\": \"\", \"written\": 1, \"values\": [], \"keys\": [{\"name\": \"Software\", "
         "\"written\": 1, \"values\": [], \"keys\": [" +
         tesmira + "]}]}}";
}

std::string keyWith(const std::string& values) {
  return "{\"name\": \"Tesmira\", \"written\": 1, \"values\": [" + values + "], \"keys\": []}";
}

std::string idleStopMs(const std::string& typeAndData) {
  return keyWith("{\"name\": \"IdleStopMs\", " + typeAndData + "}");
}

// Keys nested `depth` levels, each the only child of the one above.
std::string deepKeys(int depth) {
  std::string text = "{\"name\": \"k\"}";
  for (int i = 1; i < depth; ++i) text = "{\"name\": \"k\", \"keys\": [" + text + "]}";
  return text;
}

class HostileHiveTest : public RegistryTest {
 protected:
  std::filesystem::path hive() const { return root() / "registry" / "users" / "user.hive.json"; }
  void plant(const std::string& text) {
    std::filesystem::create_directories(hive().parent_path());
    std::ofstream(hive(), std::ios::binary | std::ios::trunc) << text;
  }
};

TEST_F(HostileHiveTest, EveryMisshapenHiveIsCorruptForEveryCallAndStaysAsItWas) {
  const std::string valid = idleStopMs("\"type\": 4, \"hex\": \"401f0000\"");
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"format as a number", hiveAround(valid, "5")},
      {"version as a string", hiveAround(valid, "\"tesmira-registry-hive\"", "\"1\"")},
      {"version 2", hiveAround(valid, "\"tesmira-registry-hive\"", "2")},
      {"negative version", hiveAround(valid, "\"tesmira-registry-hive\"", "-1")},
      {"written as a word on a key", hiveAround("{\"name\": \"Tesmira\", \"written\": \"yesterday\"}")},
      {"written as an array on a subkey",
       hiveAround("{\"name\": \"Tesmira\", \"keys\": [{\"name\": \"Sub\", \"written\": [1, 2]}]}")},
      {"written negative", hiveAround("{\"name\": \"Tesmira\", \"written\": -1}")},
      {"written as a fraction", hiveAround("{\"name\": \"Tesmira\", \"written\": 1.5}")},
      {"document as an array", "[1, 2]"},
      {"document as a string", "\"tesmira-registry-hive\""},
      {"root as an array", "{\"format\": \"tesmira-registry-hive\", \"version\": 1, \"root\": []}"},
      {"root as a string", "{\"format\": \"tesmira-registry-hive\", \"version\": 1, \"root\": \"HKCU\"}"},
      {"no root", "{\"format\": \"tesmira-registry-hive\", \"version\": 1}"},
      {"key name as a number", hiveAround("{\"name\": 7}")},
      {"key without a name", hiveAround("{\"written\": 1}")},
      {"empty subkey name", hiveAround("{\"name\": \"\"}")},
      {"subkey name with a backslash", hiveAround("{\"name\": \"Tes\\\\mira\"}")},
      {"subkey name of 256 characters", hiveAround("{\"name\": \"" + std::string(256, 'k') + "\"}")},
      {"values as an object", hiveAround("{\"name\": \"Tesmira\", \"values\": {}}")},
      {"keys as a string", hiveAround("{\"name\": \"Tesmira\", \"keys\": \"none\"}")},
      {"value as a number", hiveAround(keyWith("4"))},
      {"negative type", idleStopMs("\"type\": -4, \"hex\": \"401f0000\"")},
      {"type above 32 bits", idleStopMs("\"type\": 4294967300, \"hex\": \"401f0000\"")},
      {"type of 64 bits", idleStopMs("\"type\": 18446744073709551615, \"hex\": \"401f0000\"")},
      {"huge fractional type", idleStopMs("\"type\": 1e300, \"hex\": \"401f0000\"")},
      {"type as a string", idleStopMs("\"type\": \"4\", \"hex\": \"401f0000\"")},
      {"odd hex", idleStopMs("\"type\": 4, \"hex\": \"401f000\"")},
      {"hex that is no hex", idleStopMs("\"type\": 4, \"hex\": \"40zz0000\"")},
      {"hex as a number", idleStopMs("\"type\": 4, \"hex\": 8000")},
      {"text as a number", idleStopMs("\"type\": 1, \"text\": 8000")},
      {"text and hex", idleStopMs("\"type\": 1, \"text\": \"a\", \"hex\": \"00\"")},
      {"neither text nor hex", idleStopMs("\"type\": 4")},
      {"value name as null", keyWith("{\"name\": null, \"type\": 4, \"hex\": \"401f0000\"}")},
      {"duplicate values",
       hiveAround(keyWith("{\"name\": \"IdleStopMs\", \"type\": 4, \"hex\": \"401f0000\"}, "
                          "{\"name\": \"IDLESTOPMS\", \"type\": 4, \"hex\": \"01000000\"}"))},
      {"duplicate keys", hiveAround("{\"name\": \"Tesmira\"}, {\"name\": \"TESMIRA\"}")},
      {"duplicate members", hiveAround("{\"name\": \"Tesmira\", \"name\": \"Other\"}")},
      {"duplicate top-level members",
       "{\"format\": \"tesmira-registry-hive\", \"version\": 1, \"version\": 1, \"root\": {\"name\": \"\"}}"},
      {"600-deep keys", hiveAround(deepKeys(600))},
      {"100,000 arrays deep in a value", hiveAround(keyWith(std::string(100000, '[') + std::string(100000, ']')))},
      {"truncated", hiveAround(valid).substr(0, 80)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    plant(c.text);
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tesmira", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Tesmira\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_REGISTRY_CORRUPT);
    DWORD value = 0, size = sizeof(value);
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Tesmira", L"IdleStopMs", RRF_RT_REG_DWORD, nullptr, &value,
                           &size),
              ERROR_REGISTRY_CORRUPT);
    wchar_t name[300];
    DWORD chars = 300;
    EXPECT_EQ(RegEnumKeyExW(HKEY_CURRENT_USER, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegSetValueExW(HKEY_CURRENT_USER, L"Written", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegDeleteValueW(HKEY_CURRENT_USER, L"Written"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L"Software"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, nullptr), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(readFile(hive()), c.text);
  }
}

TEST_F(HostileHiveTest, OversizedButWellFormedValuesReadSafely) {
  // An 8-byte DWORD and a string of two million characters: legal to store, too large for their readers.
  plant(hiveAround(keyWith("{\"name\": \"IdleStopMs\", \"type\": 4, \"hex\": \"4000000000000001\"}, "
                           "{\"name\": \"Provider\", \"type\": 1, \"text\": \"" +
                           std::string(2 << 20, 'x') + "\"}")));
  const std::string before = readFile(hive());
  DWORD value = 0, size = sizeof(value), type = 0;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Tesmira", L"IdleStopMs", RRF_RT_REG_DWORD, &type, &value,
                         &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tesmira", 0, KEY_READ, &key), ERROR_SUCCESS);
  size = sizeof(value);
  EXPECT_EQ(RegQueryValueExW(key, L"IdleStopMs", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_MORE_DATA);
  std::vector<wchar_t> text(1024);
  size = DWORD(text.size() * sizeof(wchar_t));
  EXPECT_EQ(RegQueryValueExW(key, L"Provider", nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, (2u << 20) * sizeof(wchar_t));
  RegCloseKey(key);
  EXPECT_EQ(readFile(hive()), before);
}

// Windows gives a main thread 1 MiB: a hive of any depth is read there, the deepest legal one in full.
TEST_F(HostileHiveTest, DeepHivesReadOnAOneMebibyteStack) {
  // Software and 511 keys below it: 512 levels, with a value in the deepest key.
  std::string deepest = "{\"name\": \"k\", \"values\": [{\"name\": \"v\", \"type\": 4, \"hex\": \"07000000\"}]}";
  for (int i = 0; i < 510; ++i) deepest = "{\"name\": \"k\", \"keys\": [" + deepest + "]}";
  std::wstring path = L"Software\\k";
  for (int i = 0; i < 510; ++i) path += L"\\k";
  const std::string nested = std::string(100000, '[') + std::string(100000, ']');
  ASSERT_TRUE(tesmira::testing::runOnStackOf(1 << 20, [&] {
    plant(hiveAround(keyWith("{\"name\": \"v\", \"type\": 4, \"hex\": " + nested + "}")));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
  }));
  // The legal hive is read key by key, one frame a level; AddressSanitizer's redzones make
  // those frames several times larger than a normal build's.
#if defined(__SANITIZE_ADDRESS__)
  constexpr size_t kStack = 8 << 20;
#else
  constexpr size_t kStack = 1 << 20;
#endif
  ASSERT_TRUE(tesmira::testing::runOnStackOf(kStack, [&] {
    HKEY key = nullptr;
    plant("{\"format\": \"tesmira-registry-hive\", \"version\": 1, \"root\": {\"name\": \"\", \"keys\": [{\"name\": "
          "\"Software\", \"keys\": [" + deepest + "]}]}}");
    DWORD value = 0, size = sizeof(value);
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, path.c_str(), L"v", RRF_RT_REG_DWORD, nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
    // A change writes the whole hive back, as deep as it is.
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    value = 9;
    EXPECT_EQ(RegSetValueExW(key, L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    value = 0;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, path.c_str(), L"v", RRF_RT_REG_DWORD, nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 9u);
  }));
}

TEST_F(HostileHiveTest, KeysDeeperThanAHiveMayHoldAreRefused) {
  std::wstring path = L"Software";
  for (int i = 1; i < 512; ++i) path += L"\\k";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  const std::string before = readFile(hive());
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (path + L"\\deeper").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(readFile(hive()), before);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

}  // namespace
