// The real vlvpn-killswitchd, as root, in a network namespace of the test's own, asked
// by clients that are root or an unprivileged user the test makes up (uid 4242 and
// 4343; a user is "in the service's group" when nogroup is among its groups).
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sched.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "common/file_io.h"
#include "service/peer.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace vlvpn::service {
namespace {

using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr gid_t kServiceGroup = 65534;  // nogroup, which the daemon is told to trust

struct Identity {
  uid_t uid;
  std::vector<gid_t> groups;
};
const Identity kRoot{0, {}};
const Identity kMember{4242, {kServiceGroup}};
const Identity kOtherMember{4343, {kServiceGroup}};
// Stops every process of its uid, so it has one of its own: no other test's (ctest runs
// two at once).
const Identity kStaller{4244, {kServiceGroup}};
const Identity kStranger{4242, {}};

int Shell(const std::string& command) { return std::system(command.c_str()); }

// Takes on `who`'s ids, all of them or (fully false) the effective ones alone. Raw calls:
// after fork, only this thread exists to change.
bool Become(const Identity& who, bool fully = true) {
  const uid_t kept = fully ? who.uid : static_cast<uid_t>(-1);  // -1: root's stays
  return ::syscall(SYS_setgroups, who.groups.size(), who.groups.data()) == 0 &&
         ::syscall(SYS_setresgid, kept, who.uid, kept) == 0 &&
         ::syscall(SYS_setresuid, kept, who.uid, kept) == 0;
}

sockaddr_un Address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

int Connect(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = Address(path);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Everything the service sends until it closes (at most 10 s).
std::string ReadToEnd(int fd) {
  std::string text;
  char buffer[1024];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 10000) > 0) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the service and its tests need root";
    if (Shell("command -v ip >/dev/null && command -v nft >/dev/null") != 0)
      GTEST_SKIP() << "needs ip and nft";
    namespace_ = "vlvpn-svc-" + std::to_string(::getpid());
    ASSERT_EQ(Shell("ip netns add " + namespace_ + " && ip netns exec " + namespace_ + " ip link set lo up"),
              0);
    ::chmod(root_.path().c_str(), 0711);  // the made-up users reach their own folders below
    StartDaemon();
  }
  void TearDown() override {
    daemon_.reset();
    if (!namespace_.empty())
      Shell("ip netns pids " + namespace_ + " | xargs -r kill -9; ip netns del " + namespace_);
  }

  // `extra` arguments; `runner`: a program that runs the service, e.g. one that withholds a capability.
  void StartDaemon(const std::vector<std::string>& extra = {}, const std::vector<std::string>& runner = {}) {
    std::vector<std::string> arguments = {"netns", "exec", namespace_};
    arguments.insert(arguments.end(), runner.begin(), runner.end());
    arguments.insert(arguments.end(),
                     {testing::SiblingProgram("vlvpn-killswitchd").string(), "--socket", Socket(), "--group",
                      "nogroup", "--state-dir", State().string(), "--dns-state-dir", (root_.path() / "dns").string(),
                      "--resolv-conf", (root_.path() / "resolv.conf").string()});
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    daemon_ = std::make_unique<testing::ChildProcess>("/usr/sbin/ip", arguments, testing::ChildProcess::Environment{});
    for (int i = 0; i < 200 && Ask(kRoot, "PING") != "PONG\n"; ++i) std::this_thread::sleep_for(20ms);
  }

  std::string Socket() const { return (root_.path() / "ks.sock").string(); }
  std::filesystem::path State() const { return root_.path() / "state"; }
  std::string Table() {
    return Output("ip netns exec " + namespace_ + " nft list table inet vlvpn 2>/dev/null");
  }
  static std::string Output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
      char buffer[4096];
      while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
      ::pclose(pipe);
    }
    return text;
  }

  // One command as `who`: a child becomes that user and asks, as a client would.
  std::string Ask(const Identity& who, const std::string& line, std::string socket = "") const {
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) return "pipe failed";
    if (socket.empty()) socket = Socket();
    const std::string request = line + "\n";
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (!Become(who)) ::_exit(3);
      const int fd = Connect(socket);
      if (fd < 0) {
        (void)!::write(channel[1], "(cannot connect)", 16);
        ::_exit(4);
      }
      if (!line.empty()) (void)!::write(fd, request.data(), request.size());  // "": only listens
      char buffer[1024];
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        (void)!::write(channel[1], buffer, static_cast<std::size_t>(n));
      ::_exit(0);
    }
    ::close(channel[1]);
    std::string reply = ReadToEnd(channel[0]);
    ::close(channel[0]);
    ::kill(pid, SIGKILL);  // still waiting after ReadToEnd's 10 s: a service that never answers
    ::waitpid(pid, nullptr, 0);
    return reply;
  }

  static void SetUpTestSuite() {
    if (::geteuid() != 0) return;
    // The account the service runs OpenVPN under, as an install makes it.
    Shell(
        "getent passwd vlvpn-openvpn >/dev/null || useradd --system --user-group --no-create-home "
        "--home-dir /nonexistent --shell /usr/sbin/nologin vlvpn-openvpn 2>/dev/null; true");
    pki_ = std::make_unique<testing::TempFolder>();
    Shell("bash '" + testing::SiblingProgram("fixtures/pki.sh").string() + "' '" + pki_->path().string() +
          "' >/dev/null 2>&1");
  }
  static void TearDownTestSuite() { pki_.reset(); }

  // A folder of the user's own with a profile (keys beside it) for a loopback server.
  std::filesystem::path UserFolder(const Identity& who, const std::string& profile) {
    const auto folder = root_.path() / ("user-" + std::to_string(who.uid));
    std::filesystem::create_directories(folder);
    WriteFileAtomically(folder / "p.ovpn", profile);
    WriteFileAtomically(folder / "management.txt", "s3cret\n");
    for (const char* file : {"ca.crt", "client.crt", "client.key"}) {
      std::filesystem::copy_file(pki_->path() / file, folder / file);
    }
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      EXPECT_EQ(::chown(entry.path().c_str(), who.uid, who.uid), 0);
    }
    EXPECT_EQ(::chown(folder.c_str(), who.uid, who.uid), 0);
    return folder;
  }

  static std::string StartLine(const std::string& program, const std::string& arguments) {
    return "OPENVPN_START\t" + program + "\t" + arguments;
  }
  static std::string ClientArguments(const std::filesystem::path& folder, std::filesystem::path log = {}) {
    if (log.empty()) log = folder / "openvpn.log";
    return "--config \"" + (folder / "p.ovpn").string() + "\" --log \"" + log.string() +
           "\" --management 127.0.0.1 11941 \"" + (folder / "management.txt").string() +
           "\" --verb 3 --connect-retry 2 --connect-timeout 10"
           " --connect-retry-max 5 --ping 10 --ping-restart 60";
  }

  static inline std::unique_ptr<testing::TempFolder> pki_;
  testing::TempFolder root_;
  std::string namespace_;
  std::unique_ptr<testing::ChildProcess> daemon_;
};

