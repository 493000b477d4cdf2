#include "common/atomic_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string_view>
#include <vector>

#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

namespace fs = std::filesystem;
using platform::faults::inject;

// A folder of its own with a target that may exist.
class AtomicFileTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    fs::create_directories(folder_ = root() / "files");
    target_ = folder_ / "state.json";
  }
  void TearDown() override {
    platform::faults::clearAll();
    MachineTest::TearDown();
  }
  void writeOld() { std::ofstream(target_, std::ios::binary) << std::string_view("old\r\n\0bytes", 11); }
  // Every file of the folder but the target.
  std::vector<fs::path> leftovers() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      if (entry.path() != target_) found.push_back(entry.path());
    }
    return found;
  }

  fs::path folder_;
  fs::path target_;
};

TEST_F(AtomicFileTest, TheMoveIsTriedTwiceAndAFailureKeepsTheOldFileAndItsReason) {
  const struct {
    const char* label;
    int moveFailures;  // -1: every move fails
    AtomicWrite result;
  } rows[] = {
      {"first move works", 0, AtomicWrite::kDone},
      {"second move works", 1, AtomicWrite::kDone},
      {"both moves fail", 2, AtomicWrite::kNotReplaced},
      {"every move fails", -1, AtomicWrite::kNotReplaced},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    writeOld();
    const std::string before = testing::readFile(target_);
    if (row.moveFailures) inject("MoveFileExW", ERROR_SHARING_VIOLATION, row.moveFailures);
    SetLastError(0);
    EXPECT_EQ(writeFileAtomically(target_, "new"), row.result);
    if (row.result == AtomicWrite::kNotReplaced) {
      // The caller words the failure after the temporary file has gone.
      EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    }
    platform::faults::clear("MoveFileExW");
    EXPECT_EQ(testing::readFile(target_), row.result == AtomicWrite::kDone ? "new" : before);
    EXPECT_TRUE(leftovers().empty());
  }
}

TEST_F(AtomicFileTest, ATemporaryFileThatCannotBeCreatedLeavesTheTargetAlone) {
  writeOld();
  const std::string before = testing::readFile(target_);
  EXPECT_EQ(writeFileAtomically(target_, "new", folder_ / "missing" / "state.json.tmp"), AtomicWrite::kNotWritten);
  EXPECT_EQ(testing::readFile(target_), before);
  // A folder where the temporary file should go.
  fs::create_directories(folder_ / "state.json.tmp");
  EXPECT_EQ(writeFileAtomically(target_, "new", folder_ / "state.json.tmp"), AtomicWrite::kNotWritten);
  EXPECT_EQ(testing::readFile(target_), before);
}

TEST_F(AtomicFileTest, AWriterLeftUncommittedTakesItsTemporaryFileAlong) {
  writeOld();
  const std::string before = testing::readFile(target_);
  const fs::path partial = folder_ / "state.json.partial";
  for (const bool discardFirst : {false, true}) {
    SCOPED_TRACE(discardFirst ? "discarded" : "destroyed");
    {
      AtomicFileWriter writer(target_, partial);
      ASSERT_TRUE(writer.opened());
      writer.stream() << "half of it";
      writer.stream().flush();
      EXPECT_EQ(testing::readFile(partial), "half of it");
      if (discardFirst) {
        writer.discard();
        EXPECT_FALSE(fs::exists(partial));
        EXPECT_EQ(writer.commit(), AtomicWrite::kNotWritten);
      }
    }
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_EQ(testing::readFile(target_), before);
  }
}

TEST_F(AtomicFileTest, ACommittedStreamReplacesTheTargetWhole) {
  writeOld();
  AtomicFileWriter writer(target_, folder_ / "state.json.partial");
  ASSERT_TRUE(writer.opened());
  const std::string big(3 << 20, 'x');
  writer.stream() << big << "end";
  EXPECT_EQ(writer.commit(), AtomicWrite::kDone);
  EXPECT_EQ(testing::readFile(target_), big + "end");
  EXPECT_TRUE(leftovers().empty());
  // Once committed, nothing is left to discard: the new target stays.
  writer.discard();
  EXPECT_EQ(testing::readFile(target_).size(), big.size() + 3);
}

}  // namespace
}  // namespace tesmira
