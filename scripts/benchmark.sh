#!/usr/bin/env bash
# Times whole runs of both programs, as built by g++ with libgomp and by
# clang++ with LLVM's libomp (the *_clang rows), and of parallel_sum's serial
# build with hyperfine, for several team sizes, with OMP_WAIT_POLICY unset and
# passive.
# Writes a Markdown table (benchmark.md) and a chart (benchmark.svg) to
# build/benchmark/, which git ignores.
#
# Every case is measured in several rounds that take turns with the others,
# and each team size's runs are measured next to runs of the serial build, so
# that the machine's drift falls on both sides of every ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/apt-install-missing.sh g++ clang libomp-dev cmake hyperfine gnuplot-nox jq

for preset in default clang; do
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset" > /dev/null
done
bin=build/default
clang_bin=build/clang
out=build/benchmark
rm -rf "$out"
mkdir -p "$out/json" "$out/series"

teams=(default 1 2 4 8 32 128)
policies=(unset passive)
rounds=10 runs=20 warmup=5
default_team=$(nproc)

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

# One row per case: policy, team, program, then the median and quartiles of
# all its rounds' run times in milliseconds.
for policy in "${policies[@]}"; do
  for team in "${teams[@]}"; do
    jq -s -r --arg policy "$policy" --arg team "$team" '
      def quantile(p): sort as $s | ((($s | length) - 1) * p) as $i
        | ($i | floor) as $lo | ($i | ceil) as $hi
        | ($s[$lo] + ($s[$hi] - $s[$lo]) * ($i - $lo)) * 1000;
      [.[].results[]] | group_by(.command)[]
      | [.[].times[]] as $t
      | [$policy, $team, .[0].command, ($t | quantile(0.5)), ($t | quantile(0.25)), ($t | quantile(0.75))]
      | @tsv' "$out/json/$policy-$team-"*.json
  done
done > "$out/results.tsv"

# The Markdown table: each program's median against the median of the serial
# build's runs that were measured alongside it (same policy and team).
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
  echo "The default team here is $default_team threads. Times in milliseconds; the spread is the"
  echo "interquartile range."
  echo
  echo "| program | OMP_WAIT_POLICY | team | median | spread | serial build's median | ratio to serial |"
  echo "| --- | --- | --- | ---: | ---: | ---: | ---: |"
  awk -F'\t' '
    $3 == "serial" { serial[$1 "/" $2] = $4; next }
    { row[++rows] = $0 }
    END {
      for (i = 1; i <= rows; i++) {
        split(row[i], f, "\t")
        base = serial[f[1] "/" f[2]]
        team = f[2] == "default" ? "default (" n ")" : f[2]
        printf "| %s | %s | %s | %.2f | %.2f to %.2f | %.2f | %.2f |\n",
          f[3], f[1], team, f[4], f[5], f[6], base, f[4] / base
      }
    }' n="$default_team" "$out/results.tsv"
} > "$out/benchmark.md"

# The chart: median time against team size, one line per program and policy.
for policy in "${policies[@]}"; do
  for program in serial parallel_sum parallel_hello parallel_sum_clang parallel_hello_clang; do
    awk -F'\t' -v p="$policy" -v prog="$program" \
      '$1 == p && $3 == prog && $2 != "default" { print $2, $4, $5, $6 }' \
      "$out/results.tsv" > "$out/series/$program-$policy.dat"
  done
done
gnuplot <<GNUPLOT
set terminal svg size 1150,600 dynamic noenhanced font "sans,12" background "white"
set output "$out/benchmark.svg"
set title "One whole run: median time, bars from the lower to the upper quartile"
set xlabel "team size (OMP_NUM_THREADS)"
set ylabel "milliseconds"
set logscale xy 2
set xrange [0.8:160]
set xtics (1, 2, 4, 8, 32, 128)
set key outside right top font ",10"
set grid
# Colour for the program, dashes for the wait policy.
set style line 1 lc rgb "#1f77b4" lw 2 pt 7
set style line 2 lc rgb "#ff7f0e" lw 2 pt 5
set style line 3 lc rgb "#2ca02c" lw 2 pt 11
set style line 4 lc rgb "#d62728" lw 2 pt 13
set style line 5 lc rgb "#7f7f7f" lw 2 pt 9
name(i) = word("parallel_sum parallel_hello parallel_sum_clang parallel_hello_clang serial", i)
series(i, w) = "$out/series/".name(i)."-".w.".dat"
plot for [i = 1:5] series(i, "unset") using 1:2:3:4 with yerrorlines ls i dt 1 \
    title name(i)." (OMP_WAIT_POLICY unset)", \
  for [i = 1:5] series(i, "passive") using 1:2:3:4 with yerrorlines ls i dt 2 \
    title name(i)." (OMP_WAIT_POLICY passive)"
GNUPLOT

cat "$out/benchmark.md"
