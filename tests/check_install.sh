#!/usr/bin/env bash
# Installs a build into an empty prefix and checks that exactly the two
# programs and watch-region land (its modules and tracer in their own
# folders), with the manual pages, the licence and the change log, and nothing
# else (not the serial build, no Python bytecode); that no program carries a
# run path; and that the installed watch-region finds its tracer from any
# folder.
#
# usage: check_install.sh CMAKE BUILD_DIR
source "$(dirname "$0")/lib.sh"
cmake=$1 build=$2

"$cmake" --install "$build" --prefix "$work" > /dev/null
installed=$(files_below "$work")
[[ $installed == "$(installed_files)" ]] || fail "installed: $(paste -sd ' ' <<< "$installed")"
check_no_run_path "$work"/bin/parallel_*
mkdir -p "$work/elsewhere/deeper/still"
timeline=$(cd "$work/elsewhere/deeper/still" &&
  "$work/bin/watch-region" --timeline --team 2 "$work/bin/parallel_sum" 2>&1) ||
  fail "the installed watch-region --timeline exited $?"
grep -q '^thread 1 ' <<< "$timeline" || fail "the installed watch-region timed no thread 1: $timeline"
finish
