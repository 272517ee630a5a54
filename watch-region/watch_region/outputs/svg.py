"""The region shown whole, drawn by gnuplot as an SVG picture."""

import os
import shutil
import subprocess
import tempfile

from ..timeline.model import PHASES, stretches


def shown_region(findings):
    """The region the text shows whole: the first process's that has one."""
    shown = next((each["region"] for each in findings.report["processes"] if each["region"]),
                 None)
    if shown is None or not shown["threads"]:
        raise OSError("no region was timed")
    return shown


def render(findings):
    """The region's rows drawn by gnuplot; raises OSError if it cannot."""
    model, title = shown_region(findings), findings.title
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        raise OSError("gnuplot is not installed (Debian package gnuplot-nox)")
    with tempfile.TemporaryDirectory() as work:
        data = os.path.join(work, "stretches.dat")
        with open(data, "w", encoding="ascii") as rows:
            for entry in model["threads"]:
                for phase, start, stop in stretches(entry, model["launch"]):
                    colour = int(PHASES[phase][1][1:], 16)
                    rows.write(f"{entry['thread']} {start} {stop} {colour}\n")
        keys = ", ".join(f'NaN with boxes fc rgb "{colour}" fs solid title "{phase}"'
                         for phase, (_, colour) in PHASES.items())
        height = 140 + 22 * len(model["threads"])
        script = f"""
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
        result = subprocess.run([gnuplot], input=script, text=True, capture_output=True,
                                check=False)
    if result.returncode != 0:
        said = result.stderr.strip().splitlines()
        raise OSError(said[-1] if said else f"gnuplot exited {result.returncode}")
    return result.stdout
