#!/usr/bin/env bash
# Reads a built program's dynamic imports and needed libraries and checks that
# it enters the OpenMP runtime only through the region launch, the team
# queries and, for LLVM's runtime, its static-loop and reduction entries; that
# it takes no lock, barrier or critical section of its own, sets no team size,
# starts no thread of its own, allocates nothing and needs only the runtime
# and libc.
#
# usage: check_contract.sh RUNTIME BINARY
#   RUNTIME   libgomp (GCC's; the design's own contract), libomp (LLVM's),
#             or none: BINARY was built without OpenMP, needs libc alone and
#             imports nothing from a runtime
source "$(dirname "$0")/lib.sh"

case $1 in
  libgomp)
    expected_needed="libc.so.6 libgomp.so.1"
    required=(GOMP_parallel@GOMP_4.0 omp_get_num_threads@OMP_1.0 omp_get_thread_num@OMP_1.0)
    allowed=() ;;
  libomp)
    # LLVM's runtime hands out the static loop's block and combines the
    # reduction's partials itself; those entries are the runtime's own work.
    expected_needed="libc.so.6 libomp.so.5"
    required=(__kmpc_fork_call@VERSION)
    allowed=(omp_get_num_threads@VERSION omp_get_thread_num@VERSION
      __kmpc_global_thread_num@VERSION __kmpc_for_static_init_4@VERSION
      __kmpc_for_static_fini@VERSION __kmpc_reduce_nowait@VERSION
      __kmpc_end_reduce_nowait@VERSION) ;;
  none) expected_needed="libc.so.6" required=() allowed=() ;;
  *) skip "no runtime contract is known for the OpenMP runtime '$1'" ;;
esac
shift
binary=$1

needed=$(readelf -dW "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | paste -sd ' ')
[[ $needed == "$expected_needed" ]] || fail "needed libraries are: $needed"

# Undefined dynamic symbols, as name@version.
imports=$(readelf -W --dyn-syms "$binary" | awk '$7 == "UND" && $8 != "" { print $8 }')

for symbol in "${required[@]}"; do
  grep -qxF "$symbol" <<< "$imports" || fail "does not import $symbol"
done

forbidden=$(grep -E '^(GOMP_|omp_|__kmpc_|pthread_|malloc@|calloc@|realloc@|_Zn[wa])' <<< "$imports" \
  | grep -vxF -f <(printf '%s\n' "${required[@]}" "${allowed[@]}") || true)
[[ -z $forbidden ]] || fail "imports what it must not:$(printf '\n%s' "$forbidden")"

finish