const std::string kProfile =
    "client\ndev null\ntls-client\nnobind\nremote 127.0.0.1 1199\nproto udp\nca ca.crt\ncert client.crt\n"
    "key client.key\n";

TEST_F(ServiceTest, OnlyRootAndTheGroupAreHeardAndBadClientsHoldUpNoOne) {
  const int silent = Connect(Socket());
  ASSERT_GE(silent, 0);

  const int slow = Connect(Socket());
  (void)!::write(slow, "PI", 2);
  std::this_thread::sleep_for(300ms);
  (void)!::write(slow, "NG\n", 3);
  EXPECT_EQ(ReadToEnd(slow), "PONG\n");
  ::close(slow);

  const std::pair<std::string, std::string> bad[] = {
      {std::string(20000, 'A'), "Refused: a command is one line of at most 16384 bytes\n"},
      {std::string("\x01\xff garbage\n", 11), "Unknown command\n"},
      {"ENABLE udp 1 9 none p\n", "ENABLE: the flag must be 1 or 0\n"},
  };
  for (const auto& [sent, reply] : bad) {
    const int fd = Connect(Socket());
    (void)!::write(fd, sent.data(), sent.size());
    EXPECT_EQ(ReadToEnd(fd), reply);
    ::close(fd);
  }

  std::vector<int> many;
  for (int i = 0; i < 200; ++i) many.push_back(Connect(Socket()));
  for (std::size_t i = 0; i < many.size(); ++i) {
    const std::string line = i % 2 == 0 ? "OPENVPN_STATUS\n" : "PING\n";
    ASSERT_GE(many[i], 0);
    (void)!::write(many[i], line.data(), line.size());
  }
  for (std::size_t i = 0; i < many.size(); ++i) {
    EXPECT_EQ(ReadToEnd(many[i]), i % 2 == 0 ? "STOPPED\n" : "PONG\n") << i;
    ::close(many[i]);
  }
  EXPECT_EQ(ReadToEnd(silent), "");  // dropped after its deadline, with nothing sent
  ::close(silent);

  EXPECT_EQ(Ask(kMember, "PING"), "PONG\n");
  struct stat info {};
  ASSERT_EQ(::stat(Socket().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0660u);
  EXPECT_EQ(info.st_gid, kServiceGroup);
  EXPECT_EQ(Ask(kStranger, "PING"), "(cannot connect)");
  // Were the socket opened to all (a hand-made socket unit), the service still asks the kernel.
  ASSERT_EQ(::chmod(Socket().c_str(), 0666), 0);
  for (const char* line : {"PING", "DISABLE", "OPENVPN_STOP"}) {
    EXPECT_THAT(Ask(kStranger, line), StartsWith("Refused: only root and members")) << line;
  }
}

TEST_F(ServiceTest, RefusesWhatWouldMakeRootRunReadOrWriteForAUser) {
  const auto folder = UserFolder(kMember, kProfile);
  const std::string openvpn = "/usr/sbin/openvpn";
  const std::string arguments = ClientArguments(folder);
  const std::string start = StartLine(openvpn, arguments);
  const auto user_file = [&](const std::string& name, const std::string& bytes) {
    WriteFileAtomically(folder / name, bytes);
    EXPECT_EQ(::chown((folder / name).c_str(), kMember.uid, kMember.uid), 0);
  };
  const auto refused = [&](const std::string& line, const std::string& reason) {
    const std::string reply = Ask(kMember, line);
    EXPECT_THAT(reply, HasSubstr(reason)) << line;
    EXPECT_EQ(reply.find('\n'), reply.size() - 1) << line;
  };
  // A root-only file the user must never get at through us.
  const auto secret = root_.path() / "root-only";
  WriteFileAtomically(secret, "root's secret\n");

  refused(StartLine("/bin/sh", "-c id"), "is not a trusted OpenVPN");
  std::filesystem::copy_file(openvpn, folder / "openvpn");
  refused(StartLine((folder / "openvpn").string(), arguments), "is not a trusted OpenVPN");
  // policy_test refuses options and directives one by one; one of each shows the service asks.
  refused(StartLine(openvpn, arguments + " --up /tmp/x.sh"), "\"--up\" is not allowed");
  user_file("big.crt", std::string((1 << 20) + 1, 'A'));
  const std::pair<std::string, std::string> profile_lines[] = {
      {"setenv opt route-up /tmp/x.sh", "\"route-up\""},
      {"auth-user-pass /etc/shadow", "Cannot read \"/etc/shadow\": Permission denied"},
      {"ca big.crt", "larger than 1048576 bytes"},
      {"ca /proc/self/maps", "not a regular file"},  // the reading child's own memory map
  };
  for (const auto& [line, reason] : profile_lines) {
    user_file("p.ovpn", kProfile + line + "\n");
    refused(start, reason);
  }
  user_file("p.ovpn", kProfile);
  refused(StartLine(openvpn, arguments + " --auth-user-pass \"" + secret.string() + "\""),
          "Permission denied");
  // Root's file as the log, then a link to it.
  refused(StartLine(openvpn, ClientArguments(folder, secret)), "Permission denied");
  std::filesystem::create_symlink(secret, folder / "openvpn.log");
  ::lchown((folder / "openvpn.log").c_str(), kMember.uid, kMember.uid);
  refused(start, "a symbolic link");
  std::filesystem::remove(folder / "p.ovpn");
  std::filesystem::create_symlink("/etc/shadow", folder / "p.ovpn");
  refused(start, "Permission denied");

  EXPECT_EQ(Ask(kMember, "OPENVPN_STATUS"), "STOPPED\n");
  EXPECT_EQ(ReadFileBytes(secret), "root's secret\n");
  EXPECT_FALSE(std::filesystem::exists(State() / "openvpn"));
}

// A field of /proc/<pid>/status, e.g. "CapEff".
std::string StatusField(const std::string& pid, const std::string& field) {
  std::ifstream status("/proc/" + pid + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) return line.substr(line.find_first_not_of(" \t", field.size() + 1));
  }
  return {};
}

