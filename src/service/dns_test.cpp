// The tunnel's resolvers: what the helper reads from OpenVPN, what the service accepts,
// and the system's resolver set and put back (a resolver file of the test's own, and a
// stand-in of systemd-resolved on a private bus).
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include "common/file_io.h"
#include "service/dns.h"
#include "service/peer.h"
#include "service/system_dns.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace vlvpn::service {
namespace {

using namespace std::chrono_literals;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using Environment = std::map<std::string, std::string>;

// OpenVPN's environment for its "up" script on tun0, with foreign_option_1, _2, ... set
// to "dhcp-option <option>" ("" leaves that number out).
Environment Up(const std::vector<std::string>& options) {
  Environment environment = {{"script_type", "up"}, {"dev", "tun0"}};
  for (std::size_t i = 0; i < options.size(); ++i) {
    if (!options[i].empty())
      environment["foreign_option_" + std::to_string(i + 1)] = "dhcp-option " + options[i];
  }
  return environment;
}

TEST(DnsReportTest, TheHelperReportsOnlyAddressesAndNamesOpenVpnWasGiven) {
  struct Case {
    Environment environment;
    std::string line;  // "" when there is nothing to report
  };
  const Case cases[] = {
      {Up({"DNS 10.8.0.1", "DNS6 fd00::53", "DOMAIN corp.example", "DOMAIN-SEARCH b.example",
           "DNS 10.8.0.1"}),
       "DNS_UP tun0 10.8.0.1,fd00::53 corp.example,b.example"},
      // Numbering ends at the first gap; what is no server's address or no name is left out.
      {Up({"DNS 10.8.0.1;reboot", "WINS 10.8.0.2", "DOMAIN a b", "DOMAIN x\nnameserver 1.1.1.1",
           "DNS 999.1.1.1", "DNS 127.0.0.1", "DNS 0.0.0.0", "DNS 224.0.0.251", "DNS6 ff02::fb",
           "DNS 169.254.169.254", "DNS6 ::ffff:127.0.0.1", "DNS6 fe80::1", "DOMAIN x_y", "DOMAIN 1.2.3.4",
           "DOMAIN a-.example", "", "DNS 10.8.0.7"}),
       "DNS_UP tun0 - -"},
      // As many as the system resolver reads: three servers, six domains.
      {Up({"DNS 10.8.0.1", "DNS 10.8.0.2", "DNS 10.8.0.3", "DNS 10.8.0.4", "DOMAIN a.example",
           "DOMAIN b.example", "DOMAIN c.example", "DOMAIN d.example", "DOMAIN e.example", "DOMAIN f.example",
           "DOMAIN g.example"}),
       "DNS_UP tun0 10.8.0.1,10.8.0.2,10.8.0.3 a.example,b.example,c.example,d.example,e.example,f.example"},
      {Up({}), "DNS_UP tun0 - -"},
      {{{"script_type", "down"}, {"dev", "tun0"}, {"foreign_option_1", "dhcp-option DNS 10.8.0.1"}}, ""},
      {{{"script_type", "route-up"}, {"dev", "tun0"}}, ""},
      {{{"script_type", "up"}, {"dev", "tun0 x"}}, ""},
      {{{"script_type", "up"}}, ""},
  };
  for (const Case& c : cases) {
    const auto report = DnsReportFromEnvironment([&](const std::string& name) -> const char* {
      const auto found = c.environment.find(name);
      return found == c.environment.end() ? nullptr : found->second.c_str();
    });
    EXPECT_EQ(report ? FormatDnsReport(*report) : "", c.line);
    if (report) {  // and the service reads back what the helper wrote
      const auto parsed = ParseDnsReport(FormatDnsReport(*report));
      ASSERT_TRUE(parsed);
      EXPECT_EQ(FormatDnsReport(*parsed), c.line);
    }
  }
}

TEST(DnsReportTest, TheServiceTakesNothingButAddressesAndNames) {
  for (const char* line : {"DNS_UP tun0 10.8.0.1", "DNS_UP tun0 10.8.0.1 - extra", "DNS_UP tun0 10.8.0.1, -",
                           "DNS_UP tun0 ,10.8.0.1 -", "DNS_UP tun0 10.8.0.1 a..b",
                           "DNS_UP tun0 10.8.0.1 -corp", "DNS_UP ../x 10.8.0.1 -",
                           "DNS_UP tun0 10.8.0.1 a\tb", "DNS_UP tun0 10.8.0.1,10.8.0.2,10.8.0.3,10.8.0.4 -",
                           "DNS_UP tun0 127.0.0.1 -", "DNS_UP tun0 ff02::1 -", "DNS_UP  tun0 10.8.0.1 -",
                           "DNS_DOWN tun0", "PING", "DNS_UP averyveryverylongname 10.8.0.1 -"}) {
    EXPECT_FALSE(ParseDnsReport(line)) << line;
  }
  EXPECT_FALSE(ParseDnsReport("DNS_UP tun0 10.8.0.1 " + std::string(63, 'a') + "." + std::string(63, 'b') +
                              "," + std::string(63, 'c') + "." + std::string(63, 'd') + ",x.example"));
  const auto report = ParseDnsReport("DNS_UP tun0 10.8.0.1,fd00::53 corp.example");
  ASSERT_TRUE(report);
  EXPECT_THAT(RenderResolvConf(report->dns),
              EndsWith("\nnameserver 10.8.0.1\nnameserver fd00::53\nsearch corp.example\n"));
}

// Reports are taken only from a child of the service's OpenVPN; by the time one is read,
// a reporter that left may have passed its pid on to another child.
TEST(DnsReportTest, AReporterIsAChildOnlyWhileItRuns) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to choose the next pid";
  testing::TempFolder folder;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = (folder.path() / "dns.sock").string();
  std::memcpy(address.sun_path, path.data(), path.size());
  const auto* at = reinterpret_cast<const sockaddr*>(&address);
  const UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(listener.get(), at, sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  // A child that connects, then waits (`stay`) or ends. It names itself as if it were a
  // child of our parent: the kernel shows the name in /proc/<pid>/stat as it is.
  const std::string forged = "x) S " + std::to_string(::getppid()) + "\n";
  const auto reporter = [&](bool stay) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_NAME, forged.c_str());
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (::connect(fd, at, sizeof address) != 0) ::_exit(1);
      if (stay) ::pause();
      ::_exit(0);
    }
    return pid;
  };
  const auto heard = [&] {
    Peer peer;
    const UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(ReadPeer(accepted.get(), peer, true));
    return peer;
  };
  const auto end = [](pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  };

  const pid_t staying = reporter(true);
  const Peer running = heard();
  EXPECT_TRUE(PeerIsChildOf(running, ::getpid()));
  EXPECT_FALSE(PeerIsChildOf(running, ::getppid()));
  end(staying);
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  int pidfd = -1;
  socklen_t size = sizeof pidfd;
  const bool held = ::getsockopt(pair[0], SOL_SOCKET, kSoPeerPidFd, &pidfd, &size) == 0;
  for (const int fd : {pair[0], pair[1], pidfd}) ::close(fd);
  if (!held) GTEST_SKIP() << "the kernel cannot hand over its peer's process (before 6.5): pid alone";

  const pid_t gone = reporter(false);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  pid_t successor = -1;
  for (int attempt = 0; attempt < 20 && successor != gone; ++attempt) {
    if (successor > 0) end(successor);
    std::ofstream("/proc/sys/kernel/ns_last_pid") << gone - 1;
    successor = reporter(true);
  }
  const Peer left = heard();
  const bool taken = PeerIsChildOf(left, ::getpid());
  end(successor);
  ASSERT_EQ(successor, gone) << "another process took the pid first";
  EXPECT_EQ(left.pid, gone);
  EXPECT_FALSE(taken) << "the pid's next owner was taken for the reporter";
}

