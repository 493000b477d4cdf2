// CNG SHA-256 and CoCreateGuid, including their injected failures.
#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

using CryptoTest = tesmira::testing::MachineTest;
namespace faults = tesmira::platform::faults;

std::string hashHex(const std::string& text, NTSTATUS& status) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (!BCRYPT_SUCCESS(status)) return {};
  BCRYPT_HASH_HANDLE hash = nullptr;
  status = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
  std::string hex;
  if (BCRYPT_SUCCESS(status)) {
    UCHAR digest[32];
    // Fed in two pieces: the digest covers both.
    const size_t half = text.size() / 2;
    status = BCryptHashData(hash, PUCHAR(text.data()), ULONG(half), 0);
    if (BCRYPT_SUCCESS(status)) status = BCryptHashData(hash, PUCHAR(text.data() + half), ULONG(text.size() - half), 0);
    if (BCRYPT_SUCCESS(status)) status = BCryptFinishHash(hash, digest, sizeof(digest), 0);
    if (BCRYPT_SUCCESS(status)) {
      char two[3];
      for (UCHAR b : digest) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
      }
    }
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return hex;
}

TEST_F(CryptoTest, Sha256KnownAnswers) {
  struct Case {
    std::string text;
    const char* hex;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"enabled=1|clearSkin=75|eyeBags=25|wrinkles=65|teeth=45|eyeWhite=22|eyeSharp=25|sharpen=0|perspective=55|tone=0",
       "c5cec39189f6cc567409047484dacddedf9c9ef4f87f903f4a723d7cef034ae0"},
  };
  for (const auto& c : cases) {
    NTSTATUS status = 0;
    EXPECT_EQ(hashHex(c.text, status), c.hex) << c.text;
    EXPECT_EQ(status, STATUS_SUCCESS);
  }
}

TEST_F(CryptoTest, FailuresAndBadArguments) {
  const char* sites[] = {"BCryptOpenAlgorithmProvider", "BCryptCreateHash", "BCryptHashData", "BCryptFinishHash"};
  for (const char* site : sites) {
    faults::inject(site, STATUS_NO_MEMORY, 1);
    NTSTATUS status = 0;
    EXPECT_EQ(hashHex("abc", status), "") << site;
    EXPECT_EQ(status, STATUS_NO_MEMORY) << site;
    faults::clearAll();
  }
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, L"MD5", nullptr, 0), STATUS_NOT_FOUND);
  EXPECT_EQ(algorithm, nullptr);
  ASSERT_EQ(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0), STATUS_SUCCESS);
  ULONG length = 0, written = 0;
  EXPECT_EQ(BCryptGetProperty(algorithm, BCRYPT_HASH_LENGTH, PUCHAR(&length), sizeof(length), &written, 0),
            STATUS_SUCCESS);
  EXPECT_EQ(length, 32u);
  BCRYPT_HASH_HANDLE hash = nullptr;
  ASSERT_EQ(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0), STATUS_SUCCESS);
  UCHAR small[16];
  EXPECT_EQ(BCryptFinishHash(hash, small, sizeof(small), 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BCryptDestroyHash(hash), STATUS_SUCCESS);
  EXPECT_EQ(BCryptDestroyHash(hash), STATUS_INVALID_HANDLE);
  EXPECT_EQ(BCryptCloseAlgorithmProvider(algorithm, 0), STATUS_SUCCESS);
  EXPECT_EQ(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0), STATUS_INVALID_HANDLE);
}

TEST_F(CryptoTest, GuidsAreRandomVersion4AndCanFail) {
  std::set<std::wstring> seen;
  for (int i = 0; i < 100; ++i) {
    GUID guid{};
    ASSERT_EQ(CoCreateGuid(&guid), S_OK);
    EXPECT_EQ(guid.Data3 >> 12, 4);
    EXPECT_EQ(guid.Data4[0] & 0xC0, 0x80);
    wchar_t text[39];
    ASSERT_EQ(StringFromGUID2(guid, text, 39), 39);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 100u);
  faults::inject("CoCreateGuid", 0x80004005u, 1);
  GUID guid{};
  EXPECT_EQ(CoCreateGuid(&guid), HRESULT(0x80004005u));
  EXPECT_EQ(CoCreateGuid(&guid), S_OK);
  EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

}  // namespace
