#!/usr/bin/env bash
# Builds kelvane on first use (installing cmake and g++ when missing) and
# runs it: ./run.sh ARCHIVE [DAYS], or ./run.sh demo for a sample archive.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)

if [ ! -x "$root/build/kelvane" ]; then
  "$root/scripts/install-deps.sh" cmake make g++ >&2
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DKELVANE_TESTS=OFF >/dev/null
  cmake --build "$root/build" -j "$(nproc)" >&2
fi

if [ "${1:-}" != demo ]; then
  exec "$root/build/kelvane" "$@"
fi

archive=$(mktemp -d)
trap 'rm -rf "$archive"' EXIT
day() { date -d "$1 days ago" +%Y%m%d; }
mkdir -p "$archive/$(day 45)/logs" "$archive/$(day 10)"
touch "$archive/$(day 45)/logs/app.log" "$archive/$(day 41).zip" "$archive/$(day 40).zip" "$archive/notes.txt"
echo "Before: $(cd "$archive" && ls | tr '\n' ' ')"
echo "\$ kelvane $archive"
"$root/build/kelvane" "$archive"
echo "After:  $(cd "$archive" && ls | tr '\n' ' ')"
