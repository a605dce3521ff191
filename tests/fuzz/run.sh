#!/usr/bin/env bash
# Builds the fuzz target of the command-line splitter with clang's
# libFuzzer and sanitizers, and runs it for SECONDS seconds (default 20)
# from the seeds in corpus/. New inputs go to a scratch directory; a crash
# leaves its input in the build directory and fails.
# Usage: run.sh [SECONDS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd) build=${KELVANE_FUZZ_BUILD:-$here/../../build-fuzz}
scratch=$(mktemp -d) && trap 'rm -rf "$scratch"' EXIT && mkdir -p "$build" "$scratch/new"
echo "fuzzing the command-line splitter for ${1:-20}s"
clang++-14 -std=c++20 -O2 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Wall -Wextra -Werror \
  -I"$here/../../src" "$here/command_line_fuzz.cpp" -o "$build/command_line_fuzz"
"$build/command_line_fuzz" -max_total_time="${1:-20}" -artifact_prefix="$build/" "$scratch/new" "$here/corpus" \
  2>"$scratch/log" || { tail -n 40 "$scratch/log"; exit 1; }
