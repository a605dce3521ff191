#!/usr/bin/env bash
# What a user gets, one PART at a time: install, man_page, deb and
# systemd_units from a Linux build, zip from a Windows cross build whose
# kelvane.exe runs through the EMULATOR.
# Usage: package_test.sh PART BUILD_DIR SOURCE_DIR VERSION OBJDUMP [EMULATOR...]
set -euo pipefail
export LC_ALL=C
part=$1 build=$2 source=$3 version=$4 objdump=$5 && shift 5
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
same() { [ "$2" = "$3" ] || fail "$1 differs (< expected, > got):"$'\n'"$(diff <(echo "$3") <(echo "$2"))"; }
day() { date -d "$1 days ago" +%Y%m%d; }
pack() { cpack -G "$1" --config "$build/CPackConfig.cmake" -B "$work" &>"$work/log" || fail "cpack: $(cat "$work/log")"; }

# works [EMULATOR...] KELVANE: the usage names major.minor, and with the
# default limit the entries just expired go while those just kept and the
# undated stay. Run from inside the archive, so that no path needs
# translating for Wine; through Wine, every line must end in CR LF.
cr=${1:+$'\r'}
works() {
  mkdir -p "$work/archive/$(day 45)/logs" "$work/archive/$(day 10)"
  touch "$work/archive/"{"$(day 45)/logs/app.log","$(day 41).zip","$(day 40).zip",notes.txt}
  same "first usage line" "$("$@" | head -n 1)" "Kelvane v${version%.*}$cr"
  out=$(cd "$work/archive" && "$@" .) || fail "kelvane exited with $? over the sample archive"
  same "report" "$(sort <<<"$out")" \
    "$(printf "%s$cr\n" "$(day 41).zip 41 days old, deleting..." "[$(day 45)] 45 days old, deleting...")"
  same "entries left" "$(ls "$work/archive")" "$(printf '%s\n' "$(day 40).zip" "$(day 10)" notes.txt)"
}

case $part in
install)
  # Under a prefix that systemd searches for no command, the service names kelvane by its path.
  DESTDIR=$work cmake --install "$build" --prefix /opt/kelvane >/dev/null && cd "$work/opt/kelvane"
  same "installed files" "$(find . -type f | sort)" "$(printf './%s\n' bin/kelvane \
    lib/systemd/system/kelvane@.{service,timer} share/doc/kelvane/{CHANGES,README.md,copyright} share/man/man1/kelvane.1)"
  grep -q '^ExecStart=/opt/kelvane/bin/kelvane ' lib/systemd/system/kelvane@.service || fail "ExecStart names another kelvane" ;;
man_page)
  page=$source/doc/kelvane.1
  same "groff and man warnings" "$(groff -man -ww -z "$page" 2>&1; MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)" ""
  lexgrog "$page" >/dev/null || fail "whatis cannot read the NAME line" ;;
deb)
  # CPack names the file after the package's name, version and architecture.
  pack DEB && arch=$(dpkg --print-architecture) && deb=$work/kelvane_${version}_$arch.deb root=$work/root
  same "package contents" "$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $1, $2, $6 }' | sort -k3)" \
    "-rwxr-xr-x root/root ./usr/bin/kelvane$(printf '\n-rw-r--r-- root/root ./usr/%s' \
    lib/systemd/system/kelvane@.{service,timer} share/doc/kelvane/{CHANGES.gz,README.md.gz,copyright} share/man/man1/kelvane.1.gz)"
  # Every library the binary needs comes from a package it depends on.
  depended=$(dpkg-deb -f "$deb" Depends | sed 's/ ([^)]*)//g; s/ *[,|] */\n/g')
  for lib in $("$objdump" -p "$build/kelvane" | awk '$1 == "NEEDED" { print $2 }'); do
    owner=$(dpkg-query -S "*/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/$lib" | sed -n 1p) || fail "no package holds $lib"
    grep -qxF "${owner%%:*}" <<<"$depended" || fail "Depends lacks ${owner%%:*}, which holds $lib"
  done
  # The packaged program runs.
  dpkg-deb -x "$deb" "$root" && works "$root/usr/bin/kelvane"
  # Removing it disables each enabled instance of its units (in a root with /usr merged, as Debian's);
  # purging it takes the timers' records too.
  dpkg-deb -e "$deb" "$work/ctl" && w=$root/etc/systemd/system/timers.target.wants t=$root/var/lib/systemd/timers
  mkdir -p "$w" "$t" && ln -s usr/lib "$root/lib" && ln -s /lib/systemd/system/kelvane@.timer "$w/kelvane@a.timer"
  touch "$t/stamp-kelvane@a.timer" && for run in prerm\ remove postrm\ {remove,purge}; do DPKG_ROOT=$root "$work/ctl/"$run; done
  same "control files, and what removal leaves" "$(ls "$work/ctl"; find "$root"/{etc,var} -name '*kelvane@*')" \
    "$(printf '%s\n' control md5sums postinst postrm prerm)" ;;
systemd_units)
  command -v systemd-analyze >/dev/null || { echo "SKIP: no systemd-analyze to verify the units"; exit 77; }
  DESTDIR=$work cmake --install "$build" --prefix /usr >/dev/null
  # Verifying in a root loads the units' dependencies from it as well.
  cp /lib/systemd/system/*.target "$work/usr/lib/systemd/system/"
  same "what systemd-analyze verify says" "$(MANPATH=$work/usr/share/man systemd-analyze verify --root="$work" \
    "kelvane@$(systemd-escape --path "/srv/nightly dumps")".{service,timer} 2>&1 || echo "failed with $?")" ""
  systemd-analyze security --offline=true --threshold=20 --root="$work" kelvane@a.service | grep Overall || fail "exposed over 2.0" ;;
zip)
  pack ZIP && name=$(basename "$work"/kelvane-"$version"-win*.zip .zip)
  # Unpacked into C:\Tools, it gives what README names.
  grep -qF 'C:\Tools\kelvane\kelvane.exe' "$source/README.md" || fail "README names no C:\Tools\kelvane\kelvane.exe"
  same "zip contents" "$(unzip -Z1 "$work/$name.zip" | grep -v '/$' | sort)" \
    "$(printf 'kelvane/%s\n' {CHANGES,LICENSE,README}.txt kelvane.exe)"
  unzip -q "$work/$name.zip" -d "$work"
  for doc in README.md CHANGES LICENSE; do
    same "${doc%.md}.txt" "$(cat "$work/kelvane/${doc%.md}.txt")" "$(sed 's/$/\r/' "$source/$doc")"
  done
  # Unpacked on a bare Windows, kelvane.exe finds no MinGW runtime DLL.
  ! "$objdump" -p "$work/kelvane/kelvane.exe" | grep -i 'DLL Name: *lib' || fail "kelvane.exe imports MinGW's DLLs"
  works "$@" "$work/kelvane/kelvane.exe" ;;
*) fail "no part $part" ;;
esac
