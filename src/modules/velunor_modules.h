#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "modules/dispatcher.h"
#include "modules/emit_hooks.h"
#include "auth/loopback.h"
#include "storage/data_locations.h"
#include "storage/keychain.h"
#include "storage/profile_store.h"
#include "storage/user_defaults.h"
#include "tray/tray.h"
#include "tunnel/tunnel.h"

namespace vlvpn {

// The desktop process around the modules: its tray and how it was started.
struct DesktopShell {
  // Model only, without an icon, unless the process has a notification area.
  std::shared_ptr<TrayPresence> tray = std::make_shared<TrayPresence>(TrayOptions{});
  bool launched_at_startup = false;
};

// What the modules' handlers work on; shared by every handler and worker.
struct ModuleServices {
  explicit ModuleServices(DataLocations data_locations, TunnelEnvironment environment = DefaultTunnelEnvironment(),
                          DesktopShell desktop_shell = {})
      : locations(std::move(data_locations)),
        profiles(locations),
        defaults(locations),
        keychain(locations),
        locate_openvpn(environment.locate_openvpn),
        tunnel(Tunnel::Create(locations, std::move(environment))),
        desktop(std::move(desktop_shell)) {}
  ModuleServices(const ModuleServices&) = delete;
  ModuleServices& operator=(const ModuleServices&) = delete;

  DataLocations locations;
  ProfileStore profiles;
  UserDefaults defaults;
  Keychain keychain;
  std::function<std::filesystem::path()> locate_openvpn;
  std::unique_ptr<Tunnel> tunnel;
  DesktopShell desktop;
  std::unique_ptr<LoopbackReceiver> sign_in = std::make_unique<LoopbackReceiver>(LoopbackOptions{});
  // The interface we serve (our parent under --stdio, the bundle's node otherwise):
  // never among the apps closed for it.
  std::atomic<std::uint32_t> interface_pid{0};
  EmitHooks events;  // the tunnel module's events, for whoever raises them

  // The real environment, with the kill-switch service at its usual address.
  static TunnelEnvironment DefaultTunnelEnvironment();
};

// The tunnel module's three event slots, filled by the binding with functions that
// emit through the host's event emitter.
struct TunnelEventSlots {
  std::function<void(const Value& payload)> menu_bar_action;
  std::function<void()> app_window_did_show;
  std::function<void()> system_did_resume;
};

// Events of VLVPNTunnel, in slot order.
const std::vector<std::string>& TunnelEventNames();

// getStatus's object, keys in the interface's order.
Value StatusObject(const TunnelStatus& status);

// VLVPNTunnel, VLVPNAuthSession and VLVPNBuildConfig, in registration order.
std::vector<ModuleSpec> BuildModules(std::shared_ptr<ModuleServices> services);

// The tunnel module's initialiser: points the services' emit hooks at the slots, lets
// the tray raise its events through them, and starts the tray.
void InitializeTunnelModule(ModuleServices& services, const TunnelEventSlots& slots);

}  // namespace vlvpn
