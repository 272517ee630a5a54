#!/usr/bin/env bash
# Renders a manual page with every groff warning on: it must render without
# one and name the release it documents.
#
# usage: check_manual.sh PAGE VERSION
set -euo pipefail
page=$1 version=$2
warnings=$(groff -man -ww -z "$page" 2>&1)
[[ -z $warnings ]] || { echo "FAIL: groff warns:"; echo "$warnings"; exit 1; }
groff -man -Tutf8 "$page" 2> /dev/null | grep -qF "fork-join $version" \
  || { echo "FAIL: the page does not name fork-join $version"; exit 1; }
