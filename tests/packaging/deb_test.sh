#!/usr/bin/env bash
# The Debian package: built by CPack with its name, version and architecture,
# depending on the package of every library the binary loads, holding exactly
# the expected files, and installable into a throw-away root whose kelvane
# works.
# Usage: deb_test.sh BUILD_DIR VERSION
set -euo pipefail
# shellcheck source=tests/packaging/lib.sh
. "$(dirname "$0")/lib.sh"
build=$1 version=$2
arch=$(dpkg --print-architecture)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack could not build the package"; }
deb=$work/out/kelvane_${version}_$arch.deb
[ -f "$deb" ] || fail "no $(basename "$deb") among: $(ls "$work/out")"
dpkg-deb -I "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
expect_same "Package" "$(field Package)" kelvane
expect_same "Version" "$(field Version)" "$version"
expect_same "Architecture" "$(field Architecture)" "$arch"

# The package that holds a library, under whichever of its /usr-merged
# names dpkg knows it.
owner() {
  local path found
  for path in "$1" "$(readlink -f "$1")"; do
    found=$(dpkg-query -S "$path" 2>/dev/null) && { echo "${found%%:*}"; return; }
  done
  fail "no package holds $1"
}
depends=$(field Depends)
depended=$(sed 's/ ([^)]*)//g; s/ *[,|] */\n/g' <<<"$depends")
[ -n "$depended" ] || fail "the package depends on nothing"
for lib in $(objdump -p "$build/kelvane" | awk '$1 == "NEEDED" { print $2 }'); do
  path=$(ldd "$build/kelvane" | awk -v lib="$lib" '$1 == lib { print $3 }')
  package=$(owner "$path")
  grep -qxF "$package" <<<"$depended" || fail "Depends ($depends) lacks $package, which holds $lib"
done

expect_same "package contents" "$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $1, $2, $6 }' | sort -k3)" "\
-rwxr-xr-x root/root ./usr/bin/kelvane
-rw-r--r-- root/root ./usr/lib/systemd/system/kelvane@.service
-rw-r--r-- root/root ./usr/lib/systemd/system/kelvane@.timer
-rw-r--r-- root/root ./usr/share/doc/kelvane/CHANGES.gz
-rw-r--r-- root/root ./usr/share/doc/kelvane/README.md.gz
-rw-r--r-- root/root ./usr/share/doc/kelvane/copyright
-rw-r--r-- root/root ./usr/share/man/man1/kelvane.1.gz"

# dpkg installs into the throw-away root only when the root's database holds
# the packages depended on: give it this machine's, so that the versions
# asked for are checked against the ones the binary was built with. Without
# root rights, unpack instead.
root=$work/root
if [ "$(id -u)" -eq 0 ]; then
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  for package in $depended; do
    dpkg-query -s "$package:$arch" 2>/dev/null || dpkg-query -s "$package"
    echo
  done >"$root/var/lib/dpkg/status"
  dpkg --root="$root" --install "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg could not install the package"; }
  expect_same "status after install" "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' kelvane)" \
    "install ok installed"
else
  echo "not root: unpacking the package instead of installing it"
  dpkg-deb -x "$deb" "$root"
fi
check_usage_names_version "$root/usr/bin/kelvane" "$version"
check_prunes_sample "$root/usr/bin/kelvane"
MANWIDTH=80 man -l "$root/usr/share/man/man1/kelvane.1.gz" | grep -q '^EXIT STATUS$' || fail "the packaged page does not render"
echo "ok: $(basename "$deb") is complete, depends on $depends, and works once installed"
