#!/usr/bin/env bash
# The Windows installer under Wine, in a fresh prefix of its own: an older version is
# replaced by this one (one uninstall entry left), VLVPNDesk.exe runs from Program Files
# and says hello, and the uninstall leaves neither files, shortcut nor uninstall entry.
# Usage: package_msi_test.sh <msi> <tree> (the older version is built from the tree's
# source and Windows build)
set -euo pipefail
msi=$(realpath "${1:?msi}")
tree=$(realpath "${2:?tree}")
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/vlvpn-msi.XXXXXX)
older=$WINEPREFIX/VelunorVPN-0.0.1-x64.msi
(cd "$tree" && wixl --arch x64 -D Version=0.0.1 -D BinDir=build/windows/bin -D Icon=assets/velunor.ico \
  -o "$older" packaging/windows/velunor-vpn.wxs)
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
wineboot -i >/dev/null 2>&1
program_files="$WINEPREFIX/drive_c/Program Files/Velunor VPN"
ours() { find "$WINEPREFIX/drive_c" -iname '*velunor*' -not -path '*/windows/Installer/*' 2>/dev/null; }
uninstall_entries() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    grep -A30 'DisplayName *REG_SZ *Velunor VPN' | sed -n 's/^ *DisplayVersion *REG_SZ *//p' | tr -d '\r'
}

wine msiexec /i "$older" /qn || fail "the older installer did not install"
wine msiexec /i "$msi" /qn || fail "the installer did not install"
[ -f "$program_files/VLVPNDesk.exe" ] || fail "no VLVPNDesk.exe under Program Files"
[ -f "$program_files/velunor.ico" ] || fail "no icon under Program Files"
ours | grep -q 'Start Menu/Programs/Velunor VPN.lnk' || fail "no Start-menu shortcut"
versions=$(uninstall_entries)
[ "$versions" = "$(msiinfo export "$msi" Property | sed -n 's/^ProductVersion\t//p' | tr -d '\r')" ] ||
  fail "uninstall entries after the upgrade: '$versions' (one, of this version, expected)"
# The uninstall entry's icon: the product's icon as Windows Installer records it.
wine reg query 'HKLM\Software\Classes\Installer\Products' /s 2>/dev/null | tr -d '\r' |
  awk 'BEGIN { RS = "" } /ProductName +REG_SZ +Velunor VPN/ && /ProductIcon +REG_SZ +[^ ]/ { found = 1 } END { exit !found }' ||
  fail "the uninstall entry has no icon"
hello=$(echo | timeout 60 wine 'C:\Program Files\Velunor VPN\VLVPNDesk.exe' --stdio | head -1)
case $hello in *'"hello"'*'"appDisplayName":"Velunor VPN"'*) ;; *) fail "no hello from the installed program: $hello" ;; esac

wine msiexec /x "$msi" /qn || fail "the uninstall failed"
[ -z "$(ours)" ] || fail "left behind: $(ours)"
[ -z "$(uninstall_entries)" ] || fail "the uninstall entry is still there"
! wine reg query 'HKLM\Software\Velunor VPN' >/dev/null 2>&1 || fail "the shortcut's registry key is still there"
echo "msi: installed over $(basename "$older"), said hello, uninstalled without a trace"
