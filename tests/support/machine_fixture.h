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

}  // namespace tesmira::testing
