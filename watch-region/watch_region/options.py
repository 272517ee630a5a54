"""watch-region's options: what each means, the combinations that are usage
errors, and the help that lists them with the exit statuses."""

import argparse

from .errors import CANNOT_WATCH, NOT_EXECUTABLE, NOT_FOUND, USAGE, WRITE_ERROR

NAME = "watch-region"
# The tracer's table of events holds at most this many.
MAX_EVENTS = 1 << 18

EPILOG = f"""\
The program's standard input, output and error are the caller's; the report
goes to standard error (to standard output with --merge, where no program
runs), or to FILE with -o. A --trace, --svg or --otf2 path that could not be
written is refused before the program starts.

exit status:
  the program's own exit status, or 128+N when signal N killed it;
  {WRITE_ERROR}    the report could not be written
  {USAGE}    usage error
  {CANNOT_WATCH}  the run could not be watched: gdb or the tracer is missing or
       failed, or (under gdb) the program or this machine is not x86-64 ELF
  {NOT_EXECUTABLE}  PROGRAM is a directory or not executable
  {NOT_FOUND}  PROGRAM is not found (a name without a slash is looked up on PATH)
  128+N  watch-region itself was stopped by signal N (SIGINT, SIGTERM or
       SIGHUP); what it started is ended first
  with --timeline, 1 also when the --trace or --svg file or the --otf2
       archive cannot be written (before the run where it can be told)
  with --scaling or --repeat, the status of the last run, unless a run
       failed (exited other than 0, or was killed): then the first failed run's
  with --compare, 0, or 1 when --fail-if-slower's gate fails; 2 also for a
       report that cannot be read

See watch-region(1)."""


def team_sizes(text):
    """--scaling's list: team sizes of at least 1, each once."""
    sizes = [each.strip() for each in text.split(",")]
    if not all(each.isascii() and each.isdigit() and int(each) >= 1 for each in sizes):
        raise argparse.ArgumentTypeError(f"'{text}': team sizes are numbers from 1, "
                                         "separated by commas")
    sizes = [int(each) for each in sizes]
    if len(set(sizes)) != len(sizes):
        raise argparse.ArgumentTypeError(f"'{text}': a team size is given twice")
    return sizes


def percentage(text):
    """--fail-if-slower's PCT: a number from 0."""
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"'{text}': a percentage is a number from 0")
    return value


def check_compare(parser, options):
    """--compare runs nothing: it takes --fail-if-slower, --json and -o only."""
    if options.compare is None:
        if options.fail_if_slower is not None:
            parser.error("--fail-if-slower goes with --compare")
        return
    if (options.program is not None or options.timeline or options.merge or options.team
            or options.scaling or options.trace or options.svg or options.otf2 or options.tracer
            or options.region is not None or options.trace_dir or options.add or options.run_id
            or options.keep is not None or options.events is not None):
        parser.error("--compare runs nothing: it takes --fail-if-slower, --json and -o only")