TEST_F(ServiceTest, RunsOpenVpnForAUserAndOnlyThatUserStopsIt) {
  // Whatever the service inherited stays out of OpenVPN.
  const auto inherited = root_.path() / "inherited";
  const int leak = ::open(inherited.c_str(), O_CREAT | O_WRONLY, 0600);  // not close-on-exec
  ASSERT_GE(leak, 0);
  daemon_.reset();
  StartDaemon();
  ::close(leak);
  // Lines OpenVPN on Linux, not running as root, would stop on unless the service drops
  // them or makes them optional (policy_test shows how): it is still running below.
  const auto folder = UserFolder(
      kMember, kProfile + "user nobody\nkeepalive 10 60\nblock-outside-dns\nexplicit-exit-notify 30\n");
  const std::string started = Ask(kMember, StartLine("/usr/sbin/openvpn", ClientArguments(folder)));
  ASSERT_THAT(started, StartsWith("OK ")) << started;
  const std::string pid = started.substr(3, started.size() - 4);
  EXPECT_THAT(Ask(kOtherMember, "OPENVPN_STOP"),
              StartsWith("Refused: this OpenVPN was started by another user"));
  EXPECT_THAT(Ask(kMember, StartLine("/usr/sbin/openvpn", ClientArguments(folder))),
              HasSubstr("already running"));

  // OpenVPN runs as its own account, with CAP_NET_ADMIN alone and no way to more, and
  // holds no descriptor of the service's.
  const struct passwd* account = ::getpwnam("vlvpn-openvpn");
  ASSERT_NE(account, nullptr);
  EXPECT_THAT(StatusField(pid, "Uid"), StartsWith(std::to_string(account->pw_uid) + "\t"));
  for (const char* caps : {"CapEff", "CapPrm"}) EXPECT_EQ(StatusField(pid, caps), "0000000000001000") << caps;
  EXPECT_EQ(StatusField(pid, "NoNewPrivs"), "1");
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + pid + "/fd")) {
    std::error_code ignored;
    const std::string target = std::filesystem::read_symlink(fd.path(), ignored).string();
    // Its log, and the copies it may be reading right now, are its own.
    EXPECT_TRUE(target.find(root_.path().string()) == std::string::npos || target.ends_with("openvpn.log") ||
                target.starts_with((State() / "openvpn").string()))
        << fd.path() << " -> " << target;
  }
  // It reads root's copies (its group may read them) and a profile the service wrote.
  struct stat info {};
  for (const auto& copy : std::filesystem::directory_iterator(State() / "openvpn")) {
    ASSERT_EQ(::stat(copy.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u) << copy.path();
    EXPECT_EQ(info.st_gid, account->pw_gid) << copy.path();
    EXPECT_EQ(info.st_mode & 0777, 0640u) << copy.path();
  }
  const std::string rendered = ReadFileBytes(State() / "openvpn" / "profile.conf").value_or("");
  EXPECT_THAT(rendered, HasSubstr("ca \"" + (State() / "openvpn" / "file-0").string() + "\"\n"));
  EXPECT_EQ(ReadFileBytes(State() / "openvpn" / "management"), "s3cret\n");
  const auto log = [&] { return ReadFileBytes(folder / "openvpn.log").value_or(""); };
  for (int i = 0; i < 100 && log().find("OpenVPN 2") == std::string::npos; ++i)
    std::this_thread::sleep_for(20ms);
  EXPECT_THAT(log(), HasSubstr("OpenVPN 2"));
  ASSERT_EQ(::stat((folder / "openvpn.log").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kMember.uid);
  const std::string command_line = Output("ps -o args= -p " + pid);
  EXPECT_THAT(command_line, Not(HasSubstr("--ping")));  // the profile's keepalive rules
  // The one script is the service's DNS helper; its socket hears that helper alone.
  EXPECT_THAT(command_line,
              HasSubstr("--script-security 2 --up " + testing::SiblingProgram("vlvpn-dns-helper").string()));
  const std::string helper = (State() / "dns-helper.sock").string();
  const Identity openvpn_account{account->pw_uid, {account->pw_gid}};
  EXPECT_EQ(Ask(kMember, "DNS_UP tun0 198.18.0.53 -", helper), "(cannot connect)");
  EXPECT_THAT(Ask(openvpn_account, "DNS_UP lo 198.18.0.53 -", helper),
              StartsWith("Refused: not from the service's"));
  EXPECT_THAT(Ask(openvpn_account, "PING", helper), StartsWith("Refused: not a DNS report"));
  EXPECT_THAT(Ask(kMember, "DNS_UP lo 198.18.0.53 -"), StartsWith("Unknown command"));

  // Its exit notification makes it take a second to end; nobody else's command waits for that.
  std::string stopped;
  std::thread stop([&] { stopped = Ask(kMember, "OPENVPN_STOP"); });
  std::this_thread::sleep_for(300ms);
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask(kOtherMember, "OPENVPN_STATUS"), "RUNNING " + pid + "\n");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
  stop.join();
  EXPECT_EQ(stopped, "OK\n");
  EXPECT_EQ(Ask(kRoot, "OPENVPN_STATUS"), "STOPPED\n");
  EXPECT_NE(::kill(std::stoi(pid), 0), 0);
  EXPECT_FALSE(std::filesystem::exists(State() / "openvpn"));  // the copies held keys
}

