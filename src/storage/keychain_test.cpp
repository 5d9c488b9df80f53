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

TEST_F(KeychainTest, ValuesRoundTripExactly) {
  const std::string values[] = {"token", "p\xC3\xA4ss \xE6\x97\xA5", std::string("a\0b\r\n", 5), ""};
  int n = 0;
  for (const std::string& value : values) {
    const std::string target = Target("acct" + std::to_string(n++));
    ASSERT_EQ(keychain_.Write(target, value), 0u);
    EXPECT_EQ(keychain_.Read(target).value_or("<missing>"), value);
  }
}

TEST_F(KeychainTest, OverwriteReplacesAndDeleteRemoves) {
  const std::string target = Target("user");
  ASSERT_EQ(keychain_.Write(target, "first"), 0u);
  ASSERT_EQ(keychain_.Write(target, "second"), 0u);
  EXPECT_EQ(keychain_.Read(target), "second");
  keychain_.Delete(target);
  EXPECT_EQ(keychain_.Read(target), std::nullopt);
  keychain_.Delete(target);  // a missing item is no error
}

TEST_F(KeychainTest, ItemsAreSeparatedByTarget) {
  ASSERT_EQ(keychain_.Write(Target("one"), "1"), 0u);
  ASSERT_EQ(keychain_.Write(Target("two"), "2"), 0u);
  EXPECT_EQ(keychain_.Read(KeychainTarget(service_, "one")), "1");
  EXPECT_EQ(keychain_.Read(KeychainTarget(service_, "two")), "2");
  EXPECT_EQ(keychain_.Read(KeychainTarget(service_, "three")), std::nullopt);
}

}  // namespace
}  // namespace vlvpn
