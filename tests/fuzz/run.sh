#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS seconds
# (default 20) from the seeds in corpus/. New inputs go to a scratch
# directory; a crash leaves its input in the build directory and fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-20}
build=${KELVANE_FUZZ_BUILD:-$here/../../build-fuzz}

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
targets=(integer date command_line)
for target in "${targets[@]}"; do
  mkdir -p "$scratch/$target"
  echo "fuzzing $target for ${seconds}s"
  "$build/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/" \
    "$scratch/$target" "$here/corpus/$target" 2>"$scratch/$target.log" ||
    { tail -n 40 "$scratch/$target.log"; exit 1; }
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$scratch/$target.log" | tr '\n' ' '
  echo
done
echo "fuzz: ${#targets[@]} passed, 0 failed"