// An OpenVPN whose first thread ended while another runs (a subverted one can do that
// to itself) still runs, with whatever is in its namespace: it is not taken for ended.
TEST_F(ServiceTest, AnOpenVpnRunsUntilItsLastThreadEnds) {
  const pid_t half = ::fork();
  if (half == 0) {
    pthread_t thread;
    ::pthread_create(&thread, nullptr, [](void*) -> void* { for (;;) ::pause(); }, nullptr);
    ::syscall(SYS_exit, 0);  // the first thread alone
  }
  for (int i = 0; i < 200 && StatusField(std::to_string(half), "State").rfind("Z", 0) != 0; ++i)
    std::this_thread::sleep_for(5ms);
  // Taken up as a restarted service takes up the OpenVPN it started.
  const std::string start = ProcessStat(half).at(19);  // field 22, its start time
  daemon_.reset();
  WriteFileAtomically(State() / "state",
                      R"({"openvpn":{"pid":)" + std::to_string(half) + R"(,"start":)" + start + R"(,"owner":4242}})");
  StartDaemon();
  EXPECT_EQ(Ask(kMember, "OPENVPN_STATUS"), "RUNNING " + std::to_string(half) + "\n");
  EXPECT_EQ(Ask(kMember, "OPENVPN_STOP"), "OK\n");
  if (::waitpid(half, nullptr, WNOHANG) != half) {
    ADD_FAILURE() << "still running after the stop";
    ::kill(half, SIGKILL);
    ::waitpid(half, nullptr, 0);
  }
}

