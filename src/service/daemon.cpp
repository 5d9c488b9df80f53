#include "service/daemon.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "common/file_io.h"
#include "common/spawn_posix.h"
#include "common/value.h"
#include "service/openvpn_policy.h"

namespace vlvpn::service {
namespace {

using namespace std::chrono_literals;
constexpr std::size_t kMaxProfile = 1 << 20;
constexpr std::size_t kMaxProfileFiles = 32;
constexpr auto kStopGrace = 5s;
constexpr auto kKillWait = 2s;
// OpenVPN forgets a signal that comes while it reads its configuration, so a stop says
// SIGTERM again each second until it ends. A second SIGTERM cuts an exit notification
// short, but the desktop's own SIGTERM through the management port began that already.
constexpr auto kTermRepeat = 1s;

void Log(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

// When a process started (field 22 of /proc/<pid>/stat; 0 when it is gone), and whether
// it is a zombie: its first thread ended, maybe not all of them.
struct Started {
  unsigned long long time = 0;
  bool zombie = false;
};
Started StartOf(pid_t pid) {
  const std::vector<std::string> fields = ProcessStat(pid);  // from field 3, the state
  if (fields.size() < 20 || fields[0] == "X") return {};
  return {std::strtoull(fields[19].c_str(), nullptr, 10), fields[0] == "Z"};
}

// Whether the process has a handler for SIGTERM yet. As the first process of its PID
// namespace, OpenVPN drops a SIGTERM that comes before its handler is set.
bool CatchesSigterm(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigCgt:")) return (std::strtoull(line.c_str() + 7, nullptr, 16) >> (SIGTERM - 1)) & 1;
  }
  return false;
}

// OpenVPN splits its --up command at blanks and quotes.
bool IsPlainPath(const std::string& path) {
  return path.find_first_of(" \t\n\r\"'\\") == std::string::npos;
}

bool OwnedByRootAndLocked(const std::filesystem::path& path, bool regular) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  if (regular ? !S_ISREG(info.st_mode) : !S_ISDIR(info.st_mode)) return false;
  return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string ModeWord(KillSwitchMode mode) {
  switch (mode) {
    case KillSwitchMode::kBlocking: return "blocking";
    case KillSwitchMode::kOpen: return "open";
    case KillSwitchMode::kOff: break;
  }
  return "off";
}

// fork(), the child the first process of a new PID namespace. The namespace for children
// belongs to the calling thread: this one's are sent there for the one fork and then
// home again (the service's other threads' never leave). -1 and errno when it failed.
pid_t ForkIntoNewPidNamespace() {
  const UniqueFd home(::open("/proc/thread-self/ns/pid", O_RDONLY | O_CLOEXEC));
  if (!home.valid() || ::unshare(CLONE_NEWPID) != 0) return -1;
  const pid_t pid = ::fork();
  const int error = errno;
  if (pid != 0 && ::setns(home.get(), CLONE_NEWPID) != 0) {
    Log(std::string("cannot return to the service's PID namespace: ") + std::strerror(errno));
  }
  errno = error;
  return pid;
}

}  // namespace

std::string CheckTrustedOpenVpn(const std::string& program, const std::vector<std::filesystem::path>& folders,
                                std::filesystem::path& resolved) {
  const std::string refusal = "Refused: \"" + program + "\" is not a trusted OpenVPN program";
  std::error_code ec;
  resolved = std::filesystem::canonical(program, ec);
  if (ec || resolved.filename() != "openvpn") return refusal;
  bool trusted_folder = false;
  for (const auto& folder : folders) trusted_folder = trusted_folder || resolved.parent_path() == folder;
  if (!trusted_folder || !OwnedByRootAndLocked(resolved, true) || !OwnedByRootAndLocked(resolved.parent_path(), false)) {
    return refusal;
  }
  return {};
}

Daemon::Daemon(DaemonOptions options, std::unique_ptr<Firewall> firewall)
    : options_(std::move(options)), firewall_(std::move(firewall)) {
  CreatePrivateFolder(options_.state_dir);
  options_.dns.previous = options_.dns_state_dir / "resolv.conf.previous";
  // OpenVPN's account passes through to its session folder, and sees nothing else here.
  if (options_.openvpn_account) {
    ::chmod(options_.state_dir.c_str(), 0711);
    rules_.openvpn_uid = options_.openvpn_account->uid;
  }
}

void Daemon::Restore() {
  if (const auto record = ReadFileBytes(DnsRecord())) {
    dns_ = ParseJson(*record);
    if (!IsDnsRecord(dns_)) {
      Log("DNS: the record of how to undo the resolvers is damaged; dropped");
      dns_ = Value();
      SaveDns();
    }
  }
  const auto text = ReadFileBytes(StateFile());
  const Value state = text ? ParseJson(*text) : Value();
  if (state.is_object()) {
    const std::string mode = state.value("kill_switch", "off");
    rules_.kill_switch = mode == "blocking" ? KillSwitchMode::kBlocking
                         : mode == "open"   ? KillSwitchMode::kOpen
                                            : KillSwitchMode::kOff;
    rules_.server.udp = state.value("udp", true);
    rules_.server.tcp = state.value("tcp", true);
    rules_.server.port = state.value("port", std::uint16_t{0});
    for (const auto& address : state.value("addresses", Value::array())) {
      if (address.is_string() && IsDottedIpv4(address.get<std::string>())) rules_.server.addresses.push_back(address);
    }
    rules_.block_ipv6 = state.value("block_ipv6", false);
    // The kernel still holds these rules; applying them again changes nothing unless
    // they were lost, and never opens a gap.
    const std::string error = firewall_->Apply(rules_);
    Log("restored: kill switch " + ModeWord(rules_.kill_switch) + ", IPv6 " +
        (rules_.block_ipv6 ? "blocked" : "open") + (error.empty() ? "" : " (" + error + ")"));
    const Value& openvpn = state.contains("openvpn") ? state["openvpn"] : Value();
    if (openvpn.is_object()) {
      openvpn_.pid = openvpn.value("pid", pid_t{0});
      openvpn_.start_time = openvpn.value("start", 0ULL);
      openvpn_.owner = openvpn.value("owner", uid_t{0});
      openvpn_.child = false;
      // Opened before the look: if that pid is still ours then, the descriptor is of it.
      if (openvpn_.pid > 0) openvpn_.process = ProcessHandle::Open(static_cast<std::uint32_t>(openvpn_.pid));
      if (openvpn_.pid > 0 && Alive()) {
        Log("restored: OpenVPN " + std::to_string(openvpn_.pid) + " still runs");
      } else {
        openvpn_ = Running{};
      }
    }
  }
  if (openvpn_.pid == 0) {
    RemoveSession();
    RevertTunnelDns();  // its OpenVPN ended while the service was away
  }
  Save();
}

void Daemon::Save() const {
  Value state = {{"kill_switch", ModeWord(rules_.kill_switch)},
                 {"udp", rules_.server.udp},
                 {"tcp", rules_.server.tcp},
                 {"port", rules_.server.port},
                 {"addresses", rules_.server.addresses},
                 {"block_ipv6", rules_.block_ipv6}};
  if (openvpn_.pid > 0) {
    state["openvpn"] = {{"pid", openvpn_.pid}, {"start", openvpn_.start_time}, {"owner", openvpn_.owner}};
  }
  try {
    WriteFileAtomically(StateFile(), state.dump() + "\n");
  } catch (const FileWriteError& error) {
    Log(error.what());
  }
}

std::string Daemon::SetRules(const FirewallState& next) {
  // Unchanged (a connect repeats the IPv6 block): applied again, which heals rules someone
  // removed, but nothing new to record.
  if (next == rules_) {
    const std::string error = firewall_->Apply(rules_);
    return error.empty() ? "OK" : "Firewall error: " + error;
  }
  const FirewallState previous = rules_;
  // Recorded first: a crash between the two finds the rules we meant and applies them.
  rules_ = next;
  Save();
  const std::string error = firewall_->Apply(rules_);
  if (error.empty()) return "OK";
  rules_ = previous;  // one transaction: the kernel still holds the previous rules
  Save();
  return "Firewall error: " + error;
}

bool Daemon::Alive() {
  if (openvpn_.pid <= 0) return false;
  // Its pidfd turns readable (and reaps it, when ours) only once every thread has ended:
  // a first thread that ends alone leaves OpenVPN, and its namespace, running.
  if (openvpn_.process) {
    if (openvpn_.process->HasExited()) return false;
  } else if (openvpn_.child && ::waitpid(openvpn_.pid, nullptr, WNOHANG) == openvpn_.pid) {
    return false;
  }
  // Still the process that was started (a restart opened it by its number); without a
  // pidfd a zombie is taken for ended.
  const Started started = StartOf(openvpn_.pid);
  return started.time != 0 && started.time == openvpn_.start_time && (openvpn_.process || !started.zombie);
}

void Daemon::Signal(int signal) const {
  // By number only without a pidfd: one that has ended may have passed its pid on.
  if (openvpn_.process &&
      (::syscall(SYS_pidfd_send_signal, static_cast<int>(openvpn_.process->native()), signal, nullptr, 0) == 0 ||
       errno != ENOSYS)) {
    return;
  }
  ::kill(openvpn_.pid, signal);
}

void Daemon::RemoveSession() const {
  std::error_code ignored;
  std::filesystem::remove_all(SessionFolder(), ignored);  // the copies hold keys
}

void Daemon::Forget() {
  RevertTunnelDns();
  openvpn_ = Running{};
  RemoveSession();
  Save();
}

void Daemon::Tick() {
  if (openvpn_.pid > 0 && !Alive()) {
    Log("OpenVPN " + std::to_string(openvpn_.pid) + " ended");
    Forget();
  }
}

std::optional<std::string> Daemon::Handle(const Request& request, const Peer& peer) {
  FirewallState next = rules_;
  switch (request.command) {
    case Command::kPing: return "PONG";
    case Command::kStart: return Launch(PrepareStart(options_, request.start, peer), peer);
    case Command::kStop: return BeginStop(peer);
    case Command::kStatus:
      Tick();
      return openvpn_.pid > 0 ? "RUNNING " + std::to_string(openvpn_.pid) : "STOPPED";
    case Command::kEnable:
      next.kill_switch = request.enable.block ? KillSwitchMode::kBlocking : KillSwitchMode::kOpen;
      next.server = request.enable;
      return SetRules(next);
    case Command::kDisable:
      next.kill_switch = KillSwitchMode::kOff;
      return SetRules(next);
    case Command::kBlockIpv6:
    case Command::kUnblockIpv6:
      next.block_ipv6 = request.command == Command::kBlockIpv6;
      return SetRules(next);
    case Command::kDns: return ReportDns(request.dns, peer);
  }
  return "Unknown command";
}

std::string Daemon::ReportDns(const DnsReport& report, const Peer& peer) {
  // From the helper our OpenVPN runs, not from anything else of its account.
  if (!Alive() || !PeerIsChildOf(peer, openvpn_.pid)) return "Refused: not from the service's OpenVPN";
  const TunnelDns& dns = report.dns;
  // Each report replaces the last (a restart runs --up again): a connection that was
  // pushed no servers must not keep the ones of the connection before.
  if (dns.servers.empty() || (dns_.is_object() && dns_.value("backend", "") == "resolved")) RevertTunnelDns();
  const std::string error = ApplyDns(options_.dns, dns, dns_, [this](const Value& record) {
    dns_ = record;
    SaveDns();  // before the change: a crash in between finds the way back
  });
  if (!error.empty()) {
    RevertTunnelDns();
    return "Cannot set the tunnel's DNS servers: " + error;
  }
  std::string servers;
  for (const auto& server : dns.servers) servers += " " + server;
  Log("DNS of " + dns.device + ":" + (servers.empty() ? " none pushed" : servers));
  return "OK";
}

void Daemon::RevertTunnelDns() {
  if (dns_.is_null()) return;
  const std::string error = RevertDns(options_.dns, dns_);
  if (!error.empty()) {
    Log("DNS not restored: " + error);  // kept, to try again
    return;
  }
  Log("DNS restored");
  dns_ = Value();
  SaveDns();
}

void Daemon::SaveDns() {
  std::error_code ignored;
  if (dns_.is_null()) {
    std::filesystem::remove(DnsRecord(), ignored);
    return;
  }
  try {
    CreatePrivateFolder(options_.dns_state_dir);
    WriteFileAtomically(DnsRecord(), dns_.dump() + "\n");
  } catch (const std::exception& error) {
    Log(std::string("cannot keep the way back to the resolvers: ") + error.what());
  }
}

std::filesystem::path DnsHelperSocket(const DaemonOptions& options) { return options.state_dir / "dns-helper.sock"; }

PreparedStart PrepareStart(const DaemonOptions& options, const StartRequest& start, const Peer& peer) {
  PreparedStart prepared;
  const auto refuse = [&prepared](std::string text) {
    prepared = PreparedStart{};
    prepared.refusal = std::move(text);
    return std::move(prepared);
  };
  if (!options.openvpn_account) {
    return refuse("Refused: the service has no account to run OpenVPN under (\"vlvpn-openvpn\"); reinstall it");
  }
  if (std::string refusal = CheckTrustedOpenVpn(start.program, options.trusted_folders, prepared.program);
      !refusal.empty()) {
    return refuse(std::move(refusal));
  }
  prepared.dns_helper = options.dns_helper;
  if (prepared.dns_helper.empty() || !prepared.dns_helper.is_absolute() || !IsPlainPath(prepared.dns_helper) ||
      !OwnedByRootAndLocked(prepared.dns_helper, true) ||
      !OwnedByRootAndLocked(prepared.dns_helper.parent_path(), false)) {
    return refuse("Refused: the service's DNS helper (\"" + prepared.dns_helper.string() +
                  "\") is missing or not root's alone; reinstall the service");
  }
  const CheckedArguments checked = CheckOpenVpnArguments(start.arguments);
  if (!checked.arguments) return refuse(checked.error);
  const OpenVpnArguments& arguments = *checked.arguments;

  // Everything the user names is read as the user; OpenVPN gets copies only root can
  // change, and a profile we wrote.
  UserFiles user_files(peer, std::chrono::steady_clock::now() + options.user_work);
  const auto read = [&](const std::filesystem::path& path, std::size_t limit, std::string& bytes) {
    UserRead file = user_files.Read(path, limit);
    if (!file.ok) return "Cannot read \"" + path.string() + "\": " + file.error;
    bytes = std::move(file.bytes);
    return std::string();
  };
  std::string text;
  if (std::string error = read(arguments.config, kMaxProfile, text); !error.empty()) return refuse(std::move(error));
  const ReviewedProfile reviewed = ReviewProfile(text);
  if (!reviewed.error.empty()) return refuse(reviewed.error);
  if (reviewed.files.size() > kMaxProfileFiles) return refuse("Refused: the profile names too many files");
  const std::filesystem::path session = options.state_dir / "openvpn";
  std::vector<std::string> copy_paths;
  for (const NamedFile& named : reviewed.files) {
    std::filesystem::path path(named.path);
    if (path.is_relative()) path = arguments.config.parent_path() / path;
    std::string bytes;
    if (std::string error = read(path, kMaxProfile, bytes); !error.empty()) return refuse(std::move(error));
    const std::string name = "file-" + std::to_string(prepared.copies.size());
    prepared.copies.emplace_back(name, std::move(bytes));
    copy_paths.push_back((session / name).string());
  }
  std::optional<std::string> rendered = RenderReviewedProfile(reviewed, copy_paths);
  if (!rendered) return refuse("Refused: the profile has a line too long to take the copies' paths");
  prepared.profile = std::move(*rendered);
  if (arguments.credentials) {
    std::string bytes;
    if (std::string error = read(*arguments.credentials, 64 * 1024, bytes); !error.empty()) {
      return refuse(std::move(error));
    }
    prepared.credentials = std::move(bytes);
  }
  if (arguments.management_port != 0) {
    if (std::string error = read(arguments.management_password, 4096, prepared.management_password);
        !error.empty()) {
      return refuse(std::move(error));
    }
    prepared.management_port = arguments.management_port;
  }
  if (arguments.log) {
    std::string error;
    prepared.log = user_files.OpenLog(*arguments.log, error);
    if (!prepared.log.valid()) return refuse("Cannot open \"" + arguments.log->string() + "\": " + error);
  }
  // A profile's own keepalive conflicts with the client's --ping: the profile's wins.
  for (std::size_t i = 0; i + 1 < arguments.tuning.size(); i += 2) {
    const bool ping = arguments.tuning[i] == "--ping" || arguments.tuning[i] == "--ping-restart";
    if (reviewed.sets_ping && ping) continue;
    prepared.tuning.insert(prepared.tuning.end(), {arguments.tuning[i], arguments.tuning[i + 1]});
  }
  return prepared;
}

namespace {

// The session folder and its files: root's, readable by OpenVPN's group alone.
void GiveToGroup(const std::filesystem::path& path, mode_t mode, gid_t group) {
  if (::chown(path.c_str(), 0, group) != 0 || ::chmod(path.c_str(), mode) != 0) {
    throw FileWriteError("Cannot hand \"" + path.string() + "\" to OpenVPN's group: " + std::strerror(errno),
                         static_cast<unsigned long>(errno));
  }
}

// New files in the folder just made, read by OpenVPN's group alone. Not flushed to disk:
// they live no longer than the session, which a crash ends anyway.
void WriteSessionFile(const std::filesystem::path& path, const std::string& bytes, gid_t group) {
  const UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  std::size_t written = 0;
  while (file.valid() && written < bytes.size()) {
    const ssize_t n = ::write(file.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    written += static_cast<std::size_t>(n);
  }
  if (!file.valid() || written < bytes.size() || ::fchown(file.get(), 0, group) != 0 || ::fchmod(file.get(), 0640) != 0) {
    throw FileWriteError("Cannot write \"" + path.string() + "\" for OpenVPN: " + std::strerror(errno),
                         static_cast<unsigned long>(errno));
  }
}

// In the child, between fork and exec (system calls only): OpenVPN's account, with
// CAP_NET_ADMIN alone (ambient, so it survives exec), no way to gain more, no descriptor
// but 0-2. Returns the errno of the step that failed.
int BecomeOpenVpn(const OpenVpnAccount& account, int in, int out, int report, const char* folder) {
  if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) return errno;
  if (report != 3 && ::dup2(report, 3) < 0) return errno;
  ::syscall(SYS_close_range, 4U, ~0U, 0U);  // the report pipe stays, close-on-exec
  ::fcntl(3, F_SETFD, FD_CLOEXEC);
  ::setsid();
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (::chdir(folder) != 0) return errno;
  // Nothing beyond CAP_NET_ADMIN can come back (best effort: a bounding set without
  // CAP_SETPCAP keeps what it has, and no new privileges holds regardless).
  for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) {
    if (cap != CAP_NET_ADMIN) ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
  }
  const gid_t groups[] = {account.gid};
  if (::syscall(SYS_setgroups, 1, groups) != 0) return errno;
  if (::syscall(SYS_setresgid, account.gid, account.gid, account.gid) != 0) return errno;
  if (::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return errno;
  if (::syscall(SYS_setresuid, account.uid, account.uid, account.uid) != 0) return errno;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  data[0].effective = data[0].permitted = data[0].inheritable = 1U << CAP_NET_ADMIN;
  if (::syscall(SYS_capset, &header, data) != 0) return errno;
  if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_NET_ADMIN, 0, 0) != 0) return errno;
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  return 0;
}

}  // namespace

