#include "service/system_dns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/file_io.h"
#include "common/unique_fd.h"

namespace vlvpn::service {
namespace {

constexpr std::size_t kMaxResolvConf = 64 * 1024;
constexpr std::uint64_t kBusTimeout = 5'000'000;  // microseconds
constexpr const char* kResolved = "org.freedesktop.resolve1";
constexpr const char* kResolvedPath = "/org/freedesktop/resolve1";
constexpr const char* kResolvedManager = "org.freedesktop.resolve1.Manager";

std::string SystemError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

// Replaced by a rename where the folder lets us; written in place where the file is a
// mount point (EBUSY: what `ip netns exec` lays over it) or the folder is read-only.
std::string PutResolvConf(const std::filesystem::path& path, const std::string& bytes, mode_t mode, uid_t owner = 0,
                          gid_t group = 0) {
  std::string temporary = (path.parent_path() / ".resolv.conf.vlvpn-XXXXXX").string();
  UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (file.valid()) {
    const bool owned = (owner == ::geteuid() && group == ::getegid()) || ::fchown(file.get(), owner, group) == 0;
    const bool written = owned && ::fchmod(file.get(), mode) == 0 &&
                         WriteAll(file.get(), bytes) && ::fsync(file.get()) == 0;
    file = UniqueFd();
    if (written && ::rename(temporary.c_str(), path.c_str()) == 0) return {};
    ::unlink(temporary.c_str());
  }
  UniqueFd in_place(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (!in_place.valid() || !WriteAll(in_place.get(), bytes)) return SystemError("Cannot write " + path.string(), errno);
  return {};
}

std::string ApplyToFile(const DnsPlaces& places, const TunnelDns& dns, const Value& current,
                        const std::function<void(const Value&)>& remember) {
  const std::filesystem::path& path = places.resolv_conf;
  Value record = current.is_object() && current.value("backend", "") == "file" ? current : Value();
  if (record.is_null()) {
    record = {{"backend", "file"}, {"shape", "none"}, {"mode", 0644}};
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
      if (S_ISLNK(info.st_mode)) {
        std::error_code ec;
        record["shape"] = "link";
        record["link"] = std::filesystem::read_symlink(path, ec).string();
        if (ec) return "Cannot read the link " + path.string() + ": " + ec.message();
      } else if (S_ISREG(info.st_mode)) {
        record["shape"] = "file";
        record["mode"] = info.st_mode & 07777;
        record["owner"] = info.st_uid;
        record["group"] = info.st_gid;
      } else {
        return path.string() + " is neither a file nor a link";
      }
      // The bytes it shows (through a link too): what goes back when written in place.
      const std::optional<std::string> bytes = ReadFileBytes(path);
      if (bytes && bytes->size() > kMaxResolvConf) return path.string() + " is too large to keep";
      try {
        CreatePrivateFolder(places.previous.parent_path());
        WriteFileAtomically(places.previous, bytes.value_or(""));
      } catch (const FileWriteError& error) {
        return error.what();
      }
    } else if (errno != ENOENT) {
      return SystemError("Cannot look at " + path.string(), errno);
    }
  }
  const std::string text = RenderResolvConf(dns);
  record["written"] = text;
  remember(record);
  return PutResolvConf(path, text, 0644);
}

// The replaced file's bytes as we kept them: a regular file of ours, no link to follow.
std::optional<std::string> ReadPrevious(const std::filesystem::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
      static_cast<std::size_t>(info.st_size) > kMaxResolvConf) {
    return std::nullopt;
  }
  return ReadFileBytes(path);
}

std::string RevertFile(const DnsPlaces& places, const Value& record) {
  const std::filesystem::path& path = places.resolv_conf;
  const std::string shape = record.value("shape", "");
  std::error_code ignored;
  if (ReadFileBytes(path) != record.value("written", std::string())) {  // someone else's now
    std::filesystem::remove(places.previous, ignored);
    return {};
  }
  std::string error;
  struct stat info {};
  const bool still_link = ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
  if (shape == "none") {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      // A mount point cannot go: empty is the nearest to "no file".
      error = PutResolvConf(path, "", 0644);
    }
  } else if (shape == "link" && !still_link) {
    const std::filesystem::path temporary = path.parent_path() / ".resolv.conf.vlvpn-link";
    std::filesystem::remove(temporary, ignored);
    std::filesystem::create_symlink(record.value("link", ""), temporary, ignored);
    if (ignored || ::rename(temporary.c_str(), path.c_str()) != 0) {
      std::filesystem::remove(temporary, ignored);
      error = PutResolvConf(path, ReadPrevious(places.previous).value_or(""), 0644);
    }
  } else if (shape == "file" || shape == "link") {
    const std::optional<std::string> previous = ReadPrevious(places.previous);
    if (!previous) return "The previous " + path.string() + " is lost (" + places.previous.string() + ")";
    // Never more than it may have been: no set-id bits, nobody else writing.
    error = PutResolvConf(path, *previous, static_cast<mode_t>(record.value("mode", 0644u) & 0755u),
                          record.value("owner", 0u), record.value("group", 0u));
  }
  if (error.empty()) std::filesystem::remove(places.previous, ignored);
  return error;
}