// Every process of `uid` whose parent is `parent`, and whether each is stopped.
std::vector<std::pair<pid_t, bool>> ChildrenOf(pid_t parent, uid_t uid) {
  std::vector<std::pair<pid_t, bool>> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (StatusField(pid, "PPid") != std::to_string(parent)) continue;
    if (!StatusField(pid, "Uid").starts_with(std::to_string(uid) + "\t")) continue;
    found.emplace_back(std::stoi(pid), StatusField(pid, "State").starts_with("T"));
  }
  return found;
}

// What OpenVPN's account leaves running (here its up script's) ends with the session,
// also when the service was restarted in between (it then no longer is OpenVPN's parent).
TEST_F(ServiceTest, NothingOfOpenVpnsAccountOutlivesTheSession) {
  const auto helper = root_.path() / "up.sh";
  WriteFileAtomically(helper, "#!/bin/sh\n/usr/bin/setsid /usr/bin/sleep 6061 </dev/null >/dev/null 2>&1 &\n");
  ::chmod(helper.c_str(), 0755);
  daemon_.reset();
  StartDaemon({"--dns-helper", helper.string()});
  // Without "client" (and its pull), OpenVPN runs its up script at once, server or none.
  const auto folder = UserFolder(kMember, kProfile.substr(std::string("client\n").size()));
  ASSERT_THAT(Ask(kMember, StartLine("/usr/sbin/openvpn", ClientArguments(folder))), StartsWith("OK "));
  const auto leftover = [] { return Output("pgrep -x -f '/usr/bin/sleep 6061'"); };
  for (int i = 0; i < 250 && leftover().empty(); ++i) std::this_thread::sleep_for(20ms);
  const std::string pid = leftover();
  ASSERT_FALSE(pid.empty()) << "the up script never ran";
  daemon_.reset();
  StartDaemon({"--dns-helper", helper.string()});
  EXPECT_EQ(Ask(kMember, "OPENVPN_STOP"), "OK\n");
  EXPECT_NE(::kill(std::stoi(pid), 0), 0);

  // A stop sent before OpenVPN has its SIGTERM handler (which it needs, as the first
  // process of its namespace), or while it reads its configuration (it forgets signals
  // then), still ends it soon, not with SIGKILL 5 s later.
  for (int i = 0; i < 20; ++i) {
    ASSERT_THAT(Ask(kMember, StartLine("/usr/sbin/openvpn", ClientArguments(folder))), StartsWith("OK "));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(Ask(kMember, "OPENVPN_STOP"), "OK\n");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s) << i;
  }

  // Where no namespace can be had, OpenVPN is still started.
  daemon_.reset();
  StartDaemon({}, {"/usr/bin/setpriv", "--bounding-set=-sys_admin"});
  EXPECT_THAT(Ask(kMember, StartLine("/usr/sbin/openvpn", ClientArguments(folder))), StartsWith("OK "));
  EXPECT_EQ(Ask(kMember, "OPENVPN_STOP"), "OK\n");
}