std::string ModeOf(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? std::to_string(info.st_mode & 0777) : "none";
}

// What a resolver path is: "link <target>", "file <bytes>" or "none".
std::string ShapeOf(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::is_symlink(path, ec)) return "link " + std::filesystem::read_symlink(path).string();
  const auto bytes = ReadFileBytes(path);
  return bytes ? "file " + *bytes : "none";
}

TEST(SystemDnsTest, TheResolverFileIsReplacedAndComesBackInTheShapeItHad) {
  const TunnelDns dns{"tun0", {"10.8.0.1"}, {"corp.example"}};
  enum class Before { kFile, kLink, kNone };
  for (const Before before : {Before::kFile, Before::kLink, Before::kNone}) {
    testing::TempFolder folder;
    const DnsPlaces places{folder.path() / "resolv.conf", folder.path() / "state" / "previous", false, ""};
    std::filesystem::create_directories(folder.path() / "state");
    WriteFileAtomically(folder.path() / "stub", "nameserver 127.0.0.53\n");
    if (before == Before::kFile) {
      WriteFileAtomically(places.resolv_conf, "nameserver 198.18.0.2\n");
      ::chmod(places.resolv_conf.c_str(), 0644);
    }
    if (before == Before::kLink) std::filesystem::create_symlink(folder.path() / "stub", places.resolv_conf);
    const std::string shape = ShapeOf(places.resolv_conf), mode = ModeOf(places.resolv_conf);

    Value record;
    ASSERT_EQ(ApplyDns(places, dns, Value(), [&](const Value& r) { record = r; }), "");
    EXPECT_THAT(ShapeOf(places.resolv_conf), HasSubstr("file # Velunor VPN"));
    EXPECT_THAT(ShapeOf(places.resolv_conf), HasSubstr("\nnameserver 10.8.0.1\nsearch corp.example\n"));
    EXPECT_EQ(ModeOf(places.resolv_conf), "420");  // 0644: every user's lookups read it
    EXPECT_EQ(ShapeOf(folder.path() / "stub"), "file nameserver 127.0.0.53\n");
    // A reconnect's new servers keep the way back to the first file.
    ASSERT_EQ(ApplyDns(places, {"tun1", {"10.9.0.1"}, {}}, record, [&](const Value& r) { record = r; }), "");
    EXPECT_THAT(ShapeOf(places.resolv_conf), HasSubstr("nameserver 10.9.0.1\n"));

    // Undone from the record alone, as a restarted service finds it; a damaged one is
    // not taken for one.
    EXPECT_TRUE(IsDnsRecord(ParseJson(record.dump())));
    for (const char* damage :
         {R"({"mode":"x"})", R"({"written":5})", R"({"shape":"pipe"})", R"({"backend":7})"}) {
      Value damaged = record;
      damaged.update(ParseJson(damage));
      EXPECT_FALSE(IsDnsRecord(damaged)) << damage;
    }
    ASSERT_EQ(RevertDns(places, ParseJson(record.dump())), "");
    EXPECT_EQ(ShapeOf(places.resolv_conf), shape);
    EXPECT_EQ(ModeOf(places.resolv_conf), mode);
    EXPECT_FALSE(std::filesystem::exists(places.previous));

    // A file someone else wrote meanwhile is theirs.
    ASSERT_EQ(ApplyDns(places, dns, Value(), [&](const Value& r) { record = r; }), "");
    WriteFileAtomically(places.resolv_conf, "nameserver 198.18.0.9\n");
    ASSERT_EQ(RevertDns(places, record), "");
    EXPECT_EQ(ShapeOf(places.resolv_conf), "file nameserver 198.18.0.9\n");
  }
}

