#!/usr/bin/env bash
# Installs a build into an empty prefix and checks that exactly the two
# programs land, in the binary folder, and nothing else (not the serial build).
#
# usage: check_install.sh CMAKE BUILD_DIR
set -euo pipefail
cmake=$1 build=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

"$cmake" --install "$build" --prefix "$prefix" > /dev/null
installed=$(cd "$prefix" && find . -type f | LC_ALL=C sort | paste -sd ' ')
if [[ $installed != "./bin/parallel_hello ./bin/parallel_sum" ]]; then
  echo "FAIL: installed: $installed"
  exit 1
fi
