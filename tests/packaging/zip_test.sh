#!/usr/bin/env bash
# The Windows zip of a cross build: built by CPack, holding kelvane.exe and
# the documents as CR LF text under one folder, needing no MinGW DLL, and
# working once unpacked, run through the build's emulator (Wine).
# Usage: zip_test.sh BUILD_DIR SOURCE_DIR PACKAGE_NAME OBJDUMP EMULATOR...
set -euo pipefail
# shellcheck source=tests/packaging/lib.sh
. "$(dirname "$0")/lib.sh"
build=$1 source=$2 name=$3 objdump=$4
shift 4
version=${name#kelvane-}
version=${version%-*}
export WINEDEBUG=-all

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack could not build the zip"; }
zip=$work/out/$name.zip
[ -f "$zip" ] || fail "no $name.zip among: $(ls "$work/out")"

expect_same "zip contents" "$(unzip -Z1 "$zip" | grep -v '/$' | sort)" "\
$name/CHANGES.txt
$name/LICENSE.txt
$name/README.txt
$name/kelvane.exe"

unzip -q "$zip" -d "$work"
dir=$work/$name
for doc in README.md CHANGES LICENSE; do
  text=$dir/${doc%.md}.txt
  expect_same "$doc as text without its CRs" "$(tr -d '\r' <"$text")" "$(cat "$source/$doc")"
  expect_same "lines of $doc without CR" "$(grep -c -v $'\r$' "$text" || true)" 0
done

# A user unpacks the zip on a bare Windows: the MinGW runtime (lib*.dll)
# must be linked in, not imported.
dlls=$("$objdump" -p "$dir/kelvane.exe" | awk '/DLL Name:/ { print $3 }')
! grep -i '^lib' <<<"$dlls" || fail "kelvane.exe imports MinGW's DLLs; link it statically"

first=$("$@" "$dir/kelvane.exe" | head -n 1)
expect_same "first usage line" "$first" "Kelvane v${version%.*}"$'\r'

archive=$work/archive
mkdir "$archive"
make_sample_archive "$archive"
code=0
out=$("$@" "$dir/kelvane.exe" "$(winepath -w "$archive")") || code=$?
expect_same "exit code" "$code" 0
expect_same "report" "$(tr -d '\r' <<<"$out" | sort)" "$(sample_report)"
expect_same "line ends" "$(grep -c -v $'\r$' <<<"$out" || true)" 0
expect_same "entries left" "$(ls "$archive")" "$(sample_survivors)"
echo "ok: $name.zip holds kelvane.exe and its documents, and kelvane.exe works from it"