// systemd-resolved, over D-Bus.
struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

Bus OpenBus(const std::string& address) {
  sd_bus* bus = nullptr;
  int result = 0;
  if (address.empty()) {
    result = sd_bus_open_system(&bus);
  } else if ((result = sd_bus_new(&bus)) >= 0) {
    if ((result = sd_bus_set_address(bus, address.c_str())) >= 0 && (result = sd_bus_set_bus_client(bus, 1)) >= 0) {
      result = sd_bus_start(bus);
    }
  }
  if (result < 0) {
    if (bus != nullptr) sd_bus_unref(bus);
    return nullptr;
  }
  return Bus(bus);
}

// Link settings end with the boot; a link number from another boot names another link.
std::string BootId() { return ReadFileBytes("/proc/sys/kernel/random/boot_id").value_or(""); }

bool ResolvedRuns(sd_bus* bus) {
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C99 compound literal
  sd_bus_message* reply = nullptr;
  int owned = 0;
  const int result = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                        "NameHasOwner", &error, &reply, "s", kResolved);
  if (result >= 0) sd_bus_message_read(reply, "b", &owned);
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return result >= 0 && owned != 0;
}

// Builds a call with `fill`, sends it; "" or the resolver's reason.
std::string Call(sd_bus* bus, const char* method, const std::function<int(sd_bus_message*)>& fill) {
  sd_bus_message* raw = nullptr;
  int result = sd_bus_message_new_method_call(bus, &raw, kResolved, kResolvedPath, kResolvedManager, method);
  Message message(raw);
  if (result >= 0) result = fill(message.get());
  if (result < 0) return std::string("Cannot ask systemd-resolved to ") + method + ": " + std::strerror(-result);
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C99 compound literal
  result = sd_bus_call(bus, message.get(), kBusTimeout, &error, nullptr);
  std::string text;
  if (result < 0) {
    text = std::string("systemd-resolved refused ") + method + ": " +
           (error.message != nullptr ? error.message : std::strerror(-result));
  }
  sd_bus_error_free(&error);
  return text;
}

