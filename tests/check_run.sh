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
source "$(dirname "$0")/lib.sh"

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

case $program in
  parallel_sum) echo "Sum of array: 5050" ;;
  parallel_hello) for ((t = 0; t < team; t++)); do echo "Hello from thread $t of $team"; done ;;
  *) echo "unknown program: $program" >&2; exit 2 ;;
esac | sort > "$work/expected_out"

# A failed check ends the run, saying which run and what went to standard error.
fail() {
  echo "FAIL (run $run of $runs, team $team, standard output $stdout): $*"
  [[ ! -s $work/err ]] || { echo "standard error:"; cat "$work/err"; }
  exit 1
}

expect_status_and_error() {
  ((status == $1)) || fail "exit status $status, expected $1"
  [[ $(< "$work/err") == "$2" ]] || fail "standard error is not: $2"
}

# Same lines in any order, and the same byte count, so that the last line must
# end in a newline as well.
expect_output() {
  sort "$work/out" > "$work/sorted"
  if ! cmp -s "$work/sorted" "$work/expected_out" \
      || (($(wc -c < "$work/out") != $(wc -c < "$work/expected_out"))); then
    fail "standard output is not as expected:$(printf '\n'; diff "$work/expected_out" "$work/sorted" | head -n 20)"
  fi
}

# Runs the command into a pipe read by READER; its status, from the left of
# the pipe, comes back through a file.
run_into() {
  local reader=$1
  shift
  { "$@" 2> "$work/err" && echo 0 > "$work/status" || echo $? > "$work/status"; } | $reader
  status=$(< "$work/status")
}

run_pipe() {
  run_into cat "$@" > "$work/out"
  expect_status_and_error 0 ""
  expect_output
}

run_full() {
  status=0
  "$@" 2> "$work/err" > /dev/full || status=$?
  expect_status_and_error 1 "$program: write error: No space left on device"
}

run_closed() {
  status=0
  "$@" 2> "$work/err" >&- || status=$?
  expect_status_and_error 1 "$program: write error: Bad file descriptor"
}

# With SIGPIPE ignored, a write to a pipe nobody reads fails with EPIPE.
run_cut_short() {
  run_into "$@" > /dev/null
  case "$status:$(< "$work/err")" in
    0:) ;;
    "1:$program: write error" | "1:$program: write error: Broken pipe") ((++failed_writes)) ;;
    *) fail "exit status $status" ;;
  esac
}
run_first-line() { run_cut_short "head -n 1" "$@"; }
run_unread() { run_cut_short true "$@"; }

declare -F "run_$stdout" > /dev/null || { echo "unknown --stdout: $stdout" >&2; exit 2; }
[[ $stdout != first-line && $stdout != unread ]] || trap '' PIPE
failed_writes=0
for ((run = 1; run <= runs; run++)); do
  "run_$stdout" "$@"
done
if [[ $stdout == first-line || $stdout == unread ]] && ((failed_writes == 0)); then
  echo "FAIL: no run of $runs hit a failed write, so none tested its report"
  exit 1
fi
