#!/usr/bin/env bash
# Installs a build into an empty prefix and checks that exactly the two
# programs land, in the binary folder, with their manual pages, the licence and
# the change log, and nothing else (not the serial build); and that neither
# program carries a run path.
#
# usage: check_install.sh CMAKE BUILD_DIR
source "$(dirname "$0")/lib.sh"
cmake=$1 build=$2

"$cmake" --install "$build" --prefix "$work" > /dev/null
installed=$(files_below "$work")
[[ $installed == "$(installed_files)" ]] || fail "installed: $(paste -sd ' ' <<< "$installed")"
check_no_run_path "$work"/bin/*
finish