// What `ip netns exec` lays over /etc/resolv.conf: a file mounted on the path, which no
// rename replaces (EBUSY). Written in place, and put back in place; in a mount namespace
// of a child's own.
TEST(SystemDnsTest, AResolverFileThatIsAMountPointIsWrittenInPlace) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root (a mount namespace)";
  testing::TempFolder folder;
  const DnsPlaces places{folder.path() / "resolv.conf", folder.path() / "state" / "previous", false, ""};
  WriteFileAtomically(places.resolv_conf, "");
  WriteFileAtomically(folder.path() / "laid-over", "nameserver 198.18.0.2\n");
  const pid_t child = ::fork();
  if (child == 0) {
    const auto check = [](bool ok, int code) {
      if (!ok) ::_exit(code);
    };
    check(::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              ::mount((folder.path() / "laid-over").c_str(), places.resolv_conf.c_str(), nullptr, MS_BIND,
                      nullptr) == 0,
          10);
    const auto laid_over = [&] { return ReadFileBytes(folder.path() / "laid-over").value_or(""); };
    Value record;
    check(ApplyDns(places, {"tun0", {"10.8.0.1"}, {}}, Value(), [&](const Value& r) { record = r; }).empty(),
          11);
    check(laid_over().find("nameserver 10.8.0.1\n") != std::string::npos, 12);
    check(RevertDns(places, record).empty(), 13);
    check(laid_over() == "nameserver 198.18.0.2\n", 14);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failed at step " << WEXITSTATUS(status);
}

