# shellcheck shell=bash
# Shared by the packaging tests: failing with a message, comparing texts,
# and a sample archive for an installed kelvane to prune.

export LC_ALL=C

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# expect_same WHAT ACTUAL EXPECTED: fails with a diff when the texts differ.
expect_same() {
  if [ "$2" != "$3" ]; then
    diff -u <(printf '%s\n' "$3") <(printf '%s\n' "$2") >&2 || true
    fail "$1 differs from what was expected (- expected, + got)"
  fi
}

day() { date -d "$1 days ago" +%Y%m%d; }

# Fills the directory with entries just expired, just kept and undated.
make_sample_archive() {
  mkdir -p "$1/$(day 45)/logs" "$1/$(day 10)"
  touch "$1/$(day 45)/logs/app.log" "$1/$(day 41).zip" "$1/$(day 40).zip" "$1/notes.txt"
}

# The report over a sample archive in sorted order, the directory's order
# being the file system's.
sample_report() {
  printf '%s\n' "$(day 41).zip 41 days old, deleting..." "[$(day 45)] 45 days old, deleting..." | sort
}

sample_survivors() {
  printf '%s\n' "$(day 10)" "$(day 40).zip" notes.txt | sort
}

# check_prunes_sample KELVANE: runs the installed binary over a fresh sample
# archive with the default limit and checks report, exit code and survivors.
check_prunes_sample() {
  local archive out code=0
  archive=$(mktemp -d)
  make_sample_archive "$archive"
  out=$("$1" "$archive") || code=$?
  expect_same "exit code of $1" "$code" 0
  expect_same "report of $1" "$(sort <<<"$out")" "$(sample_report)"
  expect_same "entries left by $1" "$(ls "$archive")" "$(sample_survivors)"
  rm -rf "$archive"
}

# check_usage_names_version KELVANE VERSION: the usage text's first line
# carries major.minor of the version.
check_usage_names_version() {
  local first
  first=$("$1" | head -n 1)
  expect_same "first usage line of $1" "$first" "Kelvane v${2%.*}"
}
