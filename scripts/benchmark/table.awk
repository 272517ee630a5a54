# Markdown rows from results.tsv: each program's median against the median of
# the serial build's runs measured alongside it (same policy and team).
# Set n to the default team size.
BEGIN { FS = "\t" }
$3 == "serial" { serial[$1 "/" $2] = $4; next }
$3 ~ /_via_env$/ { next }  # the tracer's rows have a table of their own
{ row[++rows] = $0 }
END {
  for (i = 1; i <= rows; i++) {
    split(row[i], f, "\t")
    base = serial[f[1] "/" f[2]]
    team = f[2] == "default" ? "default (" n ")" : f[2]
    printf "| %s | %s | %s | %.2f | %.2f to %.2f | %.2f | %.2f |\n",
      f[3], f[1], team, f[4], f[5], f[6], base, f[4] / base
  }
}
