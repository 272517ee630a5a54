#!/usr/bin/env bash
# Times whole runs of both programs, as built by g++ with libgomp and by
# clang++ with LLVM's libomp (the *_clang rows), and of parallel_sum's serial
# build with hyperfine, for several team sizes, with OMP_WAIT_POLICY unset and
# passive. Writes a Markdown table (benchmark.md) and a chart (benchmark.svg)
# to build/benchmark/, which git ignores. It installs nothing: it names what
# is missing.
#
# Every case is measured in several rounds that take turns with the others,
# and each team size's runs are measured next to runs of the serial build, so
# that the machine's drift falls on both sides of every ratio.
# ROUNDS and RUNS (default 10 and 20) change how many, for a quick look.
# Last, benchmark/tracer_cost.py measures what watch-region's tracer costs,
# and benchmark/task_cost.py what it costs a program of tasks on both
# runtimes, next to OTF-CPT's library where PEER names one (built apart from
# this project; never needed).
set -euo pipefail
cd "$(dirname "$0")/.."
parts=scripts/benchmark
bin=build/default clang_bin=build/clang out=build/benchmark
teams=(default 1 2 4 8 32 128)
policies=(unset passive)
programs=(serial parallel_sum parallel_hello parallel_sum_clang parallel_hello_clang)
rounds=${ROUNDS:-10} runs=${RUNS:-20} warmup=5

require_tools() {
  local missing=() tool package
  for tool in g++:g++ clang++:clang cmake:cmake hyperfine:hyperfine gnuplot:gnuplot-nox jq:jq; do
    command -v "${tool%%:*}" > /dev/null || missing+=("${tool#*:}")
  done
  dpkg-query -W -f='${Status}' libomp-dev 2> /dev/null | grep -q 'ok installed' || missing+=(libomp-dev)
  if ((${#missing[@]})); then
    echo "benchmark.sh: missing: ${missing[*]}; install with: apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
}

build() {
  for preset in default clang; do
    cmake --preset "$preset" > /dev/null
    cmake --build --preset "$preset" > /dev/null
  done
  cmake --build --preset default --target empty_preload region_cost sync_cost task_cost mpi_cost \
    > /dev/null
  cmake --build --preset clang --target task_cost > /dev/null
}

# hyperfine's JSON for every round, policy and team, interleaved.
measure() {
  local round policy team settings
  for ((round = 1; round <= rounds; round++)); do
    for policy in "${policies[@]}"; do
      for team in "${teams[@]}"; do
        echo "round $round of $rounds: OMP_WAIT_POLICY $policy, team $team"
        settings=(-u OMP_NUM_THREADS -u OMP_WAIT_POLICY)
        [[ $team == default ]] || settings+=("OMP_NUM_THREADS=$team")
        [[ $policy == unset ]] || settings+=("OMP_WAIT_POLICY=$policy")
        env "${settings[@]}" hyperfine --shell=none --style none \
          --warmup "$warmup" --runs "$runs" \
          --export-json "$out/json/$policy-$team-$round.json" \
          -n serial "$bin/parallel_sum_serial" \
          -n parallel_sum "$bin/parallel_sum" \
          -n parallel_hello "$bin/parallel_hello" \
          -n parallel_sum_clang "$clang_bin/parallel_sum" \
          -n parallel_hello_clang "$clang_bin/parallel_hello"
      done
    done
  done
}

summarise() {
  local policy team
  for policy in "${policies[@]}"; do
    for team in "${teams[@]}"; do
      jq -s -r --arg policy "$policy" --arg team "$team" -f "$parts/quantiles.jq" \
        "$out/json/$policy-$team-"*.json
    done
  done > "$out/results.tsv"
}

write_table() {
  local machine
  machine=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')
  grep -qw hypervisor /proc/cpuinfo && machine+=" (a virtual machine)"
  {
    echo "# Whole-process time of one run"
    echo
    echo "Measured $(date -u +%F) on $machine with $(nproc) cores and"
    echo "$(free -g | awk '/^Mem:/ { print $2 }') GiB; Linux $(uname -r), Debian $(cat /etc/debian_version),"
    echo "$(g++ --version | head -n 1), libgomp $(dpkg-query -W -f='${Version}' libgomp1);"
    echo "$(clang++ --version | head -n 1), libomp $(dpkg-query -W -f='${Version}' 'libomp5-*' | head -n 1)"
    echo "(the *_clang rows); $(hyperfine --version)."
    echo "Each case: $((rounds * runs)) runs in $rounds rounds, after $warmup warm-up runs a round."
    echo "The default team here is $(nproc) threads. Times in milliseconds; the spread is the"
    echo "interquartile range."
    echo
    echo "| program | OMP_WAIT_POLICY | team | median | spread | serial build's median | ratio to serial |"
    echo "| --- | --- | --- | ---: | ---: | ---: | ---: |"
    awk -v n="$(nproc)" -f "$parts/table.awk" "$out/results.tsv"
  } > "$out/benchmark.md"
}

draw_chart() {
  local policy program
  for policy in "${policies[@]}"; do
    for program in "${programs[@]}"; do
      awk -F'\t' -v p="$policy" -v prog="$program" \
        '$1 == p && $3 == prog && $2 != "default" { print $2, $4, $5, $6 }' \
        "$out/results.tsv" > "$out/series/$program-$policy.dat"
    done
  done
  gnuplot -e "out='$out'" "$parts/chart.gnuplot"
}

require_tools
build
rm -rf "$out"
mkdir -p "$out/json" "$out/series"
measure
summarise
write_table
draw_chart
cat "$out/benchmark.md"
echo
python3 "$parts/tracer_cost.py" "$bin" | tee "$out/tracer_cost.txt"
python3 "$parts/task_cost.py" ${PEER:+--peer "$PEER"} "$clang_bin" "$bin" |
  tee "$out/task_cost.txt"