def parse_arguments(version):
    parser = argparse.ArgumentParser(
        prog=NAME, epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter,
        usage="%(prog)s [options] PROGRAM [ARG...]\n       %(prog)s --merge DIR [options]\n"
              "       %(prog)s --compare BASE.json NEW.json [--fail-if-slower PCT] [--json] "
              "[-o FILE]",
        description="Run PROGRAM once and show what its OpenMP parallel regions did: under gdb, "
        "or with --timeline at full speed with the region tracer.")
    parser.add_argument("--team", type=int, metavar="N",
                        help="run with OMP_NUM_THREADS=N; else the environment's as it is")
    parser.add_argument("--scaling", type=team_sizes, metavar="N,N,...",
                        help="with --timeline: run once per team size (OMP_NUM_THREADS), and "
                             "show the run time, speedup over the first and model factors of "
                             "each; --svg draws them")
    parser.add_argument("--repeat", type=int, metavar="N",
                        help="with --timeline (and with --scaling at each team size): run N "
                             "times, and give each figure as its median with its least and "
                             "largest; --trace, --otf2, --svg and --region take the median run")
    parser.add_argument("--json", action="store_true", help="write the findings as JSON")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write the report to FILE, not to standard error")
    parser.add_argument("--timeline", action="store_true",
                        help="run at full speed with the region tracer in every process of the "
                             "run, and show every team it started and one region whole")
    parser.add_argument("--trace", metavar="FILE.json",
                        help="with --timeline: also write the Trace Event Format (Perfetto)")
    parser.add_argument("--svg", metavar="FILE.svg",
                        help="with --timeline: also draw the region shown with gnuplot")
    parser.add_argument("--otf2", metavar="DIR",
                        help="with --timeline: also write the run as an OTF2 archive, "
                             "DIR/traces.otf2 (DIR made if need be; python3-otf2)")
    parser.add_argument("--region", type=int, metavar="N",
                        help="with --timeline: show region N (numbered in launch order) rather "
                             "than the slowest")
    parser.add_argument("--trace-dir", metavar="DIR",
                        help="with --timeline: keep each process's trace in DIR (made if need "
                             "be), which may be shared by the nodes of a run")
    parser.add_argument("--add", action="store_true",
                        help="with --trace-dir: add this run's traces to a folder that holds "
                             "another run's")
    parser.add_argument("--run-id", metavar="ID",
                        help="with --trace-dir: the run's identity, shared by the watch-regions "
                             "that trace one job's ranks into one folder (default: the job's, "
                             "from the launcher's environment)")
    parser.add_argument("--merge", metavar="DIR",
                        help="report on the traces in DIR, left by --trace-dir; run nothing")
    parser.add_argument("--compare", nargs=2, metavar=("BASE.json", "NEW.json"),
                        help="compare two --json reports of --timeline runs: what differs in "
                             "what they ran on, the run's and each region's time, gain and "
                             "factors; run nothing")
    parser.add_argument("--fail-if-slower", type=percentage, metavar="PCT",
                        help="with --compare: exit with status 1 when the run or a region is "
                             "slower by more than PCT percent, outside the noise")
    parser.add_argument("--keep", choices=("first", "last", "slowest"),
                        help="with --timeline, when the tracer's table of events fills: keep the "
                             "first events (the default), the last, or the slowest regions whole")
    parser.add_argument("--events", type=int, metavar="N",
                        help=f"with --timeline: the table's size, at most {MAX_EVENTS} events "
                             "(the default)")
    parser.add_argument("--tracer", metavar="LIB",
                        help="with --timeline: the tracer library (default: the one installed "
                             "with watch-region)")
    parser.add_argument("--version", action="version", version=f"{NAME} (fork-join) {version}")
    parser.add_argument("program", metavar="PROGRAM", nargs="?",
                        help="the program; a name without a slash is looked up on PATH")
    parser.add_argument("args", metavar="ARG", nargs=argparse.REMAINDER,
                        help="the program's arguments")
    options = parser.parse_args()
    check_compare(parser, options)
    if options.compare is not None:
        return parser, options
    if options.merge is not None:
        if (options.program is not None or options.trace_dir or options.team or options.tracer
                or options.scaling or options.repeat is not None):
            parser.error("--merge takes no PROGRAM, --trace-dir, --team, --scaling, --repeat or "
                         "--tracer")
        options.timeline = True
    elif options.program is None:
        parser.error("PROGRAM is missing")
    if options.team is not None and options.team < 1:
        parser.error("--team must be at least 1")
    if options.repeat is not None and options.repeat < 1:
        parser.error("--repeat must be at least 1")
    if options.repeat is not None and options.trace_dir:
        parser.error("--repeat takes no --trace-dir: a folder holds one run")
    if options.events is not None and not 1 <= options.events <= MAX_EVENTS:
        parser.error(f"--events must be from 1 to {MAX_EVENTS}")
    if not options.timeline and (options.trace or options.svg or options.otf2 or options.tracer
                                 or options.region is not None or options.trace_dir
                                 or options.keep is not None or options.events is not None
                                 or options.scaling or options.repeat is not None):
        parser.error("--trace, --svg, --otf2, --tracer, --region, --trace-dir, --keep, --events, "
                     "--scaling and --repeat go with --timeline")
    if (options.add or options.run_id) and not options.trace_dir:
        parser.error("--add and --run-id go with --trace-dir")
    if options.scaling and (options.team is not None or options.trace or options.otf2
                            or options.region is not None or options.trace_dir):
        parser.error("--scaling takes no --team, --merge, --trace, --otf2, --region or "
                     "--trace-dir")
    if options.region is not None and options.region < 1:
        parser.error("--region must be at least 1")
    return parser, options
