#!/usr/bin/env bash
# The manual page: groff finds nothing to warn about, man renders it with
# every section a user looks for, and whatis can read its NAME line.
# Usage: man_page_test.sh PAGE
set -euo pipefail
# shellcheck source=tests/packaging/lib.sh
. "$(dirname "$0")/lib.sh"
page=$1

expect_same "groff warnings" "$(groff -man -ww -z "$page" 2>&1)" ""

expect_same "man warnings" "$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)" ""
rendered=$(MANWIDTH=80 man -l "$page")
expect_same "section headings" "$(grep -E '^[A-Z][A-Z ]+$' <<<"$rendered")" "\
NAME
SYNOPSIS
DESCRIPTION
OUTPUT
EXIT STATUS
SAFETY
EXAMPLES
SEE ALSO"

expect_same "whatis line" "$(lexgrog "$page")" \
  "$page: \"kelvane - remove dated entries from an archive directory once they are too old\""
echo "ok: $page is clean for groff and man, with all its sections"
