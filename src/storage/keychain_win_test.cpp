#include <windows.h>

#include <wincred.h>

#include <gtest/gtest.h>

#include <random>

#include "common/text.h"
#include "storage/keychain.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

TEST(CredentialManager, ItemIsAGenericCredentialNamedServiceSlashAccount) {
  testing::TempFolder root;
  const DataLocations locations([&] { return root.path(); });
  const Keychain keychain(locations);
  const std::string service = "VLVPNTest-" + std::to_string(std::random_device{}());
  const std::string target = KeychainTarget(service, "acct");
  ASSERT_EQ(keychain.Write(target, "v\xC3\xA4lue"), 0u);

  PCREDENTIALW credential = nullptr;
  const std::wstring name = Utf8ToWide(service + "/acct");
  ASSERT_TRUE(CredReadW(name.c_str(), CRED_TYPE_GENERIC, 0, &credential));
  EXPECT_EQ(credential->Type, static_cast<DWORD>(CRED_TYPE_GENERIC));
  EXPECT_EQ(credential->Persist, static_cast<DWORD>(CRED_PERSIST_LOCAL_MACHINE));
  EXPECT_EQ(
      std::string(reinterpret_cast<const char*>(credential->CredentialBlob), credential->CredentialBlobSize),
      "v\xC3\xA4lue")
      << "stored as UTF-8 bytes without a terminating zero";
  CredFree(credential);
  keychain.Delete(target);
  EXPECT_FALSE(CredReadW(name.c_str(), CRED_TYPE_GENERIC, 0, &credential));
}

}  // namespace
}  // namespace vlvpn
