#!/usr/bin/env bash
# Cross-builds kelvane.exe for 32-bit and 64-bit Windows with MinGW-w64 and
# runs the whole test list against each build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

# Wine's 32-bit half comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo dpkg --add-architecture i386
fi
scripts/install-deps.sh g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386

# A Wine prefix of the project's own, made once, so that the tests neither
# use nor disturb the user's. A console program needs no Mono or Gecko,
# which Wine would offer to download.
export WINEPREFIX="$PWD/build-wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Debian's wine command starts Wine's 32-bit loader, which hands 64-bit
# programs on to the 64-bit one. A kernel built without 32-bit support runs
# neither that loader nor a 32-bit kelvane.exe: there the 64-bit loader
# stands in for every wine command, and the 32-bit build is built and
# checked but not run.
arches="i686 x86_64"
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  mkdir -p "$WINEPREFIX-bin"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$WINEPREFIX-bin/$name"
    chmod +x "$WINEPREFIX-bin/$name"
  done
  export PATH="$WINEPREFIX-bin:$PATH"
  arches="x86_64"
  echo "== This kernel runs no 32-bit programs: the 32-bit kelvane.exe is built, not run" >&2
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1
  wineserver -w
fi
# One Wine session for the whole run, started here: a test that limits the
# size of the files kelvane.exe writes must not start Wine's server under
# that limit. Wine's services start with the first program of a session
# and keep its output open while the session lasts: started here, they
# hold no build's or test's output.
wineserver -p
trap 'wineserver -k' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1
for arch in i686 x86_64; do
  dir="build-win-$arch"
  runs=false
  case " $arches " in *" $arch "*) runs=true ;; esac
  echo "== Windows, $arch-w64-mingw32 under Wine"
  # A build that is not run lists its tests only when ctest asks, never.
  discovery=POST_BUILD
  $runs || discovery=PRE_TEST
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_WERROR=ON -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=$discovery >/dev/null
  cmake --build "$dir" -j "$(nproc)"
  # Only the system's own DLLs: the .exe runs on a bare Windows.
  imports=$("$arch-w64-mingw32-objdump" -p "$dir/kelvane.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ')
  if [ "$imports" != "kernel32.dll msvcrt.dll ntdll.dll " ]; then
    echo "$dir/kelvane.exe needs more than system DLLs: $imports" >&2
    exit 1
  fi
  $runs || continue
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j "$(nproc)")
done
