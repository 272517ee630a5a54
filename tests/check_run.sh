#!/usr/bin/env bash
# Runs one of the programs with a team of TEAM threads and checks all it does:
# standard output (parallel_hello's lines may come in any order, but each must
# be whole and each thread must print exactly one), standard error and the
# exit status. Standard output goes to a pipe.
#
# usage: check_run.sh [--runs N] PROGRAM TEAM COMMAND [ARG...]
#   PROGRAM  parallel_sum or parallel_hello: whose output to expect
#   COMMAND  runs it, perhaps through a launcher (stdbuf, valgrind)
#   --runs   repeat the run N times, each checked on its own (default 1)
set -euo pipefail
export LC_ALL=C

runs=1
if [[ $1 == --runs ]]; then runs=$2; shift 2; fi
program=$1 team=$2; shift 2
export OMP_NUM_THREADS=$team

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case $program in
  parallel_sum) echo "Sum of array: 5050" ;;
  parallel_hello) for ((t = 0; t < team; t++)); do echo "Hello from thread $t of $team"; done ;;
  *) echo "unknown program: $program" >&2; exit 2 ;;
esac | sort > "$work/expected"

fail() {
  echo "FAIL (run $run of $runs, team $team): $*"
  exit 1
}

for ((run = 1; run <= runs; run++)); do
  set +e
  "$@" 2> "$work/err" | cat > "$work/out"
  status=${PIPESTATUS[0]}
  set -e
  ((status == 0)) || fail "exit status $status"
  [[ ! -s $work/err ]] || fail "standard error not empty:$(printf '\n'; cat "$work/err")"
  # Same lines in any order, and the same byte count, so that the last line
  # must end in a newline as well.
  sort "$work/out" > "$work/sorted"
  if ! cmp -s "$work/sorted" "$work/expected" \
      || (($(wc -c < "$work/out") != $(wc -c < "$work/expected"))); then
    fail "standard output is not as expected:$(printf '\n'; diff "$work/expected" "$work/sorted" | head -n 20)"
  fi
done
