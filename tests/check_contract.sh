#!/usr/bin/env bash
# Reads a built program's dynamic imports and needed libraries and checks that
# it enters the OpenMP runtime only through GOMP_parallel and the two team
# queries, takes no lock, barrier or work-sharing helper, sets no team size,
# starts no thread of its own, allocates nothing and needs only libgomp and
# libc.
#
# usage: check_contract.sh [--serial] BINARY
#   --serial  BINARY was built without OpenMP: it needs libc alone and imports
#             nothing from the runtime
set -euo pipefail
export LC_ALL=C

expected_needed="libc.so.6 libgomp.so.1"
required=(GOMP_parallel@GOMP_4.0 omp_get_num_threads@OMP_1.0 omp_get_thread_num@OMP_1.0)
if [[ $1 == --serial ]]; then
  expected_needed="libc.so.6"
  required=()
  shift
fi
binary=$1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

needed=$(readelf -dW "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | paste -sd ' ')
[[ $needed == "$expected_needed" ]] || fail "needed libraries are: $needed"

# Undefined dynamic symbols, as name@version.
imports=$(readelf -W --dyn-syms "$binary" | awk '$7 == "UND" && $8 != "" { print $8 }')

for symbol in "${required[@]}"; do
  grep -qxF "$symbol" <<< "$imports" || fail "does not import $symbol"
done

forbidden=$(grep -E '^(GOMP_|omp_|pthread_|malloc@|calloc@|realloc@|_Zn[wa])' <<< "$imports" \
  | grep -vxF -f <(printf '%s\n' "${required[@]}") || true)
[[ -z $forbidden ]] || fail "imports what it must not:$(printf '\n%s' "$forbidden")"

exit "$failed"
