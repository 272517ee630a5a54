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
set -euo pipefail
cd "$(dirname "$0")/.."
parts=scripts/benchmark
bin=build/default clang_bin=build/clang out=build/benchmark
teams=(default 1 2 4 8 32 128)
policies=(unset passive)
programs=(serial parallel_sum parallel_hello parallel_sum_clang parallel_hello_clang)
rounds=${ROUNDS:-10} runs=${RUNS:-20} warmup=5
# The region tracer's cost: at these teams, with the passive policy,
# parallel_sum runs through env with and without the tracer preloaded.
traced_teams=" 1 2 8 32 "
tracer=$PWD/build/default/watch-region/tracer/libregion_tracer.so
# In memory, as watch-region keeps it.
trace=/dev/shm/benchmark-trace

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
}

# hyperfine's JSON for every round, policy and team, interleaved.
measure() {
  local round policy team settings traced
  for ((round = 1; round <= rounds; round++)); do
    for policy in "${policies[@]}"; do
      for team in "${teams[@]}"; do
        echo "round $round of $rounds: OMP_WAIT_POLICY $policy, team $team"
        settings=(-u OMP_NUM_THREADS -u OMP_WAIT_POLICY)
        [[ $team == default ]] || settings+=("OMP_NUM_THREADS=$team")
        [[ $policy == unset ]] || settings+=("OMP_WAIT_POLICY=$policy")
        traced=()
        if [[ $policy == passive && $traced_teams == *" $team "* ]]; then
          traced=(-n untraced_via_env "env $bin/parallel_sum"
            -n traced_via_env "env LD_PRELOAD=$tracer WATCH_REGION_TRACE=$trace $bin/parallel_sum")
        fi
        env "${settings[@]}" hyperfine --shell=none --style none \
          --warmup "$warmup" --runs "$runs" \
          --export-json "$out/json/$policy-$team-$round.json" \
          -n serial "$bin/parallel_sum_serial" \
          -n parallel_sum "$bin/parallel_sum" \
          -n parallel_hello "$bin/parallel_hello" \
          -n parallel_sum_clang "$clang_bin/parallel_sum" \
          -n parallel_hello_clang "$clang_bin/parallel_hello" \
          "${traced[@]}"
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
    echo
    echo "The region tracer's cost, OMP_WAIT_POLICY=passive: parallel_sum's median run with"
    echo "the tracer preloaded against without, both started through env in the same rounds."
    echo
    echo "| team | untraced | traced | ratio |"
    echo "| ---: | ---: | ---: | ---: |"
    awk -F'\t' '$3 == "untraced_via_env" { plain[$2] = $4 } $3 == "traced_via_env" { traced[$2] = $4 }
      END { for (team in traced) printf "| %s | %.2f | %.2f | %.3f |\n", team, plain[team], traced[team],
            traced[team] / plain[team] }' "$out/results.tsv" | sort -t'|' -k2 -n
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
rm -f "$trace"
summarise
write_table
draw_chart
cat "$out/benchmark.md"
