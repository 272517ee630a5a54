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
installed=$(cd "$prefix" && find . -type f -perm -u+x | LC_ALL=C sort | paste -sd ' ')
others=$(cd "$prefix" && find . -type f ! -perm -u+x)
if [[ $installed != "./bin/parallel_hello ./bin/parallel_sum" || -n $others ]]; then
  echo "FAIL: installed: $installed $others"
  exit 1
fi