TEST_F(ServiceTest, OneMemberStallsNobodyElse) {
  const pid_t service = static_cast<pid_t>(daemon_->pid());

  // Many silent connections of one member: the others are still served.
  const pid_t flooder = ::fork();
  if (flooder == 0) {
    Become(kStaller);
    std::vector<int> held;
    for (int i = 0; i < 600; ++i) held.push_back(Connect(Socket()));
    ::sleep(4);
    ::_exit(0);
  }
  std::this_thread::sleep_for(1500ms);
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask(kOtherMember, "OPENVPN_STATUS"), "STOPPED\n");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
  EXPECT_THAT(Ask(kStaller, ""), StartsWith("Busy: too many connections of yours"));
  ::kill(flooder, SIGKILL);
  ::waitpid(flooder, nullptr, 0);

  // A member who stops the child reading their files as them holds up only their own start.
  // A long profile keeps the child busy (and stoppable) for milliseconds, not microseconds.
  std::string padding;
  for (int i = 0; i < 12000; ++i) padding += "# the user's own notes, line after line of them\n";
  const auto folder = UserFolder(kStaller, padding + kProfile);
  int stopping[2];
  ASSERT_EQ(::pipe(stopping), 0);
  const pid_t stopper = ::fork();
  if (stopper == 0) {
    Become(kStaller);
    // Every process this user may signal but itself, again and again.
    for (const auto end = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < end;) {
      ::kill(-1, SIGSTOP);
      if (stopping[1] >= 0) {
        ::close(stopping[1]);
        stopping[1] = -1;
      }
    }
    ::_exit(0);
  }
  ::close(stopping[1]);
  char none = 0;
  (void)!::read(stopping[0], &none, 1);  // the stopper's first round is done
  ::close(stopping[0]);
  // Their start, sent once the stopping runs, from a process that is theirs only in its
  // effective ids (the service sees those), which the stopper cannot stop.
  const pid_t sender = ::fork();
  if (sender == 0) {
    Become(kStaller, false);
    const int fd = Connect(Socket());
    const std::string line = StartLine("/usr/sbin/openvpn", ClientArguments(folder)) + "\n";
    (void)!::write(fd, line.data(), line.size());
    ::pause();
    ::_exit(0);
  }
  bool seen_stopped = false;
  for (int i = 0; i < 200 && !seen_stopped; ++i) {
    for (const auto& [child, stopped] : ChildrenOf(service, kStaller.uid))
      seen_stopped = seen_stopped || stopped;
    if (!seen_stopped) std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(seen_stopped) << "the reading child was never stopped: the test proves nothing";
  for (const std::string line : {"OPENVPN_STATUS", "DISABLE"}) {
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_THAT(Ask(kOtherMember, line), AnyOf(StartsWith("STOPPED"), StartsWith("OK"))) << line;
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s) << line;
  }
  ::waitpid(stopper, nullptr, 0);
  ::kill(sender, SIGKILL);
  ::waitpid(sender, nullptr, 0);
  // The stopped child is killed at its deadline; nothing was started.
  for (int i = 0; i < 100 && !ChildrenOf(service, kStaller.uid).empty(); ++i)
    std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(ChildrenOf(service, kStaller.uid).empty());
  EXPECT_EQ(Ask(kRoot, "OPENVPN_STATUS"), "STOPPED\n");
}

