#!/usr/bin/env bash
# Checks the Debian package that cpack made: its control fields, that it holds
# the two programs, their manual pages, the licence and the change log and
# nothing else, and that both programs run from the unpacked files.
#
# usage: check_package.sh lintian PACKAGE
#        check_package.sh contents PACKAGE RUNTIME VERSION CHECK_RUN
#   lintian   Debian's package checker must find no error and no warning
#   RUNTIME   libgomp or libomp: the OpenMP runtime the package must depend on
set -euo pipefail
export LC_ALL=C
if [[ $1 == lintian ]]; then
  command -v lintian > /dev/null || { echo "SKIP: lintian is not installed"; exit 77; }
  exec lintian --fail-on error,warning "$2"
fi
package=$2 runtime=$3 version=$4 check_run=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

field() { dpkg-deb --field "$package" "$1"; }
[[ $(field Package) == fork-join ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version)"
[[ $(field Architecture) == amd64 ]] || fail "Architecture: $(field Architecture)"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
# Depends is worked out from the programs' needed libraries: libc and the
# OpenMP runtime, each with a lowest version, and nothing else.
case $runtime in
  libgomp) runtime_package='libgomp1' ;;
  libomp) runtime_package='libomp5(-[0-9]+)?' ;;
  *) echo "SKIP: no package is known for the OpenMP runtime '$runtime'"; exit 77 ;;
esac
depends=$(field Depends | tr -d ' ' | tr ',' '\n' | sort | paste -sd ' ')
[[ $depends =~ ^libc6\(\>=[0-9.]+\)\ ${runtime_package}\(\>=[0-9.~:-]+\)$ ]] || fail "Depends: $depends"
description=$(field Description)
(($(wc -l <<< "$description") >= 3)) || fail "Description has no long text: $description"

files=$(dpkg-deb --contents "$package" | awk '$1 !~ /^d/ { print $NF }' | sort | paste -sd ' ')
expected="./usr/bin/parallel_hello ./usr/bin/parallel_sum ./usr/share/doc/fork-join/changelog.gz\
 ./usr/share/doc/fork-join/copyright ./usr/share/man/man1/parallel_hello.1.gz\
 ./usr/share/man/man1/parallel_sum.1.gz"
[[ $files == "$expected" ]] || fail "the package holds: $files"

dpkg-deb --extract "$package" "$work"
for program in parallel_sum parallel_hello; do
  bash "$check_run" "$program" 3 "$work/usr/bin/$program" || fail "$program from the package"
done
exit "$failed"
