#include "device/tap_adapter.h"

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "device/links.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;

TEST(TapAdapter, DescriptionMatch) {
  const std::pair<std::wstring, bool> cases[] = {
      {L"TAP-Windows Adapter V9", true},        {L"tap-windows6 #2", true}, {L"OpenVPN TAP-WINDOWS Adapter", true},
      {L"Intel(R) Ethernet Connection", false}, {L"TAP-Win", false},        {L"Wintun Userspace Tunnel", false},
  };
  for (const auto& [description, match] : cases) EXPECT_EQ(IsTapDescription(description), match);
}

TEST(TapAdapter, InstallerBesideOpenVpnAndNothingPromptedWithoutOne) {
  testing::TempFolder temp;
  const fs::path openvpn = temp.path() / "bin" / "openvpn.exe";
  EXPECT_EQ(TapInstallerPath(openvpn), fs::path());
  // No installer beside this "openvpn": the answer is just whether an adapter exists.
  EXPECT_EQ(EnsureTapAdapter(openvpn), TapAdapterPresent());
  EXPECT_TRUE(TapAdapterPresent() || !ActiveTapAdapter().has_value()) << "none active where none exists";
  fs::create_directories(openvpn.parent_path());
  WriteFileAtomically(openvpn.parent_path() / "tap-windows.exe", "MZ");
  EXPECT_EQ(TapInstallerPath(openvpn), openvpn.parent_path() / "tap-windows.exe");
}

TEST(TapAdapter, FirstRunningTunnelLinkByName) {
  const auto link = [](const char* name, bool running) { return LinkState{name, running, {}}; };
  const std::pair<std::vector<LinkState>, std::string> cases[] = {
      {{}, ""},
      {{link("eth0", true), link("tun1", false)}, ""},
      {{link("tun3", true), link("eth0", true), link("tap0", true), link("tun1", false)}, "tap0"},
      {{link("tun10", true), link("tun2", true)}, "tun10"},
      {{link("vlvpnsrv0", true), link("utun0", true), link("tunnel", true)}, "tunnel"},
  };
  for (const auto& [links, expected] : cases) {
    const LinkState* first = FirstRunningTunnelLink(links);
    EXPECT_EQ(first == nullptr ? "" : first->name, expected);
  }
}

}  // namespace
}  // namespace vlvpn
