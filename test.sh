#!/usr/bin/env bash
# Sets up a fresh Debian machine for the tests and runs every one of them:
# the Linux build, then the same tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer, the tests that run several threads built with
# ThreadSanitizer, and the Windows builds under Wine. The end-to-end suites
# (tests/e2e, pytest) run in each of these builds.
set -euo pipefail
cd "$(dirname "$0")"

# `./test.sh --long` runs the randomised attack tests in their long form.
[ "${1:-}" = --long ] && export KELVANE_LONG_TESTS=1

scripts/install-deps.sh cmake make g++ googletest libgtest-dev python3-pytest clang-format

# Every tracked C++ file is as clang-format writes it.
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
# For the packaging checks (tests/packaging): the manual page, the Debian
# package, the systemd units and the Windows zips.
scripts/install-deps.sh groff-base man-db dpkg-dev file systemd unzip

# Build directories of their own (run.sh builds build/ without tests), and
# every option the suites depend on stated here, whatever a cache holds.
# ctest_args, when set, picks the tests of a suite.
ctest_args=()
run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_TESTS=ON -DKELVANE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j "$(nproc)" "${ctest_args[@]}")
}

echo "== Linux"
run_suite build-test -DKELVANE_PACKAGING_TESTS=ON
echo "== Linux, AddressSanitizer and UndefinedBehaviorSanitizer"
run_suite build-sanitize \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DKELVANE_PACKAGING_TESTS=OFF
# A data race ends the process that has it at once, with a failing status:
# the binary run by an end-to-end test as well as a test itself.
echo "== Linux, ThreadSanitizer: the tests that run several threads"
ctest_args=(-R "e2e\.(cases|attacks|faults)")
export TSAN_OPTIONS=halt_on_error=1
run_suite build-tsan -DCMAKE_CXX_FLAGS="-fsanitize=thread" \
  -DKELVANE_PACKAGING_TESTS=OFF
ctest_args=()

# ---- Windows: kelvane.exe (32-bit and 64-bit) cross-built with MinGW-w64,
# the same tests run under Wine.
scripts/test-windows.sh
