"""The region shown whole, or a series of runs' efficiency and speedup
against team size, drawn by gnuplot as an SVG picture."""

import os
import shutil
import subprocess
import tempfile

from .chart import PHASES, stretches
from .factors import FACTORS
from .gains import region_label


def shown_region(findings):
    """The region the text shows whole: the first process's that has one."""
    shown = next((each.region for each in findings.report.processes if each.region),
                 None)
    if shown is None or not shown["threads"]:
        raise OSError("no region was timed")
    return shown


def gnuplot_svg(script_of):
    """The SVG that gnuplot draws from the script SCRIPT_OF(folder) makes,
    given a folder for its data; raises OSError if it cannot."""
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        raise OSError("gnuplot is not installed (Debian package gnuplot-nox)")
    with tempfile.TemporaryDirectory() as work:
        result = subprocess.run([gnuplot], input=script_of(work), text=True,
                                capture_output=True, check=False)
    if result.returncode != 0:
        said = result.stderr.strip().splitlines()
        raise OSError(said[-1] if said else f"gnuplot exited {result.returncode}")
    return result.stdout


def scaling_script(findings, work):
    """Efficiency (each model factor) and speedup against team size, one
    above the other; a value not known is left out of its line."""
    runs = sorted(findings.report.scaling, key=lambda run: run.team)
    if not runs:
        raise OSError("no run of the series ended")
    data = os.path.join(work, "scaling.dat")
    with open(data, "w", encoding="ascii") as rows:
        for run in runs:
            values = [run.speedup] + [run.model_factors.get(key) for key, *_ in FACTORS]
            rows.write(f"{run.team} "
                       + " ".join("-" if value is None else repr(value) for value in values)
                       + "\n")
    factors = ", ".join(f'"{data}" using 1:(100 * ${column}) with linespoints pointtype 7 '
                        f'title "{name} ({short})"'
                        for column, (_, name, _, short) in enumerate(FACTORS, start=3))
    first = findings.report.scaling[0].team
    regions = region_lines(findings.report.scaling_sites or [], work)
    return f"""
set terminal svg size 900,760 dynamic noenhanced font "sans,11" background "white"
set datafile missing "-"
set logscale x 2
set xrange [{runs[0].team / 1.2}:{runs[-1].team * 1.2}]
set xtics ({", ".join(str(run.team) for run in runs)})
set grid
set key outside bottom center horizontal
set lmargin 10
set rmargin 4
set multiplot layout 2,1 title "{findings.title}"
set ylabel "efficiency %"
set yrange [0:105]
plot {factors}
set ylabel "speedup over team size {first}"
set xlabel "team size (OMP_NUM_THREADS)"
set yrange [0:*]
plot "{data}" using 1:2 with linespoints pointtype 7 linewidth 2 title "speedup (the run)", \\
     "{data}" using 1:($1 / {first}) with lines dashtype 2 title "team size / {first}"{regions}
unset multiplot
"""


# The regions drawn beside the run's speedup, those that scale worst.
DRAWN_REGIONS = 6


def region_lines(sites, work):
    """Each region's speedup (those that scale worst first, at most
    DRAWN_REGIONS) as gnuplot's plot clauses, their data in WORK."""
    clauses = []
    for number, site in enumerate(sites[:DRAWN_REGIONS]):
        data = os.path.join(work, f"region{number}.dat")
        with open(data, "w", encoding="ascii") as rows:
            rows.writelines(f"{team} {speedup!r}\n" for team, speedup
                            in sorted(site.speedup.items(), key=lambda item: int(item[0])))
        name = region_label(site.body, site.source, site.site).replace('"', "'")
        clauses.append(f', \\\n     "{data}" using 1:2 with linespoints pointtype 6 '
                       f'title "{name}"')
    return "".join(clauses)


def render(findings):
    """The region's rows, or a series' efficiency and speedup, drawn by
    gnuplot; raises OSError if it cannot."""
    if findings.mode == "scaling":
        return gnuplot_svg(lambda work: scaling_script(findings, work))
    model = shown_region(findings)
    return gnuplot_svg(lambda work: region_script(model, findings.title, work))


def region_script(model, title, work):
    """The region's rows, a box per stretch of each thread."""
    data = os.path.join(work, "stretches.dat")
    with open(data, "w", encoding="ascii") as rows:
        for entry in model["threads"]:
            for phase, start, stop in stretches(entry, model["launch"]):
                colour = int(PHASES[phase][1][1:], 16)
                rows.write(f"{entry['thread']} {start} {stop} {colour}\n")
    keys = ", ".join(f'NaN with boxes fc rgb "{colour}" fs solid title "{phase}"'
                     for phase, (_, colour) in PHASES.items())
    height = 140 + 22 * len(model["threads"])
    return f"""
set terminal svg size 900,{height} dynamic noenhanced font "sans,11" background "white"
set title "{title}"
set xlabel "microseconds since the tracer was loaded"
set ylabel "team thread"
set yrange [{len(model["threads"]) - 0.5}:-0.5]
set ytics 1
set grid xtics
set key outside bottom center horizontal
plot "{data}" using (($2 + $3) / 2):1:(($3 - $2) / 2):(0.35):4 \\
     with boxxyerror fs solid lc rgb variable notitle, {keys}
"""
