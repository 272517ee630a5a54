#!/usr/bin/env bash
# Installs a build into an empty prefix and checks that exactly the two
# programs land, in the binary folder, with their manual pages, the licence and
# the change log, and nothing else (not the serial build).
#
# usage: check_install.sh CMAKE BUILD_DIR
set -euo pipefail
cmake=$1 build=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

"$cmake" --install "$build" --prefix "$prefix" > /dev/null
installed=$(cd "$prefix" && find . -type f | LC_ALL=C sort | paste -sd ' ')
expected="./bin/parallel_hello ./bin/parallel_sum ./share/doc/fork-join/changelog.gz\
 ./share/doc/fork-join/copyright ./share/man/man1/parallel_hello.1.gz\
 ./share/man/man1/parallel_sum.1.gz"
if [[ $installed != "$expected" ]]; then
  echo "FAIL: installed: $installed"
  exit 1
fi
