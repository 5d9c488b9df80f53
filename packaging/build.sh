#!/usr/bin/env bash
# Builds the Debian package and the Windows installer from this tree into build/packages:
# velunor-vpn_<version>_amd64.deb (debhelper, then lintian) and VelunorVPN-<version>-x64.msi
# (wixl, from the MinGW build). The version is CMake's project version alone.
# Usage: packaging/build.sh <tree> (the Windows build must exist: ./run package makes it)
set -euo pipefail
root=$(cd "${1:?tree}" && pwd)
out=$root/build/packages
version=$(sed -n 's/^project(VelunorVPN VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "no project version in CMakeLists.txt" >&2; exit 1; }
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}
mkdir -p "$out"

# Debian: a copy of the tree (dpkg-buildpackage writes into it and beside it) with the
# changelog made from the version.
stage=$out/source
rm -rf "$stage" "$out"/velunor-vpn_*
mkdir -p "$stage"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$stage" -xf -
cat >"$stage/debian/changelog" <<CHANGES
velunor-vpn ($version) unstable; urgency=medium

  * Release $version.

 -- Velunor VPN developers <dev@velunor.example>  $(date -u -R -d "@$SOURCE_DATE_EPOCH")
CHANGES
# debhelper gives the build a HOME of its own: the compiler cache is named.
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/ccache}
(cd "$stage" && dpkg-buildpackage -b -us -uc >"$out/dpkg-buildpackage.log" 2>&1) || {
  tail -40 "$out/dpkg-buildpackage.log" >&2
  exit 1
}
# dpkg-buildpackage leaves its results beside the copy, in $out: the package alone is kept.
rm -f "$out"/velunor-vpn_"$version"_amd64.{buildinfo,changes} "$out"/velunor-vpn-dbgsym_*
deb=$out/velunor-vpn_${version}_amd64.deb
[ -f "$deb" ] || { echo "dpkg-buildpackage made no $deb" >&2; exit 1; }
# Every warning is fixed or explained in debian/velunor-vpn.lintian-overrides.
lintian --fail-on error,warning --tag-display-limit 0 "$deb"

# Windows: per-machine, under Program Files, with a Start-menu shortcut.
# wixl takes sources by relative path only.
(cd "$root" && wixl --arch x64 -D Version="$version" -D BinDir=build/windows/bin -D Icon=assets/velunor.ico \
  -o "$out/VelunorVPN-$version-x64.msi" packaging/windows/velunor-vpn.wxs)
ls -l "$deb" "$out/VelunorVPN-$version-x64.msi"
