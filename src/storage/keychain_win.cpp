#include <windows.h>

#include <wincred.h>

#include "common/text.h"
#include "storage/keychain.h"

namespace vlvpn {

unsigned long Keychain::Write(std::string_view target, std::string_view value) const {
  std::wstring target_name = Utf8ToWide(target);
  std::string blob(value);
  CREDENTIALW credential = {};
  credential.Type = CRED_TYPE_GENERIC;
  credential.TargetName = target_name.data();
  credential.Flags = 0;
  credential.CredentialBlobSize = static_cast<DWORD>(blob.size());
  credential.CredentialBlob = reinterpret_cast<LPBYTE>(blob.data());
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  if (!CredWriteW(&credential, 0)) return GetLastError();
  return 0;
}

std::optional<std::string> Keychain::Read(std::string_view target) const {
  const std::wstring target_name = Utf8ToWide(target);
  PCREDENTIALW credential = nullptr;
  if (!CredReadW(target_name.c_str(), CRED_TYPE_GENERIC, 0, &credential) || credential == nullptr) {
    return std::nullopt;
  }
  std::string value(reinterpret_cast<const char*>(credential->CredentialBlob),
                    credential->CredentialBlobSize);
  CredFree(credential);
  return value;
}

void Keychain::Delete(std::string_view target) const {
  const std::wstring target_name = Utf8ToWide(target);
  CredDeleteW(target_name.c_str(), CRED_TYPE_GENERIC, 0);
}

}  // namespace vlvpn
