#!/usr/bin/env bash
# Reads from the built programs what the build promises of them.
#
# usage: check_build.sh optimised PROGRAM...
#        check_build.sh no-run-path PROGRAM...
#        check_build.sh array-read-in-place PROGRAM
#        check_build.sh without-preset CMAKE SOURCE_DIR
#   optimised            no debug information, no frame pointer set up in the
#                        program's own functions (as an unoptimised build
#                        does), and parallel_sum's loop vectorised (as the
#                        optimised build's -O3 does)
#   no-run-path          no RPATH or RUNPATH
#   array-read-in-place  the region bodies of parallel_sum keep no copy of the
#                        array (100 four-byte integers) on their stack: every
#                        thread reads main's one array through its address
#   without-preset       a configure with no preset and no build type gives
#                        optimised programs with no run path
source "$(dirname "$0")/lib.sh"
mode=$1
shift

# The program's own code: main and the outlined region bodies (g++ names them
# main._omp_fn.N, clang++ .omp_outlined.*).
own_code() {
  objdump -d --no-show-raw-insn "$1" \
    | awk '/^[0-9a-f]+ <(main|main\._omp_fn\.[0-9]+|\.omp_outlined\..*)>:$/ { on = 1; next } /^$/ { on = 0 } on'
}
region_bodies() {
  objdump -d --no-show-raw-insn "$1" \
    | awk '/^[0-9a-f]+ <(main\._omp_fn\.[0-9]+|\.omp_outlined\..*)>:$/ { on = 1; next } /^$/ { on = 0 } on'
}

check_optimised() {
  local program code
  for program; do
    code=$(own_code "$program")
    ! readelf -SW "$program" | grep -F ' .debug_' > /dev/null || fail "$program has debug information"
    ! grep -E 'mov +%rsp,%rbp' <<< "$code" > /dev/null \
      || fail "$program sets up a frame pointer, as an unoptimised build does"
    [[ ${program##*/} != parallel_sum ]] || region_bodies "$program" | grep -E '\spadd' > /dev/null \
      || fail "$program's loop is not vectorised, as the optimised build's (-O3) is"
  done
}

case $mode in
  optimised) check_optimised "$@" ;;
  no-run-path) check_no_run_path "$@" ;;
  array-read-in-place)
    array_bytes=$((100 * 4))
    while read -r reserved; do
      ((reserved < array_bytes)) || fail "a region body reserves $reserved bytes of stack, room for a copy of the array"
    done < <(region_bodies "$1" | sed -n 's/.*sub  *\$\(0x[0-9a-f]*\),%rsp.*/\1/p' | xargs -r printf '%d\n')
    ! region_bodies "$1" | grep -E 'rep movs|<memcpy@plt>' > /dev/null || fail "a region body copies memory"
    ;;
  without-preset)
    cmake=$1 source=$2
    copy_source "$source" "$work"
    "$cmake" -S "$work" -B "$work/build" -DBUILD_TESTING=OFF > /dev/null
    "$cmake" --build "$work/build" -j 2 --target parallel_sum parallel_hello > /dev/null
    check_optimised "$work/build/parallel_sum" "$work/build/parallel_hello"
    check_no_run_path "$work/build/parallel_sum" "$work/build/parallel_hello"
    ;;
  *) echo "unknown mode: $mode" >&2; exit 2 ;;
esac
finish