std::string ApplyToResolved(sd_bus* bus, const TunnelDns& dns, const std::function<void(const Value&)>& remember) {
  const unsigned index = ::if_nametoindex(dns.device.c_str());
  if (index == 0) return "No network device \"" + dns.device + "\" to set its resolvers";
  const int link = static_cast<int>(index);
  remember({{"backend", "resolved"}, {"link", link}, {"boot", BootId()}});
  std::string error = Call(bus, "SetLinkDNS", [&](sd_bus_message* m) {
    int r = sd_bus_message_append(m, "i", link);
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(iay)");
    for (const auto& server : dns.servers) {
      unsigned char bytes[16];
      const int family = server.find(':') == std::string::npos ? AF_INET : AF_INET6;
      if (r < 0 || ::inet_pton(family, server.c_str(), bytes) != 1) continue;
      r = sd_bus_message_open_container(m, 'r', "iay");
      if (r >= 0) r = sd_bus_message_append(m, "i", family);
      if (r >= 0) r = sd_bus_message_append_array(m, 'y', bytes, family == AF_INET ? 4 : 16);
      if (r >= 0) r = sd_bus_message_close_container(m);
    }
    return r >= 0 ? sd_bus_message_close_container(m) : r;
  });
  // "~.": every name goes to this link's servers, none around the tunnel.
  if (error.empty()) {
    error = Call(bus, "SetLinkDomains", [&](sd_bus_message* m) {
      int r = sd_bus_message_append(m, "i", link);
      if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(sb)");
      if (r >= 0) r = sd_bus_message_append(m, "(sb)", "~.", 1);
      for (const auto& domain : dns.domains) {
        if (r >= 0) r = sd_bus_message_append(m, "(sb)", domain.c_str(), 0);
      }
      return r >= 0 ? sd_bus_message_close_container(m) : r;
    });
  }
  if (error.empty()) {
    error = Call(bus, "SetLinkDefaultRoute", [&](sd_bus_message* m) { return sd_bus_message_append(m, "ib", link, 1); });
  }
  if (!error.empty()) Call(bus, "RevertLink", [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", link); });
  return error;
}

}  // namespace

std::string ApplyDns(const DnsPlaces& places, const TunnelDns& dns, const Value& current,
                     const std::function<void(const Value&)>& remember) try {
  if (dns.servers.empty()) return {};
  const bool file_in_use = current.is_object() && current.value("backend", "") == "file";
  if (places.use_resolved && !file_in_use) {
    if (Bus bus = OpenBus(places.bus_address); bus && ResolvedRuns(bus.get())) {
      return ApplyToResolved(bus.get(), dns, remember);
    }
  }
  return ApplyToFile(places, dns, current, remember);
} catch (const Value::exception& error) {
  return std::string("the record of the resolvers set before is damaged (") + error.what() + ")";
}

bool IsDnsRecord(const Value& record) {
  if (!record.is_object() || !record.contains("backend")) return false;
  const auto is = [&record](const char* key, bool (Value::*kind)() const noexcept) {
    return record.contains(key) && (record[key].*kind)();
  };
  const auto optional_number = [&record](const char* key) {
    return !record.contains(key) || record[key].is_number_unsigned();
  };
  if (record["backend"] == "resolved") return is("link", &Value::is_number_integer) && is("boot", &Value::is_string);
  if (record["backend"] != "file" || !is("shape", &Value::is_string) || !is("written", &Value::is_string)) return false;
  const std::string shape = record["shape"];
  return (shape == "none" || shape == "file" || (shape == "link" && is("link", &Value::is_string))) &&
         optional_number("mode") && optional_number("owner") && optional_number("group");
}

std::string RevertDns(const DnsPlaces& places, const Value& record) try {
  if (!record.is_object()) return {};
  const std::string backend = record.value("backend", "");
  if (backend == "file") return RevertFile(places, record);
  if (backend != "resolved" || record.value("boot", "") != BootId()) return {};
  Bus bus = OpenBus(places.bus_address);
  if (!bus) return "Cannot reach systemd-resolved to undo the tunnel's resolvers";
  const int link = record.value("link", 0);
  // A link that is gone took its settings with it.
  char name[IF_NAMESIZE];
  if (::if_indextoname(static_cast<unsigned>(link), name) == nullptr) return {};
  return Call(bus.get(), "RevertLink", [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", link); });
} catch (const Value::exception& error) {
  return std::string("the record of how to undo it is damaged (") + error.what() + ")";
}

}  // namespace vlvpn::service
