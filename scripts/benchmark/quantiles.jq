# One tab-separated row per command of hyperfine's JSON exports (slurped):
# policy, team, command, then the median and the quartiles of all its runs'
# times, in milliseconds.
def quantile(p): sort as $s | ((($s | length) - 1) * p) as $i
  | ($i | floor) as $lo | ($i | ceil) as $hi
  | ($s[$lo] + ($s[$hi] - $s[$lo]) * ($i - $lo)) * 1000;
[.[].results[]] | group_by(.command)[]
| [.[].times[]] as $t
| [$policy, $team, .[0].command, ($t | quantile(0.5)), ($t | quantile(0.25)), ($t | quantile(0.75))]
| @tsv
