#pragma once
// A fresh machine root per test, so tests run in parallel without sharing
// registry hives, named objects or log folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace tesmira::testing {

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path root_;
};

// Reads a whole file as bytes; empty when missing.
std::string readFile(const std::filesystem::path& file);
// Path of a helper executable built next to the running test binary.
std::filesystem::path siblingExecutable(const std::string& name);

// The data folder the set-up builds: TESMIRA_DATA_DIR, else .cache/data of the source tree.
std::filesystem::path builtDataFolder();
// The fetched media: TESMIRA_MEDIA_DIR, else .cache/media of the source tree.
std::filesystem::path mediaFolder();
// Copies the built data folder (models, resources, libmediapipe.dll) into `folder`; a test
// failure naming the missing folder when it was not built.
void copyBuiltData(const std::filesystem::path& folder);

}  // namespace tesmira::testing
