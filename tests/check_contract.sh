#!/usr/bin/env bash
# Reads a built program's dynamic imports and needed libraries and checks that
# it enters the OpenMP runtime only through GOMP_parallel and the two team
# queries, takes no lock, barrier or work-sharing helper, starts no thread of
# its own, allocates nothing and needs only libgomp and libc.
#
# usage: check_contract.sh BINARY
set -euo pipefail
export LC_ALL=C
binary=$1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

needed=$(readelf -dW "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | paste -sd ' ')
[[ $needed == "libc.so.6 libgomp.so.1" ]] || fail "needed libraries are: $needed"

# Undefined dynamic symbols, as name@version.
imports=$(readelf -W --dyn-syms "$binary" | awk '$7 == "UND" && $8 != "" { print $8 }')

for required in GOMP_parallel@GOMP_4.0 omp_get_num_threads@OMP_1.0 omp_get_thread_num@OMP_1.0; do
  grep -qxF "$required" <<< "$imports" || fail "does not import $required"
done

forbidden=$(grep -E '^(GOMP_|pthread_|malloc@|calloc@|realloc@|_Zn[wa])' <<< "$imports" \
  | grep -vxF GOMP_parallel@GOMP_4.0 || true)
[[ -z $forbidden ]] || fail "imports what it must not:$(printf '\n%s' "$forbidden")"

exit "$failed"
