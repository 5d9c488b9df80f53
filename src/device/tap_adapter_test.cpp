#include "device/tap_adapter.h"

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;

TEST(TapAdapter, DescriptionMatch) {
  const std::pair<std::wstring, bool> cases[] = {
      {L"TAP-Windows Adapter V9", true},
      {L"tap-windows6 #2", true},
      {L"OpenVPN TAP-WINDOWS Adapter", true},
      {L"Intel(R) Ethernet Connection", false},
      {L"TAP-Win", false},
      {L"Wintun Userspace Tunnel", false},
  };
  for (const auto& [description, match] : cases) EXPECT_EQ(IsTapDescription(description), match);
}

TEST(TapAdapter, InstallerBesideOpenVpn) {
  testing::TempFolder temp;
  const fs::path openvpn = temp.path() / "bin" / "openvpn.exe";
  EXPECT_EQ(TapInstallerPath(openvpn), fs::path());
  fs::create_directories(openvpn.parent_path());
  WriteFileAtomically(openvpn.parent_path() / "tap-windows.exe", "MZ");
  EXPECT_EQ(TapInstallerPath(openvpn), openvpn.parent_path() / "tap-windows.exe");
}

TEST(TapAdapter, FirstUpTunnelInterfaceOfASysfsTree) {
  testing::TempFolder net;
  const auto make = [&](const std::string& name, const std::string& flags, const std::string& state) {
    fs::create_directories(net.path() / name);
    WriteFileAtomically(net.path() / name / "flags", flags + "\n");
    WriteFileAtomically(net.path() / name / "operstate", state + "\n");
  };
  make("eth0", "0x1003", "up");
  make("tun1", "0x1002", "down");
  EXPECT_EQ(FirstUpTunnelInterface(net.path()), std::nullopt);
  make("tun3", "0x1091", "unknown");
  make("tap0", "0x1003", "up");
  EXPECT_EQ(FirstUpTunnelInterface(net.path()), "tap0");
  EXPECT_EQ(FirstUpTunnelInterface(net.path() / "missing"), std::nullopt);
}

TEST(TapAdapter, WithoutAnAdapterOrInstallerNothingIsPrompted) {
  testing::TempFolder temp;
  // No installer beside this "openvpn": the answer is just whether an adapter exists.
  EXPECT_EQ(EnsureTapAdapter(temp.path() / "openvpn.exe"), TapAdapterPresent());
  if (!TapAdapterPresent()) {
    EXPECT_FALSE(ActiveTapAdapter().has_value());
  }
}

}  // namespace
}  // namespace vlvpn
