// What earlier runs left on disk (killswitch.txt, active.txt, switches.txt, auth.txt,
// meta.json) is read without failing, and what we write reads back.
#include "common/value.h"
#include "fuzz_check.h"
#include "killswitch/kill_switch.h"
#include "storage/profile_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const vlvpn::KillSwitchFacts facts = vlvpn::ParseKillSwitchFile(text);
  const vlvpn::KillSwitchFacts again = vlvpn::ParseKillSwitchFile(vlvpn::KillSwitchFileText(facts));
  FUZZ_CHECK(again.protocol == facts.protocol && again.port == facts.port && again.addresses == facts.addresses);
  (void)vlvpn::ParseActiveFile(text);
  if (const auto switches = vlvpn::ParseSwitchesFile(text)) {
    const auto read = vlvpn::ParseSwitchesFile(vlvpn::SwitchesFileText(*switches));
    FUZZ_CHECK(read && read->kill_switch == switches->kill_switch && read->block_ipv6 == switches->block_ipv6);
  }
  (void)vlvpn::ParsePortLine(text);

  const auto credentials = vlvpn::ProfileStore::ParseCredentialsFile(text);
  FUZZ_CHECK(credentials.username.find('\n') == std::string::npos);
  FUZZ_CHECK(credentials.password.find('\n') == std::string::npos);
  try {
    const std::string file = vlvpn::ProfileStore::CredentialsFileText(credentials.username, credentials.password);
    const auto read = vlvpn::ProfileStore::ParseCredentialsFile(file);
    FUZZ_CHECK(read.username == credentials.username && read.password == credentials.password);
  } catch (const std::invalid_argument&) {
    // A lone carriage return cannot be stored.
  }

  // meta.json goes to the interface raw, inside one line of JSON.
  const std::string line = vlvpn::DumpLine(vlvpn::Value{{"_raw", std::string(text)}});
  FUZZ_CHECK(line.find('\n') == std::string::npos);
  FUZZ_CHECK(vlvpn::ParseJson(line).is_object());
  return 0;
}