// systemd-resolved's Manager methods the service calls, answered by a stand-in that
// writes each call as a line (or refuses SetLinkDomains).
int WriteCall(sd_bus_message* message, void* userdata, sd_bus_error* error) {
  const int out = *static_cast<int*>(userdata);
  const std::string member = sd_bus_message_get_member(message);
  std::string line = member;
  int link = 0;
  sd_bus_message_read(message, "i", &link);
  line += " " + std::to_string(link);
  if (member == "SetLinkDNS") {
    sd_bus_message_enter_container(message, 'a', "(iay)");
    while (sd_bus_message_enter_container(message, 'r', "iay") > 0) {
      int family = 0;
      const void* bytes = nullptr;
      std::size_t size = 0;
      sd_bus_message_read(message, "i", &family);
      sd_bus_message_read_array(message, 'y', &bytes, &size);
      char text[INET6_ADDRSTRLEN] = "?";
      ::inet_ntop(family, bytes, text, sizeof text);
      line += std::string(" ") + text;
      sd_bus_message_exit_container(message);
    }
  } else if (member == "SetLinkDomains") {
    if (std::getenv("STAND_IN_REFUSES") != nullptr) {
      return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied", "not today");
    }
    const char* domain = nullptr;
    int routing = 0;
    sd_bus_message_enter_container(message, 'a', "(sb)");
    while (sd_bus_message_read(message, "(sb)", &domain, &routing) > 0) {
      line += std::string(" ") + domain + (routing ? "(routing)" : "");
    }
  } else if (member == "SetLinkDefaultRoute") {
    int on = 0;
    sd_bus_message_read(message, "b", &on);
    line += on ? " yes" : " no";
  }
  line += "\n";
  (void)!::write(out, line.data(), line.size());
  return sd_bus_reply_method_return(message, "");
}

const sd_bus_vtable kResolvedStandIn[] = {SD_BUS_VTABLE_START(0),
                                          SD_BUS_METHOD("SetLinkDNS", "ia(iay)", "", WriteCall, 0),
                                          SD_BUS_METHOD("SetLinkDomains", "ia(sb)", "", WriteCall, 0),
                                          SD_BUS_METHOD("SetLinkDefaultRoute", "ib", "", WriteCall, 0),
                                          SD_BUS_METHOD("RevertLink", "i", "", WriteCall, 0),
                                          SD_BUS_VTABLE_END};

