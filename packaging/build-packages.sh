#!/usr/bin/env bash
# Builds every package of kelvane afresh into build-packages/: the Debian
# package for this machine's architecture and, with the MinGW toolchain
# files of cmake/, a zip for 32-bit and one for 64-bit Windows.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-packages

"$root/scripts/install-deps.sh" cmake make g++ dpkg-dev file
rm -rf "$out"
mkdir -p "$out"

# package DIR GENERATOR [CMAKE_OPTION...]: a Release build in DIR, packed by
# CPack into the output directory.
package() {
  local dir=$out/$1 generator=$2
  shift 2
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKELVANE_TESTS=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
  cpack -G "$generator" --config "$dir/CPackConfig.cmake" -B "$dir/cpack" >/dev/null
  mv "$dir"/cpack/*."${generator,,}" "$out/"
}

package linux DEB

for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
  toolchain=$root/cmake/toolchain-$triple.cmake
  if [ ! -f "$toolchain" ]; then
    echo "Skipping the Windows zip for $triple: cmake/toolchain-$triple.cmake is not there." >&2
    continue
  fi
  arch=${triple%%-*}
  "$root/scripts/install-deps.sh" "g++-mingw-w64-${arch//_/-}"
  package "$triple" ZIP -DCMAKE_TOOLCHAIN_FILE="$toolchain"
done

echo "Packages:"
find "$out" -maxdepth 1 \( -name '*.deb' -o -name '*.zip' \) | sort
