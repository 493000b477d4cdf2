#pragma once
// A fresh machine with the signing kit made, its test root trusted and an unsigned
// test PE at plain.exe.
#include <optional>
#include <string>

#include "tesmira/trust_testing.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::testing {

class SigningTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    kit_.emplace(root() / "signing");
    ASSERT_TRUE(kit_->ready());
    kit_->trustTestRoot();
    ASSERT_TRUE(platform::trust::writeTestPe(file("plain.exe")));
  }
  std::filesystem::path file(const std::string& name) const { return root() / name; }
  // plain.exe signed by the signer into `name`.
  std::filesystem::path signedBy(platform::trust::TestSigner signer, const std::string& name) {
    EXPECT_TRUE(kit_->sign(file("plain.exe"), file(name), signer)) << name;
    return file(name);
  }
  std::optional<platform::trust::SigningKit> kit_;
};

}  // namespace tesmira::testing