TEST(SystemDnsTest, SystemdResolvedGetsTheTunnelsLinkAndTheWayBack) {
  if (::access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "needs dbus-daemon";
  testing::TempFolder folder;
  const auto socket = folder.path() / "bus";
  const std::string address = "unix:path=" + socket.string();
  WriteFileAtomically(folder.path() / "bus.conf",
                      "<busconfig><type>custom</type><listen>" + address +
                          "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                          "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                          "</policy></busconfig>\n");
  const testing::ChildProcess bus("/usr/bin/dbus-daemon",
                                  {"--nofork", "--config-file=" + (folder.path() / "bus.conf").string()}, {});
  struct Killed {  // on every way out of the test
    pid_t pid = 0;
    ~Killed() {
      if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    }
  };
  for (int i = 0; i < 200 && !std::filesystem::exists(socket); ++i) std::this_thread::sleep_for(10ms);
  const TunnelDns dns{"lo", {"10.8.0.53", "fd00::53"}, {"corp.example"}};
  const std::string link = std::to_string(::if_nametoindex("lo"));
  // What ApplyDns answers, and the calls the stand-in saw.
  const std::pair<std::string, std::string> cases[] = {
      {"", "SetLinkDNS " + link + " 10.8.0.53 fd00::53\nSetLinkDomains " + link +
               " ~.(routing) corp.example\nSetLinkDefaultRoute " + link + " yes\nRevertLink " + link + "\n"},
      {"systemd-resolved refused SetLinkDomains: not today",
       "SetLinkDNS " + link + " 10.8.0.53 fd00::53\nRevertLink " + link + "\n"},
  };
  for (const auto& [error, expected] : cases) {
    int calls[2];
    ASSERT_EQ(::pipe(calls), 0);
    Killed stand_in{::fork()};
    if (stand_in.pid == 0) {
      if (!error.empty()) ::setenv("STAND_IN_REFUSES", "1", 1);
      sd_bus* connection = nullptr;
      int out = calls[1];
      if (sd_bus_new(&connection) < 0 || sd_bus_set_address(connection, address.c_str()) < 0 ||
          sd_bus_set_bus_client(connection, 1) < 0 || sd_bus_start(connection) < 0 ||
          sd_bus_add_object_vtable(connection, nullptr, "/org/freedesktop/resolve1",
                                   "org.freedesktop.resolve1.Manager", kResolvedStandIn, &out) < 0 ||
          sd_bus_request_name(connection, "org.freedesktop.resolve1", 0) < 0) {
        ::_exit(3);
      }
      (void)!::write(out, "ready\n", 6);
      for (;;) {
        if (sd_bus_process(connection, nullptr) == 0) sd_bus_wait(connection, UINT64_MAX);
      }
    }
    ::close(calls[1]);
    char ready[6];
    ASSERT_EQ(::read(calls[0], ready, sizeof ready), 6);

    const DnsPlaces places{folder.path() / "resolv.conf", folder.path() / "previous", true, address};
    Value record;
    EXPECT_EQ(ApplyDns(places, dns, Value(), [&](const Value& r) { record = r; }), error);
    if (error.empty()) {
      EXPECT_EQ(RevertDns(places, ParseJson(record.dump())), "");
    }
    EXPECT_FALSE(std::filesystem::exists(places.resolv_conf));  // never the file while resolved runs
    ::kill(stand_in.pid, SIGKILL);
    ::waitpid(stand_in.pid, nullptr, 0);
    stand_in.pid = 0;
    std::string written;
    char chunk[512];
    for (ssize_t n; (n = ::read(calls[0], chunk, sizeof chunk)) > 0;)
      written.append(chunk, static_cast<std::size_t>(n));
    ::close(calls[0]);
    EXPECT_EQ(written, expected);
  }
  // Without it on the bus, the file.
  const DnsPlaces places{folder.path() / "resolv.conf", folder.path() / "previous", true, address};
  EXPECT_EQ(ApplyDns(places, dns, Value(), [](const Value&) {}), "");
  EXPECT_THAT(ReadFileBytes(places.resolv_conf).value_or(""), HasSubstr("nameserver 10.8.0.53\n"));
}

}  // namespace
}  // namespace vlvpn::service
