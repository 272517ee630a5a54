#!/usr/bin/env bash
# Runs one of the programs with a team of TEAM threads and checks all it does:
# standard output (parallel_hello's lines may come in any order, but each must
# be whole and each thread must print exactly one), standard error and the
# exit status.
#
# usage: check_run.sh [--runs N] [--stdout pipe|full|closed] PROGRAM TEAM COMMAND [ARG...]
#   PROGRAM   parallel_sum or parallel_hello: whose behaviour to expect
#   COMMAND   runs it, perhaps through a launcher (stdbuf, valgrind)
#   --runs    repeat the run N times, each checked on its own (default 1)
#   --stdout  where standard output goes (default a pipe); to /dev/full or
#             closed, the run must fail with one line on standard error
set -euo pipefail
export LC_ALL=C

runs=1 stdout=pipe
while [[ $1 == --* ]]; do
  case $1 in
    --runs) runs=$2 ;;
    --stdout) stdout=$2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift 2
done
program=$1 team=$2; shift 2
export OMP_NUM_THREADS=$team

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case $program in
  parallel_sum) echo "Sum of array: 5050" ;;
  parallel_hello) for ((t = 0; t < team; t++)); do echo "Hello from thread $t of $team"; done ;;
  *) echo "unknown program: $program" >&2; exit 2 ;;
esac | sort > "$work/expected_out"

expected_status=1
case $stdout in
  pipe) expected_status=0; : > "$work/expected_err" ;;
  full) echo "$program: write error: No space left on device" > "$work/expected_err" ;;
  closed) echo "$program: write error: Bad file descriptor" > "$work/expected_err" ;;
  *) echo "unknown --stdout: $stdout" >&2; exit 2 ;;
esac

fail() {
  echo "FAIL (run $run of $runs, team $team, standard output $stdout): $*"
  [[ ! -s $work/err ]] || { echo "standard error:"; cat "$work/err"; }
  exit 1
}

for ((run = 1; run <= runs; run++)); do
  set +e
  case $stdout in
    pipe) "$@" 2> "$work/err" | cat > "$work/out"; status=${PIPESTATUS[0]} ;;
    full) "$@" 2> "$work/err" > /dev/full; status=$? ;;
    closed) "$@" 2> "$work/err" >&-; status=$? ;;
  esac
  set -e
  ((status == expected_status)) || fail "exit status $status, expected $expected_status"
  cmp -s "$work/err" "$work/expected_err" || fail "standard error is not as expected"
  [[ $stdout == pipe ]] || continue
  # Same lines in any order, and the same byte count, so that the last line
  # must end in a newline as well.
  sort "$work/out" > "$work/sorted"
  if ! cmp -s "$work/sorted" "$work/expected_out" \
      || (($(wc -c < "$work/out") != $(wc -c < "$work/expected_out"))); then
    fail "standard output is not as expected:$(printf '\n'; diff "$work/expected_out" "$work/sorted" | head -n 20)"
  fi
done
