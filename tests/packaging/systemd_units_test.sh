#!/usr/bin/env bash
# The systemd units as installed: systemd-analyze verify finds nothing to
# say about an instance of the service and of the timer, the service's
# binary and manual page included.
# Usage: systemd_units_test.sh BUILD_DIR
set -euo pipefail
# shellcheck source=tests/packaging/lib.sh
. "$(dirname "$0")/lib.sh"
build=$1

if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed, so the systemd units were not verified"
  exit 77
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
# Verifying in a root loads the units' dependencies from it as well: lend
# it this machine's targets.
for dir in /usr/lib/systemd/system /lib/systemd/system; do
  [ -f "$dir/timers.target" ] && { cp "$dir"/*.target "$root/usr/lib/systemd/system/"; break; }
done

for archive in /srv/backup "/srv/nightly dumps"; do
  instance=$(systemd-escape --path "$archive")
  said=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" \
    "kelvane@$instance.service" "kelvane@$instance.timer" 2>&1) || fail "verify failed for $archive: $said"
  expect_same "what verify says for $archive" "$said" ""
done
echo "ok: systemd-analyze verify accepts kelvane@.service and kelvane@.timer"
