#!/usr/bin/env bash
# The man page and --help tell the same options: every option that --help
# lists has its entry in the page, every option entry of the page is one that
# --help lists, and the page formats without a warning.
#   man_page_test.sh PROGRAM PAGE
set -uo pipefail
program=$1
page=$2

failed=0
Fail() { failed=$((failed + 1)); echo "FAIL: $1"; }

# The options of --help: its lines that begin with an option, e.g.
# "  -h,--help ..." or "  --port PORT ...", every name of each.
help_options=$("$program" --help | grep -E '^ +-' | sed -E 's/^ +//; s/ .*//' | tr ',' '\n' | sort -u)
if [ -z "$help_options" ]; then
  echo "FAIL: no options read from $program --help"
  exit 1
fi

# The page as plain text in the roff source: font changes and escaped hyphens
# undone, so that \fB\-\-port\fR reads --port.
text=$(sed -E 's/\\f[BIRP]//g; s/\\-/-/g' "$page")

# An option entry of the page: a .TP paragraph whose tag begins with an option.
page_entries=$(printf '%s\n' "$text" | awk '
  prev == ".TP" && $1 ~ /^\.(B|BI|BR|I|IR)$/ && $2 ~ /^"?-/ {
    for (i = 2; i <= NF; ++i) { o = $i; gsub(/[",]/, "", o); if (o ~ /^-/) print o }
  }
  { prev = $1 }' | sort -u)

for option in $help_options; do
  if ! grep -qxF -- "$option" <<<"$page_entries"; then
    Fail "$option is in --help but has no entry in $(basename "$page")"
  fi
done
for option in $page_entries; do
  if ! grep -qxF -- "$option" <<<"$help_options"; then
    Fail "$(basename "$page") has an entry for $option, which --help does not list"
  fi
done

# groff's and man's own warnings: bad macros, lines that do not fit.
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || Fail "formatting warnings: $warnings"

echo "$(wc -l <<<"$help_options") options checked in $(basename "$page")"
[ "$failed" -eq 0 ]
