#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "common/value.h"
#include "service/dns.h"

namespace vlvpn::service {

// Where the system's resolvers are set.
struct DnsPlaces {
  std::filesystem::path resolv_conf = "/etc/resolv.conf";
  std::filesystem::path previous;  // the replaced file's bytes, kept for the way back
  bool use_resolved = true;        // systemd-resolved when it runs
  std::string bus_address;         // its bus; empty: the system bus
};

// Makes the tunnel's servers the system's resolvers: on systemd-resolved's link of the
// tunnel (its DNS, "~." and the default route), else in the resolver file. `remember`
// gets what undoes it before anything changes, so that a crash leaves a way back.
// `current` is what an earlier call of this tunnel recorded (or null). "" when done.
std::string ApplyDns(const DnsPlaces& places, const TunnelDns& dns, const Value& current,
                     const std::function<void(const Value&)>& remember);

// Whether `record` has the form ApplyDns gives (a damaged one is dropped, not obeyed).
bool IsDnsRecord(const Value& record);

// Undoes what `record` says was done. A resolver file someone else has rewritten since
// is left as they wrote it. "" when done.
std::string RevertDns(const DnsPlaces& places, const Value& record);

}  // namespace vlvpn::service
