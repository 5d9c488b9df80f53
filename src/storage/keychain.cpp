#include "storage/keychain.h"

namespace vlvpn {

std::string KeychainTarget(std::string_view service, std::string_view account) {
  std::string target;
  target.reserve(service.size() + account.size() + 1);
  target.append(service).append("/").append(account);
  return target;
}

std::string KeychainWriteFailure(unsigned long error) {
  return "CredWrite failed (" + std::to_string(error) + ")";
}

}  // namespace vlvpn
