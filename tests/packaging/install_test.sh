#!/usr/bin/env bash
# `cmake --install` into a throw-away DESTDIR: exactly the expected files,
# found where man and systemd look, and an installed kelvane that works.
# Usage: install_test.sh BUILD_DIR VERSION
set -euo pipefail
# shellcheck source=tests/packaging/lib.sh
. "$(dirname "$0")/lib.sh"
build=$1 version=$2

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr/local >/dev/null

expect_same "installed files" "$(cd "$root" && find . -type f | sort)" "\
./usr/local/bin/kelvane
./usr/local/lib/systemd/system/kelvane@.service
./usr/local/lib/systemd/system/kelvane@.timer
./usr/local/share/doc/kelvane/CHANGES
./usr/local/share/doc/kelvane/README.md
./usr/local/share/doc/kelvane/copyright
./usr/local/share/man/man1/kelvane.1"

expect_same "page man finds" "$(man -M "$root/usr/local/share/man" -w kelvane)" \
  "$root/usr/local/share/man/man1/kelvane.1"

kelvane=$root/usr/local/bin/kelvane
check_usage_names_version "$kelvane" "$version"
check_prunes_sample "$kelvane"
echo "ok: the install holds binary, manual page, units and documents, and the binary works"
