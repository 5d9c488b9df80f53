#include "modules/velunor_modules.h"

#include "device/build_constants.h"
#include "device/device_facts.h"
#include "device/latency.h"
#include "common/process_path.h"
#include "common/text.h"
#include "killswitch/close_apps.h"
#include "modules/worker.h"
#include "pickers/pickers.h"
#include "startup/launch_at_login.h"
#include "tunnel/openvpn_lookup.h"

namespace vlvpn {
namespace {

constexpr ArgKind S = ArgKind::kString;
constexpr ArgKind B = ArgKind::kBool;
constexpr ArgKind I = ArgKind::kInt;
constexpr ArgKind L = ArgKind::kStringList;
using R = ResultKind;

constexpr const char* kOpenVpnMissing = "OpenVPN not found. Install OpenVPN Community from ";
constexpr const char* kInstallHint = "OpenVPN not found. Install from ";
constexpr const char* kOpenVpnSite = "https://openvpn.net/";
constexpr const char* kOpenVpnDownloads = "https://openvpn.net/community-downloads/";

ModuleSpec TunnelModule(const std::shared_ptr<ModuleServices>& services) {
  const auto svc = services;
  const auto profile_list = [svc](const Args&) -> std::optional<Value> {
    Value list = Value::array();
    for (std::string& meta : svc->profiles.ListMeta()) list.push_back({{"_raw", std::move(meta)}});
    return list;
  };

  ModuleSpec module;
  module.name = "VLVPNTunnel";
  module.events = TunnelEventNames();
  module.methods = {
      {"pingHelper", {}, R::kString, OnCallingThread([svc](const Args&) -> std::optional<Value> {
         if (svc->locate_openvpn().empty()) throw std::runtime_error(std::string(kOpenVpnMissing) + kOpenVpnSite);
         return "pong";
       })},
      {"installHelper", {}, R::kObject, OnCallingThread([svc](const Args&) -> std::optional<Value> {
         const std::filesystem::path openvpn = svc->locate_openvpn();
         const bool found = !openvpn.empty();
         return Value{{"installed", found},
                      {"reachable", found},
                      {"pong", found ? "pong" : ""},
                      {"hint", found ? PathToUtf8(openvpn) : std::string(kInstallHint) + kOpenVpnDownloads}};
       })},
      {"saveOvpnProfile",
       {S, S, S, S},
       R::kObject,
       OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         const auto saved = svc->profiles.SaveConfig(a.String(0), a.String(1), a.String(2));
         Value result = Value::object();
         result["configPath"] = saved.config_path;
         result["fileName"] = saved.file_name;
         return result;
       })},
      {"saveOvpnProfileMeta", {S, S}, R::kVoid, OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         svc->profiles.SaveMeta(a.String(0), a.String(1));
         return std::nullopt;
       })},
      {"listSavedOvpnProfiles", {}, R::kArray, OnCallingThread(profile_list)},
      {"deleteOvpnProfile", {S}, R::kVoid, OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         svc->profiles.Delete(a.String(0));
         return std::nullopt;
       })},
      {"saveOvpnAuth", {S, S, S}, R::kVoid, OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         svc->profiles.SaveCredentials(a.String(0), a.String(1), a.String(2));
         return std::nullopt;
       })},
      {"readOvpnAuth", {S}, R::kObject, OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         const auto credentials = svc->profiles.ReadCredentials(a.String(0));
         Value result = Value::object();
         result["username"] = credentials.username;
         result["password"] = credentials.password;
         return result;
       })},
      {"connectOvpn",
       {S, S, S, S},
       R::kObject,
       [svc](const Args& a, Promise promise) {
         svc->tunnel->Connect({a.String(0), a.String(1), a.String(2), a.String(3)},
                              [promise](const ConnectResult& result) {
                                if (result.outcome == ConnectResult::Outcome::kFailed) {
                                  return promise.Reject(result.message);
                                }
                                Value state = Value::object();
                                state["state"] = std::string(kStateConnecting);
                                if (result.outcome == ConnectResult::Outcome::kSuperseded) state["superseded"] = true;
                                promise.Resolve(std::move(state));
                              });
       }},
      {"disconnect",
       {},
       R::kObject,
       [svc](const Args&, Promise promise) {
         svc->tunnel->Disconnect([promise] { promise.Resolve(Value{{"state", kStateDisconnected}}); });
       }},
      {"getStatus", {}, R::kObject, OnCallingThread([svc](const Args&) -> std::optional<Value> {
         return StatusObject(svc->tunnel->Status());
       })},
      {"getHelperInfo", {}, R::kObject, OnCallingThread([svc](const Args&) -> std::optional<Value> {
         const std::filesystem::path openvpn = svc->locate_openvpn();
         const std::filesystem::path profiles = svc->locations.ProfilesFolder();
         return Value{{"machService", PathToUtf8(OpenVpnFileName())},
                      {"plist", PathToUtf8(openvpn)},
                      {"profilesDir", PathToUtf8(profiles)},
                      {"installed", !openvpn.empty()},
                      {"reachable", svc->tunnel->Snapshot()->following}};
       })},
      {"measureTcpLatency",
       {S, I},
       R::kInt,
       [](const Args& a, Promise promise) {
         RunOnWorker(std::move(promise), [host = a.String(0), port = a.Int(1)](const Promise& settle) {
           settle.Resolve(MeasureLatency(host, port));
         });
       }},
      {"getTrafficStats", {}, R::kObject, OnCallingThread([svc](const Args&) -> std::optional<Value> {
         const TrafficSampler::Rates rates = svc->tunnel->TrafficStats();
         return Value{{"downBps", static_cast<std::int64_t>(rates.down)},
                      {"upBps", static_cast<std::int64_t>(rates.up)}};
       })},
      {"getDeviceMarketingName", {}, R::kString, OnCallingThread([](const Args&) -> std::optional<Value> {
         return DeviceModel();
       })},
      {"promptVpnAuth",
       {S, S},
       R::kObject,
       [](const Args&, Promise promise) {
         promise.Reject("Interactive auth prompt not available on Windows");
       }},
      {"setKillSwitchEnabled",
       {B},
       R::kObject,
       [svc](const Args& a, Promise promise) {
         const bool on = a.Bool(0);
         svc->tunnel->SetKillSwitchEnabled(on, [promise, on] { promise.Resolve(Value{{"enabled", on}}); });
       }},
      {"prepareKillSwitchForReconnect",
       {},
       R::kObject,
       [svc](const Args&, Promise promise) {
         svc->tunnel->PrepareKillSwitchForReconnect([promise](bool prepared) {
           if (!prepared) return promise.Resolve(Value{{"prepared", false}, {"reason", "kill_switch_off"}});
           // Windows opens the firewall for the reconnect; the Linux service keeps it
           // closed and lets its own OpenVPN through.
           promise.Resolve(kOpenFirewallToResolve
                               ? Value{{"prepared", true}, {"path", "windows-wfp"}, {"mode", "fully_open"}}
                               : Value{{"prepared", true}, {"path", "linux-nftables"}, {"mode", "closed"}});
         });
       }},
      {"setBlockIpv6Enabled",
       {B},
       R::kObject,
       [svc](const Args& a, Promise promise) {
         const bool on = a.Bool(0);
         svc->tunnel->SetBlockIpv6Enabled(on, [promise, on] { promise.Resolve(Value{{"enabled", on}}); });
       }},
      {"pickApp",
       {},
       R::kObject,
       [](const Args&, Promise promise) {
         RunOnWorker(std::move(promise), [](const Promise& settle) {
           const auto path = ChooseFile(PickerKind::kApp);
           settle.Resolve(path ? AppChoiceObject(PathToUtf8(*path)) : Value::object());
         });
       }},
      {"pickOvpnFile",
       {},
       R::kObject,
       [](const Args&, Promise promise) {
         RunOnWorker(std::move(promise), [](const Promise& settle) {
           const auto path = ChooseFile(PickerKind::kOvpnProfile);
           settle.Resolve(path ? OvpnChoiceObject(*path) : Value::object());
         });
       }},
      {"terminateApps", {L}, R::kObject, OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         std::set<std::uint32_t> spared;
         if (const std::uint32_t pid = svc->interface_pid.load(); pid != 0) spared.insert(pid);
         Value closed = Value::array();
         for (std::string& name : TerminateApps(a.StringList(0), spared)) closed.push_back(std::move(name));
         return Value{{"terminated", std::move(closed)}};
       })},
      {"setMenuBarVisible", {B}, R::kBool, OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         svc->desktop.tray->SetMenuBarVisible(a.Bool(0));
         return a.Bool(0);
       })},
      {"updateMenuBarMenu", {S}, R::kBool, OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         svc->desktop.tray->UpdateMenuData(a.String(0));
         return true;
       })},
      {"activateApp", {}, R::kBool, OnCallingThread([svc](const Args&) -> std::optional<Value> {
         svc->desktop.tray->ShowMainWindow();
         return true;
       })},
      {"notifyVpnConnectedOnHide", {}, R::kBool, OnCallingThread([svc](const Args&) -> std::optional<Value> {
         svc->desktop.tray->HiddenToBackground();
         return true;
       })},
      {"requestNotificationPermission", {}, R::kBool, OnCallingThread([](const Args&) -> std::optional<Value> {
         return true;
       })},
      {"setLaunchAtLogin",
       {B},
       R::kBool,
       [](const Args& a, Promise promise) {
         RunOnWorker(std::move(promise), [enabled = a.Bool(0)](const Promise& settle) {
           const auto task = PackagedStartupTask();
           const auto entry = SystemLoginEntry(ExecutablePath());
           settle.Resolve(SetLaunchAtLogin(enabled, task.get(), *entry));
         });
       }},
      {"getLaunchAtLogin",
       {},
       R::kBool,
       [](const Args&, Promise promise) {
         RunOnWorker(std::move(promise), [](const Promise& settle) {
           const auto task = PackagedStartupTask();
           const auto entry = SystemLoginEntry(ExecutablePath());
           settle.Resolve(GetLaunchAtLogin(task.get(), *entry));
         });
       }},
      {"wasLaunchedAtStartup", {}, R::kBool, OnCallingThread([svc](const Args&) -> std::optional<Value> {
         return svc->desktop.launched_at_startup;
       })},
      {"writeUserDefaults", {S, S}, R::kVoid, OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         svc->defaults.Write(a.String(0), a.String(1));
         return std::nullopt;
       })},
      {"readUserDefaults", {S}, R::kString, OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         return svc->defaults.Read(a.String(0));
       })},
      {"writeKeychainItem",
       {S, S, S},
       R::kVoid,
       OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         const unsigned long error =
             svc->keychain.Write(KeychainTarget(a.String(0), a.String(1)), a.String(2));
         if (error != 0) throw std::runtime_error(KeychainWriteFailure(error));
         return std::nullopt;
       })},
      {"readKeychainItem", {S, S}, R::kString, OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         return svc->keychain.Read(KeychainTarget(a.String(0), a.String(1))).value_or(std::string());
       })},
      {"deleteKeychainItem", {S, S}, R::kVoid, OnCallingThread([svc](const Args& a) -> std::optional<Value> {
         svc->keychain.Delete(KeychainTarget(a.String(0), a.String(1)));
         return std::nullopt;
       })},
  };
  return module;
}