TEST_F(ServiceTest, OnlyRootsDhcpPassesAClosedKillSwitchAndTheRulesOutliveTheService) {
  // A link out of the namespace, and ports below 1024 open to all, as in many containers.
  ASSERT_EQ(Shell("ip -n " + namespace_ + " link add d0 type veth peer name d1 && ip -n " + namespace_ +
                  " addr add 198.18.0.1/24 dev d0 && ip -n " + namespace_ + " link set d0 up && ip -n " +
                  namespace_ + " link set d1 up && ip netns exec " + namespace_ +
                  " sysctl -qw net.ipv4.ip_unprivileged_port_start=0"),
            0);
  EXPECT_EQ(Ask(kMember, "ENABLE udp 1194 1 198.18.0.2 /opt/vlvpn/VLVPNDesk"), "OK\n");
  // The error of sending from UDP 68 to 198.18.0.9:67 as `who` inside the namespace.
  const auto send_dhcp = [&](const Identity& who) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int netns = ::open(("/run/netns/" + namespace_).c_str(), O_RDONLY | O_CLOEXEC);
      if (netns < 0 || ::setns(netns, CLONE_NEWNET) != 0 || !Become(who)) ::_exit(100);
      const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in from{};
      from.sin_family = AF_INET;
      from.sin_port = htons(68);
      if (::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) ::_exit(102);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(67);
      to.sin_addr.s_addr = htonl(0xC6120009);  // 198.18.0.9
      const bool sent = ::sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 1;
      ::_exit(sent ? 0 : (errno == EPERM ? 1 : 103));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(send_dhcp(kRoot), 0);
  EXPECT_EQ(send_dhcp(kStranger), 1);  // refused by the kill switch

  ::kill(static_cast<pid_t>(daemon_->pid()), SIGKILL);
  daemon_->WaitForExit();
  EXPECT_THAT(Table(), HasSubstr("198.18.0.2"));  // fail-closed while no service runs
  StartDaemon();
  EXPECT_THAT(Table(), HasSubstr("killswitch_out"));
  EXPECT_EQ(Ask(kMember, "BLOCK_IPV6"), "OK\n");  // composes with the kill switch it found
  EXPECT_THAT(Table(), AllOf(HasSubstr("killswitch_out"), HasSubstr("ipv6_out")));
  EXPECT_EQ(Ask(kMember, "ENABLE udp 1194 0 198.18.0.2 /p"), "OK\n");
  EXPECT_THAT(Table(), Not(HasSubstr("killswitch_out")));
  EXPECT_EQ(Ask(kMember, "UNBLOCK_IPV6"), "OK\n");
  EXPECT_EQ(Output("ip netns exec " + namespace_ + " nft list tables"), "");  // nothing of ours left
}

TEST_F(ServiceTest, TakesTheSocketSystemdHandsIt) {
  // As a socket unit does: bound and listening on descriptor 3 before the service starts,
  // LISTEN_PID naming the service's own pid, the shell's (env, ip netns exec and the
  // service each replace the program before).
  const std::string path = (root_.path() / "activated.sock").string();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const sockaddr_un address = Address(path);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 16), 0);
  const std::string command = "exec env -i LISTEN_PID=$$ LISTEN_FDS=1 /usr/sbin/ip netns exec " + namespace_ +
                              " '" + testing::SiblingProgram("vlvpn-killswitchd").string() + "' --socket '" +
                              (root_.path() / "unused.sock").string() + "' --state-dir '" +
                              (root_.path() / "state-2").string() + "'";
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (listener != 3) {
      ::dup2(listener, 3);
      ::close(listener);
    }
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(listener);
  EXPECT_EQ(Ask(kRoot, "PING", path), "PONG\n");  // waits in the backlog until the service takes it
  EXPECT_FALSE(std::filesystem::exists(root_.path() / "unused.sock"));
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace vlvpn::service