std::string Daemon::Launch(PreparedStart prepared, const Peer& peer) {
  if (!prepared.refusal.empty()) return prepared.refusal;
  Tick();
  if (openvpn_.pid > 0 || stop_deadline_) {
    return "Refused: OpenVPN is already running (pid " + std::to_string(openvpn_.pid) + ")";
  }
  const OpenVpnAccount& account = *options_.openvpn_account;
  RemoveSession();
  const std::filesystem::path folder = SessionFolder();
  const std::filesystem::path config = folder / "profile.conf";
  std::vector<std::string> argv = {prepared.program.string(), "--config", config.string()};
  try {
    CreatePrivateFolder(folder);
    GiveToGroup(folder, 0750, account.gid);
    for (const auto& [name, bytes] : prepared.copies) WriteSessionFile(folder / name, bytes, account.gid);
    WriteSessionFile(config, prepared.profile, account.gid);
    if (prepared.credentials) {
      WriteSessionFile(folder / "auth", *prepared.credentials, account.gid);
      argv.insert(argv.end(), {"--auth-user-pass", (folder / "auth").string()});
    }
    if (prepared.management_port != 0) {
      WriteSessionFile(folder / "management", prepared.management_password, account.gid);
      argv.insert(argv.end(), {"--management", "127.0.0.1", std::to_string(prepared.management_port),
                               (folder / "management").string()});
    }
  } catch (const std::exception& error) {
    RemoveSession();
    return error.what();
  }
  argv.insert(argv.end(), prepared.tuning.begin(), prepared.tuning.end());
  // The only script is the service's helper: the profile can name none.
  // No --down: the resolvers go back when the service sees OpenVPN end, which it does at
  // once (OpenVpnEnded), without a script on the way of every disconnect and switch. A
  // restart runs --up again, which replaces what the last one set.
  const std::string helper = prepared.dns_helper.string();
  argv.insert(argv.end(), {"--script-security", "2", "--up", helper, "--up-restart", "--setenv",
                           "VLVPN_DNS_SOCKET", DnsHelperSocket(options_).string()});

  if (prepared.log.valid() && ::ftruncate(prepared.log.get(), 0) != 0) {
    RemoveSession();
    return std::string("Cannot empty OpenVPN's log: ") + std::strerror(errno);
  }
  // Everything the child needs is made before the fork: after it, system calls only.
  UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  int report_pipe[2];
  if (!null.valid() || ::pipe2(report_pipe, O_CLOEXEC) != 0) {
    RemoveSession();
    return std::string("Cannot start OpenVPN: ") + std::strerror(errno);
  }
  UniqueFd report_read(report_pipe[0]);
  UniqueFd report_write(report_pipe[1]);
  const int out = prepared.log.valid() ? prepared.log.get() : null.get();
  std::vector<std::string> environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
  const std::vector<char*> exec_argv = ExecPointers(argv);
  const std::vector<char*> exec_environment = ExecPointers(environment);
  const std::string folder_text = folder.string();
  // OpenVPN is the first process of a PID namespace of its own: when it ends, the kernel
  // ends whatever it or its scripts left running (however deep, traced or detached, and
  // across a restart of this service). Such a leftover would keep CAP_NET_ADMIN and could
  // undo the kill switch long after the session. A plain fork only where namespaces are
  // not to be had for the service's life (CAP_SYS_ADMIN withheld, no kernel support); out
  // of them (ENOSPC: a user can pin old ones) is a refusal, never a quiet fork.
  pid_t pid = ForkIntoNewPidNamespace();
  if (pid < 0 && (errno == EPERM || errno == EINVAL)) {
    Log(std::string("OpenVPN gets no PID namespace of its own (") + std::strerror(errno) +
        "): what it leaves running outlives it");
    pid = ::fork();
  }
  if (pid < 0) {
    RemoveSession();
    return std::string("Cannot start OpenVPN: ") + std::strerror(errno);
  }
  if (pid == 0) {
    int error = BecomeOpenVpn(account, null.get(), out, report_write.get(), folder_text.c_str());
    if (error == 0) {
      ::execve(exec_argv[0], exec_argv.data(), exec_environment.data());
      error = errno;
    }
    (void)!::write(3, &error, sizeof error);
    ::_exit(127);
  }
  report_write = UniqueFd();
  int error = 0;
  ssize_t got;
  while ((got = ::read(report_read.get(), &error, sizeof error)) < 0 && errno == EINTR) {
  }
  if (got > 0) {  // the exec never happened
    ::waitpid(pid, nullptr, 0);
    RemoveSession();
    return std::string("Cannot start OpenVPN as \"") + account.name + "\": " + std::strerror(error);
  }
  // 0 for one that already died, which the next look reaps.
  openvpn_ = {pid, StartOf(pid).time, peer.uid, true, ProcessHandle::Open(static_cast<std::uint32_t>(pid))};
  Save();
  Log("OpenVPN " + std::to_string(pid) + " started as " + account.name + " for user " + std::to_string(peer.uid));
  return "OK " + std::to_string(pid);
}

