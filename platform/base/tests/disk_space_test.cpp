// GetDiskFreeSpaceExW: the host disk's figures, a test's override of the free bytes
// (sizes around the 2^63 and 2^64 edges a caller's arithmetic must survive), and errors.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>

#include "tesmira/disk_testing.h"
#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

using DiskSpaceTest = tesmira::testing::MachineTest;
namespace disktesting = tesmira::platform::disktesting;
namespace faults = tesmira::platform::faults;

TEST_F(DiskSpaceTest, TheHostDisksFiguresAreConsistent) {
  ULARGE_INTEGER available{}, total{}, free{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(root().wstring().c_str(), &available, &total, &free));
  EXPECT_GT(total.QuadPart, 0u);
  EXPECT_LE(available.QuadPart, free.QuadPart);
  EXPECT_LE(free.QuadPart, total.QuadPart);
  // Every out-parameter may be left out; null is the current folder.
  EXPECT_TRUE(GetDiskFreeSpaceExW(nullptr, &available, nullptr, nullptr));
}

TEST_F(DiskSpaceTest, AnOverrideSetsTheFreeBytesExactly) {
  const uint64_t rows[] = {0, 1, 2040109465ull, 1ull << 63, std::numeric_limits<uint64_t>::max()};
  for (uint64_t bytes : rows) {
    disktesting::setFreeBytes(bytes);
    ULARGE_INTEGER available{}, total{}, free{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(root().wstring().c_str(), &available, &total, &free)) << bytes;
    EXPECT_EQ(available.QuadPart, bytes);
    EXPECT_EQ(free.QuadPart, bytes);
    EXPECT_GE(total.QuadPart, bytes);
  }
  disktesting::setFreeBytes(std::nullopt);
  ULARGE_INTEGER total{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(root().wstring().c_str(), nullptr, &total, nullptr));
  EXPECT_LT(total.QuadPart, std::numeric_limits<uint64_t>::max()) << "the host's figures again";
}

TEST_F(DiskSpaceTest, FailuresSayWhy) {
  disktesting::setFreeBytes(1000);
  ULARGE_INTEGER available{};
  EXPECT_FALSE(GetDiskFreeSpaceExW((root() / "missing" / "folder").wstring().c_str(), &available, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  faults::inject("GetDiskFreeSpaceExW", ERROR_NOT_READY, 1);
  EXPECT_FALSE(GetDiskFreeSpaceExW(root().wstring().c_str(), &available, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
  EXPECT_TRUE(GetDiskFreeSpaceExW(root().wstring().c_str(), &available, nullptr, nullptr));
}

}  // namespace
