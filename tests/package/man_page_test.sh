#!/usr/bin/env bash
# The man page says what `trustctl --help` says: rendered by groff, the page's
# DESCRIPTION is the help text line for line. Checked for the built page and
# for a page made from a help text full of what roff reads as markup.
# Usage: man_page_test.sh CMAKE TRUSTCTL_MAN_SCRIPT TRUSTCTL BUILT_PAGE VERSION
set -euo pipefail
cmake=$1 script=$2 trustctl=$3 page=$4 version=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

# The DESCRIPTION section of a rendered page, without the page's indent.
rendered_description() {
  groff -k -man -Tutf8 -P-cbou -rcR=1 -rLL=300n "$1" 2>"$work/groff.err" |
    awk '/^DESCRIPTION$/ { on = 1; next } on { print }' |
    sed -e 's/^       //' -e 's/[[:space:]]*$//' >"$work/body"
  [ -s "$work/groff.err" ] && sed 's/^/groff: /' "$work/groff.err"
  # Drop the footer line (the version) and the blank lines around it.
  awk '{ l[NR] = $0 } END { n = NR; while (n > 0 && l[n] == "") n--; n--;
        while (n > 0 && l[n] == "") n--; for (i = 1; i <= n; i++) print l[i] }' "$work/body"
}

expect_same() {  # $1: what, $2: expected text file, $3: page
  rendered_description "$3" >"$work/got"
  expand -t 8 "$2" | sed 's/[[:space:]]*$//' >"$work/want"
  if ! diff -u "$work/want" "$work/got" >"$work/diff"; then
    echo "FAIL: $1: the rendered page differs from the help text"
    cat "$work/diff"
    status=1
  else
    echo "ok: $1"
  fi
  grep -q "^\.TH TRUSTCTL 1 .*\"trustlist $version\"" "$3" ||
    { echo "FAIL: $1: no version $version in the title line"; status=1; }
}

"$trustctl" --help >"$work/help.txt"
expect_same "built trustctl.1 against trustctl --help" "$work/help.txt" "$page"

# A help text with every character roff would take for markup.
cat >"$work/nasty.txt" <<'TEXT'
trustctl: a summary with a 'quote', a `tick` and --dashes
.TH at the start of a line is a request
'br so is an apostrophe
  C:\lists\TrustCustom.mnf and \fBbold\fR and \\ two
--help -x a-b -- "double quotes"

	a tab and trailing spaces   
. a lone dot
TEXT
printf '#!/bin/sh\ncat "%s"\n' "$work/nasty.txt" >"$work/fake-trustctl"
chmod +x "$work/fake-trustctl"
"$cmake" -DTRUSTCTL="$work/fake-trustctl" -DVERSION="$version" -DOUT="$work/nasty.1" -P "$script"
expect_same "markup characters in the help text" "$work/nasty.txt" "$work/nasty.1"
grep -q '^trustctl \\- a summary with' "$work/nasty.1" ||
  { echo "FAIL: NAME section does not carry the help's summary"; status=1; }
exit $status
