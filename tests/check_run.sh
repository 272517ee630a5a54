#!/usr/bin/env bash
# Runs one of the programs with a team of TEAM threads and checks all it does:
# standard output (parallel_hello's lines may come in any order, but each must
# be whole and each thread must print exactly one), standard error and the
# exit status.
#
# usage: check_run.sh [--runs N] [--stdout MODE] PROGRAM TEAM COMMAND [ARG...]
#   PROGRAM   parallel_sum or parallel_hello: whose behaviour to expect
#   COMMAND   runs it, perhaps through a launcher (stdbuf, valgrind)
#   --runs    repeat the run N times, each checked on its own (default 1)
#   --stdout  where standard output goes:
#             pipe        a pipe read to the end (the default)
#             full, closed
#                         /dev/full, or no standard output at all: the run
#                         must fail with the reason on standard error
#             first-line, unread
#                         a pipe whose reader stops after the first line, or
#                         reads nothing, with SIGPIPE ignored: a run whose
#                         writes all got through must succeed, one with a
#                         failed write must report it, with the reason or with
#                         none, never a wrong one; at least one of the runs
#                         must have hit a failed write
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
  first-line | unread) trap '' PIPE; failed_writes=0 ;;
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
    first-line) "$@" 2> "$work/err" | head -n 1 > /dev/null; status=${PIPESTATUS[0]} ;;
    unread) "$@" 2> "$work/err" | true; status=${PIPESTATUS[0]} ;;
  esac
  set -e
  if [[ $stdout == first-line || $stdout == unread ]]; then
    case "$status:$(cat "$work/err")" in
      0:) ;;
      "1:$program: write error" | "1:$program: write error: Broken pipe") ((++failed_writes)) ;;
      *) fail "exit status $status" ;;
    esac
    continue
  fi
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
if [[ -v failed_writes ]] && ((failed_writes == 0)); then
  echo "FAIL: no run of $runs hit a failed write, so none tested its report"
  exit 1
fi
