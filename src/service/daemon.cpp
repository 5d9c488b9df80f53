#include "service/daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
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

void Log(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

// Field 22 of /proc/<pid>/stat; 0 when the process is gone or a zombie.
unsigned long long StartTimeOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(file, stat);
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::string rest = stat.substr(close + 2);
  if (rest.starts_with("Z") || rest.starts_with("X")) return 0;
  std::size_t position = 0;
  for (int field = 3; field < 22; ++field) {
    position = rest.find(' ', position);
    if (position == std::string::npos) return 0;
    ++position;
  }
  return std::strtoull(rest.c_str() + position, nullptr, 10);
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
}

void Daemon::Restore() {
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
      if (openvpn_.pid > 0 && Alive()) {
        Log("restored: OpenVPN " + std::to_string(openvpn_.pid) + " still runs");
      } else {
        openvpn_ = Running{};
      }
    }
  }
  if (openvpn_.pid == 0) RemoveSession();
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
  if (openvpn_.child) {
    int status = 0;
    if (::waitpid(openvpn_.pid, &status, WNOHANG) == openvpn_.pid) return false;
  }
  const unsigned long long start_time = StartTimeOf(openvpn_.pid);
  return start_time != 0 && start_time == openvpn_.start_time;  // 0: gone, or a zombie
}

void Daemon::RemoveSession() const {
  std::error_code ignored;
  std::filesystem::remove_all(SessionFolder(), ignored);  // the copies hold keys
}

void Daemon::Forget() {
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

std::string Daemon::Handle(const Request& request, const Peer& peer) {
  FirewallState next = rules_;
  switch (request.command) {
    case Command::kPing: return "PONG";
    case Command::kStart: return Start(request.start, peer);
    case Command::kStop: return Stop(peer);
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
  }
  return "Unknown command";
}

std::string Daemon::Start(const StartRequest& start, const Peer& peer) {
  Tick();
  if (openvpn_.pid > 0) return "Refused: OpenVPN is already running (pid " + std::to_string(openvpn_.pid) + ")";
  std::filesystem::path program;
  if (std::string refusal = CheckTrustedOpenVpn(start.program, options_.trusted_folders, program); !refusal.empty()) {
    return refusal;
  }
  const CheckedArguments checked = CheckOpenVpnArguments(start.arguments);
  if (!checked.arguments) return checked.error;
  const OpenVpnArguments& arguments = *checked.arguments;

  // Everything the user names is read as the user, then handed to OpenVPN as copies
  // only root can change.
  const UserRead profile = ReadFileAsUser(peer, arguments.config, kMaxProfile);
  if (!profile.ok) return "Cannot read \"" + arguments.config.string() + "\": " + profile.error;
  const ReviewedProfile reviewed = ReviewProfile(profile.bytes);
  if (!reviewed.error.empty()) return reviewed.error;
  if (reviewed.files.size() > kMaxProfileFiles) return "Refused: the profile names too many files";
  std::vector<std::pair<std::filesystem::path, std::string>> copies;
  std::vector<std::string> copy_names;
  for (const NamedFile& named : reviewed.files) {
    std::filesystem::path path(named.path);
    if (path.is_relative()) path = arguments.config.parent_path() / path;
    const UserRead file = ReadFileAsUser(peer, path, kMaxProfile);
    if (!file.ok) return "Cannot read \"" + path.string() + "\": " + file.error;
    const auto copy = SessionFolder() / ("file-" + std::to_string(copies.size()));
    copies.emplace_back(copy, file.bytes);
    copy_names.push_back(copy.string());
  }
  std::optional<std::string> credentials;
  if (arguments.credentials) {
    const UserRead file = ReadFileAsUser(peer, *arguments.credentials, 64 * 1024);
    if (!file.ok) return "Cannot read \"" + arguments.credentials->string() + "\": " + file.error;
    credentials = file.bytes;
  }
  UniqueFd log;
  if (arguments.log) {
    std::string error;
    log = OpenLogAsUser(peer, *arguments.log, error);
    if (!log.valid()) return "Cannot open \"" + arguments.log->string() + "\": " + error;
  }

  const std::optional<std::string> rewritten = RewriteProfile(reviewed, copy_names);
  if (!rewritten) return "Refused: the profile has a line too long to take the copies' paths";
  RemoveSession();
  std::vector<std::string> argv = {program.string(), "--config", (SessionFolder() / "profile.conf").string()};
  try {
    CreatePrivateFolder(SessionFolder());
    for (const auto& [path, bytes] : copies) WriteFileAtomically(path, bytes);
    WriteFileAtomically(SessionFolder() / "profile.conf", *rewritten);
    if (credentials) {
      WriteFileAtomically(SessionFolder() / "auth", *credentials);
      argv.insert(argv.end(), {"--auth-user-pass", (SessionFolder() / "auth").string()});
    }
  } catch (const std::exception& error) {
    RemoveSession();
    return error.what();
  }
  if (arguments.management_port != 0) {
    argv.insert(argv.end(), {"--management", "127.0.0.1", std::to_string(arguments.management_port)});
  }
  argv.insert(argv.end(), arguments.tuning.begin(), arguments.tuning.end());
  argv.insert(argv.end(), {"--script-security", "1"});

  // Its output is the user's log; nothing of ours is inherited.
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (log.valid()) {
    ::posix_spawn_file_actions_adddup2(&actions, log.get(), 1);
    ::posix_spawn_file_actions_adddup2(&actions, log.get(), 2);
  } else {
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  ::posix_spawn_file_actions_addchdir_np(&actions, SessionFolder().c_str());
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigfillset(&defaults);
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, ExecPointers(argv).data(),
                                  ExecPointers(environment).data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    RemoveSession();
    return std::string("Cannot start OpenVPN: ") + std::strerror(error);
  }
  // 0 for one that already died, which the next look reaps.
  openvpn_ = {pid, StartTimeOf(pid), peer.uid, true};
  Save();
  Log("OpenVPN " + std::to_string(pid) + " started for user " + std::to_string(peer.uid));
  return "OK " + std::to_string(pid);
}

std::string Daemon::Stop(const Peer& peer) {
  if (!Alive()) {
    if (openvpn_.pid > 0) Forget();
    return "OK";
  }
  if (peer.uid != 0 && peer.uid != openvpn_.owner) return "Refused: this OpenVPN was started by another user";
  ::kill(openvpn_.pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  while (Alive() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  if (Alive()) {
    ::kill(openvpn_.pid, SIGKILL);
    if (openvpn_.child) ::waitpid(openvpn_.pid, nullptr, 0);
  }
  Log("OpenVPN " + std::to_string(openvpn_.pid) + " stopped for user " + std::to_string(peer.uid));
  Forget();
  return "OK";
}

}  // namespace vlvpn::service