ModuleSpec AuthSessionModule(const std::shared_ptr<ModuleServices>& services) {
  const auto svc = services;
  ModuleSpec module;
  module.name = "VLVPNAuthSession";
  module.methods = {
      {"beginLoopback", {}, R::kObject, OnCallingThread([svc](const Args&) -> std::optional<Value> {
         const LoopbackOpened opened = svc->sign_in->Begin();
         if (!opened.ok) throw std::runtime_error(opened.error);
         return Value{{"redirectUri", opened.redirect_uri}, {"port", opened.port}};
       })},
      {"awaitLoopbackCallback",
       {S},
       R::kObject,
       [svc](const Args& a, Promise promise) {
         svc->sign_in->Await(a.String(0), [promise](const LoopbackResult& result) {
           if (!result.ok) return promise.Reject(result.error);
           promise.Resolve(Value{{"callbackUrl", result.callback_url}});
         });
       }},
      {"cancelLoopback", {}, R::kBool, OnCallingThread([svc](const Args&) -> std::optional<Value> {
         svc->sign_in->Cancel();
         return true;
       })},
  };
  return module;
}

ModuleSpec BuildConfigModule() {
  ModuleSpec module;
  module.name = "VLVPNBuildConfig";
  module.constants = BuildConstants;
  return module;
}

}  // namespace

