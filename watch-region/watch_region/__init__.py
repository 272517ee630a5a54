"""watch-region: shows what every thread of an OpenMP program's parallel
regions did, under gdb or, with --timeline, with the region tracer
preloaded.

The package, in the order a run goes through it:
  cli        dispatch: the run or runs asked for, the forms written, the
             exit status
  options    the options, their usage errors and the help
  errors     the exit statuses and the errors that carry one
  program    the program to run: found, checked, its OpenMP runtime
  entries    the runtime's entries, from the tracer's entries.def
  mpi_entries  MPI's entries and their kinds, from the tracer's mpi_entries.def
  process    running the program as it would run alone: streams, signals,
             the processes it leaves
  gdb_mode/  the program under gdb: the runner outside gdb (runner), the
             session inside it, what it records (recorder) with the
             breakpoints that see it (breakpoints), x86-64 decoding (x86),
             the program's mapped objects (maps)
  timeline/  the program traced: the run (run) and its folder of traces
             (trace_folder), one trace read (trace) into its lines
             (trace_lines) and table of events (trace_table), the call
             sites and waits it shows
             (model), its regions (regions) and model factors (efficiency);
             the MPI ranks' calls matched (mpi_match), the run replayed over
             them (mpi_replay) and the hybrid factors (mpi), the ranks'
             clocks aligned to rank 0's (clock); repeated runs
             merged into medians and their spread (repeat), a series of
             team sizes with each region's serial fraction (scaling)
  elf        the one ELF reader: segments, dynamic section, symbols, debug links
  ran_on     what a run ran on: the runtime loaded, its settings, the host
  compare/   --compare: two reports read (reading) and compared, with the
             gate's verdict (gate); comparison.schema.json, the JSON's shape
  symbols    call sites named object!function+0xoffset, with file:line
  report     the report every form renders, typed: the run, its processes
             (each mode's) and their call sites, a series' runs and regions; its units
             and signal names, and its JSON (report.schema.json, beside it,
             the JSON's shape)
  collector  Python's cycle collector paused while a stage makes many objects
  outputs/   the forms of the findings, each with render(findings): text
             (with gdb_table, the gdb mode's, series, a --scaling series',
             and chart, factors, gains, where the time goes, and layout),
             json_report, svg (drawn as chart draws a region's rows),
             trace_event; otf2_archive writes the archive that otf2_plan
             plans from otf2_stretches; comparison writes --compare's
"""
