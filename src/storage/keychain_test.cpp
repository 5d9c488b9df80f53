#include "storage/keychain.h"

#include <gtest/gtest.h>

#include <random>

#include "support/temp_folder.h"

namespace vlvpn {
namespace {

class KeychainTest : public ::testing::Test {
 protected:
  // Windows items live in the user's Credential Manager: give every run its own names
  // and remove them afterwards.
  std::string Target(const std::string& account) {
    const std::string target = KeychainTarget(service_, account);
    used_.push_back(target);
    return target;
  }
  void TearDown() override {
    for (const auto& t : used_) keychain_.Delete(t);
  }

  testing::TempFolder root_;
  DataLocations locations_{[this] { return root_.path(); }};
  Keychain keychain_{locations_};
  std::string service_ = "VLVPNTest-" + std::to_string(std::random_device{}());
  std::vector<std::string> used_;
};

TEST(KeychainText, TargetAndFailureMessage) {
  EXPECT_EQ(KeychainTarget("s", "a"), "s/a");
  EXPECT_EQ(KeychainTarget("a/b", "c"), KeychainTarget("a", "b/c"));
  EXPECT_EQ(KeychainWriteFailure(87), "CredWrite failed (87)");
  EXPECT_EQ(KeychainWriteFailure(4294967295UL), "CredWrite failed (4294967295)");
}

TEST_F(KeychainTest, ValuesRoundTripPerTargetAndAreReplacedAndDeleted) {
  const std::string values[] = {"token", "p\xC3\xA4ss \xE6\x97\xA5", std::string("a\0b\r\n", 5), ""};
  for (std::size_t n = 0; n < std::size(values); ++n) {
    ASSERT_EQ(keychain_.Write(Target("acct" + std::to_string(n)), values[n]), 0u);
  }
  for (std::size_t n = 0; n < std::size(values); ++n) {
    EXPECT_EQ(keychain_.Read(KeychainTarget(service_, "acct" + std::to_string(n))).value_or("<missing>"), values[n]);
  }
  EXPECT_EQ(keychain_.Read(KeychainTarget(service_, "never")), std::nullopt);

  const std::string target = Target("acct0");
  ASSERT_EQ(keychain_.Write(target, "second"), 0u);
  EXPECT_EQ(keychain_.Read(target), "second");
  keychain_.Delete(target);
  EXPECT_EQ(keychain_.Read(target), std::nullopt);
  keychain_.Delete(target);  // a missing item is no error
}

}  // namespace
}  // namespace vlvpn