Value StatusObject(const TunnelStatus& status) {
  Value result = Value::object();
  result["state"] = status.state;
  if (!status.message.empty()) result["message"] = status.message;
  if (!status.profile_id.empty()) result["profileId"] = status.profile_id;
  if (status.pid > 0) result["pid"] = status.pid;
  result["downBps"] = status.down_bps;
  result["upBps"] = status.up_bps;
  result["adapterUp"] = status.adapter_up;
  return result;
}

TunnelEnvironment ModuleServices::DefaultTunnelEnvironment() {
  return SystemTunnelEnvironment(std::make_shared<KillSwitchClient>(
      KillSwitchEndpoint::Default(), [] { return IsServiceRegistered(KillSwitchEndpoint::Default()); }));
}

const std::vector<std::string>& TunnelEventNames() {
  static const std::vector<std::string> names = {"menuBarAction", "appWindowDidShow", "systemDidResume"};
  return names;
}

std::vector<ModuleSpec> BuildModules(std::shared_ptr<ModuleServices> services) {
  std::vector<ModuleSpec> modules;
  modules.push_back(TunnelModule(services));
  modules.push_back(AuthSessionModule(services));
  modules.push_back(BuildConfigModule());
  return modules;
}

void InitializeTunnelModule(ModuleServices& services, const TunnelEventSlots& slots) {
  services.events.SetMenuBarAction([slot = slots.menu_bar_action](const Value& payload) {
    if (slot) slot(payload);
  });
  services.events.SetAppWindowDidShow([slot = slots.app_window_did_show] {
    if (slot) slot();
  });
  services.events.SetSystemDidResume([slot = slots.system_did_resume] {
    if (slot) slot();
  });
  EmitHooks* hooks = &services.events;  // lives as long as the services, which own the tray
  TrayEvents tray_events;
  tray_events.menu_action = [hooks](const MenuAction& action) {
    hooks->EmitMenuBarAction(MenuBarActionPayload(std::string(ActionName(action.kind)), action.server_id));
  };
  tray_events.window_shown = [hooks] { hooks->EmitAppWindowDidShow(); };
  tray_events.resumed = [hooks] { hooks->EmitSystemDidResume(); };
  services.desktop.tray->SetEvents(std::move(tray_events));
  services.desktop.tray->Ensure();
}

}  // namespace vlvpn