std::optional<std::string> Daemon::BeginStop(const Peer& peer) {
  if (!Alive()) {
    if (openvpn_.pid > 0) Forget();
    stop_deadline_.reset();
    return "OK";
  }
  if (peer.uid != 0 && peer.uid != openvpn_.owner) return "Refused: this OpenVPN was started by another user";
  if (!stop_deadline_) {
    term_pending_ = !CatchesSigterm(openvpn_.pid);
    Signal(SIGTERM);
    const auto now = std::chrono::steady_clock::now();
    next_term_ = now + kTermRepeat;
    stop_deadline_ = now + kStopGrace;
    stopped_for_ = peer.uid;
  }
  return std::nullopt;
}

std::optional<std::string> Daemon::FinishStop() {
  if (!stop_deadline_) return std::nullopt;
  if (Alive()) {
    const auto now = std::chrono::steady_clock::now();
    if (now < *stop_deadline_) {
      // Asked before OpenVPN could hear it: again, once it can; and again each second.
      if ((term_pending_ && CatchesSigterm(openvpn_.pid)) || now >= next_term_) {
        term_pending_ = false;
        next_term_ = now + kTermRepeat;
        Signal(SIGTERM);
      }
      return std::nullopt;
    }
    Signal(SIGKILL);
    // Bounded: a process its namespace still waits for (stuck in a file system) must not
    // hold up every later command.
    if (openvpn_.process && !openvpn_.process->WaitForExit(kKillWait)) {
      Log("OpenVPN " + std::to_string(openvpn_.pid) + " has not ended after SIGKILL; forgotten");
    } else if (!openvpn_.process && openvpn_.child) {
      ::waitpid(openvpn_.pid, nullptr, 0);
    }
  }
  if (openvpn_.pid > 0) {
    Log("OpenVPN " + std::to_string(openvpn_.pid) + " stopped for user " + std::to_string(stopped_for_));
    Forget();
  }
  stop_deadline_.reset();
  return "OK";
}

}  // namespace vlvpn::service
