#!/usr/bin/env bash
# Times kelvane.exe under Wine on one expired chain of single directories;
# never part of ./test.sh. Each program runs RUNS times, the programs in
# turn, each on a chain built afresh; prints every time and the medians.
# Uses the Wine prefix of scripts/test-windows.sh, which must have run.
#
#   bench/wine-depth.sh DEPTH KELVANE.EXE...
#   RUNS=3                 runs per program
#   FILES=1                a file beside the directory at every level
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
depth=$1
shift
runs=${RUNS:-3}
export WINEPREFIX=$root/build-wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -d "$root/build-wine-bin" ] && export PATH="$root/build-wine-bin:$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
archive=$(wine winepath -w "$work/archive" 2>/dev/null | tr -d '\r')

build_chain() {
  rm -rf "$work/archive"
  mkdir -p "$work/archive/20010101"
  (cd "$work/archive/20010101" && for _ in $(seq "$depth"); do
    mkdir d && cd d
    [ -z "${FILES:-}" ] || : >f
  done)
}

declare -A times
for run in $(seq "$runs"); do
  for exe in "$@"; do
    build_chain
    wine cmd /c exit </dev/null >/dev/null 2>&1 # the Wine server and services up before the clock
    start=$(date +%s.%N)
    wine "$exe" "$archive" >/dev/null
    seconds=$(awk -v start="$start" -v end="$(date +%s.%N)" 'BEGIN { printf "%.3f", end - start }')
    [ -z "$(ls "$work/archive")" ] || { echo "$exe left the chain" >&2; exit 1; }
    echo "run $run, $exe: $seconds s (load $(cut -d' ' -f1 /proc/loadavg))"
    times[$exe]+="$seconds"$'\n'
  done
done
for exe in "$@"; do
  printf '%s' "${times[$exe]}" | sort -n | awk -v exe="$exe" -v depth="$depth" \
    '{ t[NR] = $1 } END { printf "median, %d levels, %s: %.2f s\n", depth, exe, t[int((NR + 1) / 2)] }'
done
