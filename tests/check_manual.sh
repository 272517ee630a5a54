#!/usr/bin/env bash
# Renders a manual page with every groff warning on: it must render without
# one, name the release it documents, hold every section a reader looks for,
# and give man-db's lexgrog a NAME line, which whatis and apropos index.
#
# usage: check_manual.sh PAGE VERSION
source "$(dirname "$0")/lib.sh"
page=$1 version=$2
program=$(basename "$page" .1)
warnings=$(groff -man -ww -z "$page" 2>&1)
[[ -z $warnings ]] || fail "groff warns: $warnings"
rendered=$(groff -man -Tutf8 -P -cbou "$page" 2> /dev/null)
grep -qF "fork-join $version" <<< "$rendered" || fail "the page does not name fork-join $version"
for section in NAME SYNOPSIS DESCRIPTION ENVIRONMENT "EXIT STATUS" BUGS "SEE ALSO"; do
  grep -qx "$section" <<< "$rendered" || fail "no $section section"
done
command -v lexgrog > /dev/null || skip "lexgrog (man-db) is not installed"
lexgrog "$page" | grep -qF ": \"$program - " || fail "lexgrog finds no NAME line: $(lexgrog "$page" || true)"
finish
