#!/usr/bin/env bash
# Checks the Debian package that cpack made: its control fields, that it holds
# the two programs, watch-region, the manual pages, the licence and the change
# log and nothing else, that its file name, control file, change log and
# manual pages carry one version, and that both programs run from the
# unpacked files.
#
# usage: check_package.sh lintian FOLDER
#        check_package.sh installed FOLDER RUNTIME
#        check_package.sh contents FOLDER RUNTIME VERSION CHECK_RUN
#   FOLDER    where cpack wrote the package, and nothing else
#   lintian   Debian's package checker must find no error and no warning
#   installed the package installed (as root, on a machine without it), then
#             watch-region in both modes and its manual page, from PATH in an
#             empty folder outside the source; then purged
#   RUNTIME   libgomp or libomp: the OpenMP runtime the package must depend on
#   VERSION   the project's version
source "$(dirname "$0")/lib.sh"
packages=("$2"/*.deb)
((${#packages[@]} == 1)) || { echo "FAIL: not one package in $2: ${packages[*]}"; exit 1; }
package=${packages[0]}
if [[ $1 == lintian ]]; then
  command -v lintian > /dev/null || skip "lintian is not installed"
  exec lintian --fail-on error,warning "$package"
fi
if [[ $1 == installed ]]; then
  ((EUID == 0)) || skip "installing a package needs root"
  if dpkg-query -W -f='${Status}' fork-join 2> /dev/null | grep -q 'ok installed'; then
    skip "fork-join is installed on this machine already; it is left as it is"
  fi
  trap 'dpkg --purge fork-join > /dev/null; rm -rf "$work"' EXIT
  dpkg --install "$package" > /dev/null || fail "dpkg could not install $package"
  mkdir "$work/empty" && cd "$work/empty"
  from_path() { env -i PATH=/usr/bin:/bin HOME="$work" OMP_NUM_THREADS=2 "$@"; }
  run=$(from_path watch-region --timeline parallel_sum 2>&1) || fail "watch-region --timeline exited $?"
  grep -q '^thread 1 ' <<< "$run" || fail "watch-region --timeline timed no thread 1: $run"
  # Under gdb, a libgomp program is watched and a libomp one refused plainly.
  if command -v gdb > /dev/null && [[ $3 == libgomp ]]; then
    run=$(from_path watch-region parallel_hello 2>&1) || fail "watch-region exited $?"
    grep -qx 'threads seen: 2; exit status: 0' <<< "$run" || fail "watch-region under gdb: $run"
  elif command -v gdb > /dev/null; then
    run=$(from_path watch-region parallel_hello 2>&1) && fail "watch-region watched a $3 program"
    grep -q "uses LLVM's libomp" <<< "$run" || fail "watch-region under gdb: $run"
  fi
  page=$(from_path man -P cat watch-region 2> /dev/null) || fail "man watch-region exited $?"
  grep -q 'watch-region - show what every thread' <<< "$page" || fail "man watch-region: $page"
  dpkg --purge fork-join > /dev/null || fail "dpkg could not purge fork-join"
  [[ ! -e /usr/share/fork-join && ! -e /usr/lib/x86_64-linux-gnu/fork-join ]] || fail "the purge left the tool's folders"
  finish
fi
runtime=$3 version=$4 check_run=$5
root=$work/root

field() { dpkg-deb --field "$package" "$1"; }
dpkg-deb --extract "$package" "$root"
[[ $(field Package) == fork-join ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version)"
[[ $(field Architecture) == amd64 ]] || fail "Architecture: $(field Architecture)"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
# Depends is worked out from the programs' needed libraries: libc and the
# OpenMP runtime, each with a lowest version, and nothing else.
case $runtime in
  libgomp) runtime_package='libgomp1' ;;
  libomp) runtime_package='libomp5(-[0-9]+)?' ;;
  *) skip "no package is known for the OpenMP runtime '$runtime'" ;;
esac
# watch-region is Python; its default mode needs gdb and its pictures gnuplot.
depends=$(field Depends | tr -d ' ' | tr ',' '\n' | sort | paste -sd ' ')
[[ $depends =~ ^libc6\(\>=[0-9.]+\)\ ${runtime_package}\(\>=[0-9.~:-]+\)\ python3$ ]] || fail "Depends: $depends"
[[ $(field Recommends) == "gdb, gnuplot-nox, python3-otf2" ]] || fail "Recommends: $(field Recommends)"
# Each lowest version must be at least what the programs' versioned imports
# need: dpkg's symbols file for the library's package names the version that
# brought each symbol.
for program in "$root"/usr/bin/parallel_* "$root"/usr/lib/x86_64-linux-gnu/fork-join/*.so; do
  readelf -W --dyn-syms "$program" | awk '$7 == "UND" && $8 ~ /@/ { print $8 }'
done | sort -u > "$work/imports"
while read -r name lowest; do
  symbols=
  for file in /var/lib/dpkg/info/"$name"{,:amd64}.symbols; do [[ ! -e $file ]] || symbols=$file; done
  [[ -n $symbols ]] || { fail "$name has no symbols file to read its versions from"; continue; }
  needed=$(awk 'NR == FNR { imported[$1]; next } /^ / && ($1 in imported) { print $2 }' \
    "$work/imports" "$symbols" | sort -V | tail -n 1)
  [[ -n $needed ]] || { fail "Depends names $name, whose library the programs do not use"; continue; }
  dpkg --compare-versions "$lowest" ge "$needed" || fail "Depends: $name (>= $lowest); the programs need $needed"
done < <(field Depends | tr ',' '\n' | sed -n 's/^ *\([^ ]*\) (>= \([^)]*\))$/\1 \2/p')
description=$(field Description)
(($(wc -l <<< "$description") >= 3)) || fail "Description has no long text: $description"

files=$(files_below "$root")
[[ $files == "$(installed_files | sed 's|^|usr/|')" ]] || fail "the package holds: $(paste -sd ' ' <<< "$files")"
check_no_run_path "$root"/usr/bin/parallel_* "$root"/usr/lib/x86_64-linux-gnu/fork-join/*.so
for program in parallel_sum parallel_hello; do
  bash "$check_run" "$program" 3 "$root/usr/bin/$program" || fail "$program from the package"
done

# One version: the project's, in the file name, the control file, the newest
# change log entry and the header of each manual page.
[[ ${package##*/} == "fork-join_${version}_amd64.deb" ]] || fail "file name: ${package##*/}"
logged=$(zcat "$root/usr/share/doc/fork-join/changelog.gz" | dpkg-parsechangelog -l - -S Version)
[[ $logged == "$version" ]] || fail "the change log's newest entry is $logged"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  zcat "$page" | grep -qF "\"fork-join $version\"" || fail "${page##*/} does not carry fork-join $version"
done
finish
