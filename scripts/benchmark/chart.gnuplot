# Median time against team size, one line per program and wait policy, from
# the series files that benchmark.sh writes. Call with -e "out='FOLDER'".
set terminal svg size 1150,600 dynamic noenhanced font "sans,12" background "white"
set output out."/benchmark.svg"
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
series(i, w) = out."/series/".name(i)."-".w.".dat"
plot for [i = 1:5] series(i, "unset") using 1:2:3:4 with yerrorlines ls i dt 1 \
    title name(i)." (OMP_WAIT_POLICY unset)", \
  for [i = 1:5] series(i, "passive") using 1:2:3:4 with yerrorlines ls i dt 2 \
    title name(i)." (OMP_WAIT_POLICY passive)"
