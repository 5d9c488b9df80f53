// vlvpn-killswitchd: the kill-switch service for Linux. Runs as root, in the foreground.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "service/daemon.h"
#include "service/firewall.h"
#include "service/server.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: vlvpn-killswitchd [--socket PATH] [--group NAME] [--state-dir DIR] [--openvpn-user NAME]\n"
               "                         [--dns-helper PATH] [--dns-state-dir DIR] [--resolv-conf PATH]\n"
               "       vlvpn-killswitchd --restore-dns [same options]   (at boot: the resolvers a tunnel left)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const char* env_socket = std::getenv("VLVPN_KILLSWITCH_SOCKET");
  std::string socket_path = env_socket != nullptr && *env_socket != '\0' ? env_socket : "/run/VLVPNKillSwitch.sock";
  std::string group_name = "vlvpn";
  std::string openvpn_user = "vlvpn-openvpn";
  vlvpn::service::DaemonOptions options;
  // Installed beside the service unless told otherwise.
  std::error_code ignored;
  options.dns_helper = std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path() / "vlvpn-dns-helper";
  bool restore_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--restore-dns") {
      restore_only = true;
      continue;
    }
    if (i + 1 >= argc) return Usage();
    if (option == "--socket") {
      socket_path = argv[++i];
    } else if (option == "--group") {
      group_name = argv[++i];
    } else if (option == "--openvpn-user") {
      openvpn_user = argv[++i];
    } else if (option == "--dns-helper") {
      options.dns_helper = argv[++i];
    } else if (option == "--dns-state-dir") {
      options.dns_state_dir = argv[++i];
    } else if (option == "--resolv-conf") {
      options.dns.resolv_conf = argv[++i];
    } else if (option == "--state-dir") {
      options.state_dir = argv[++i];
    } else {
      return Usage();
    }
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr, "vlvpn-killswitchd must run as root\n");
    return 1;
  }
  std::optional<gid_t> group_id;
  if (const struct group* entry = ::getgrnam(group_name.c_str()); entry != nullptr) {
    group_id = entry->gr_gid;
  } else {
    std::fprintf(stderr, "no group \"%s\": only root may use the service\n", group_name.c_str());
  }

  if (const struct passwd* entry = ::getpwnam(openvpn_user.c_str()); entry != nullptr && entry->pw_uid != 0) {
    options.openvpn_account = vlvpn::service::OpenVpnAccount{openvpn_user, entry->pw_uid, entry->pw_gid};
  } else {
    std::fprintf(stderr, "no account \"%s\" (or it is root): OpenVPN will not be started\n", openvpn_user.c_str());
  }

  // Signals are taken by this thread alone, with sigwait.
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, signal);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  if (restore_only) {
    // What the last boot left: rules are gone with it, a resolver file is not.
    try {
      vlvpn::service::Daemon daemon(options, vlvpn::service::MakeNftablesFirewall());
      daemon.Restore();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "vlvpn-killswitchd: %s\n", error.what());
      return 1;
    }
    return 0;
  }

  vlvpn::UniqueFd listener = vlvpn::service::ListenerFromSystemd();
  if (listener.valid()) socket_path = "the socket systemd passed";
  if (!listener.valid()) {
    std::string error;
    listener = vlvpn::service::ListenOn(socket_path, group_id, error);
    if (!listener.valid()) {
      std::fprintf(stderr, "cannot listen: %s\n", error.c_str());
      return 1;
    }
  }
  try {
    vlvpn::service::Daemon daemon(options, vlvpn::service::MakeNftablesFirewall());
    daemon.Restore();
    vlvpn::UniqueFd helper_listener;
    if (options.openvpn_account) {
      std::string error;
      helper_listener = vlvpn::service::ListenOn(vlvpn::service::DnsHelperSocket(options).string(),
                                                 options.openvpn_account->gid, error);
      if (!helper_listener.valid()) std::fprintf(stderr, "no DNS for tunnels: %s\n", error.c_str());
    }
    vlvpn::service::Server server(std::move(listener), group_id, daemon, {}, std::move(helper_listener));
    std::thread serving([&] { server.Run(); });
    std::fprintf(stderr, "listening on %s\n", socket_path.c_str());
    int received = 0;
    ::sigwait(&signals, &received);
    std::fprintf(stderr, "%s: stopping; the firewall rules stay as they are\n", ::strsignal(received));
    server.Stop();
    serving.join();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vlvpn-killswitchd: %s\n", error.what());
    return 1;
  }
  return 0;
}
