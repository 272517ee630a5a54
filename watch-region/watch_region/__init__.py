"""watch-region: shows what every thread of an OpenMP program's parallel
regions did, under gdb or, with --timeline, with the region tracer
preloaded.

The package, in the order a run goes through it:
  cli        options and dispatch, the exit status
  errors     the exit statuses and the errors that carry one
  program    the program to run: found, checked, its OpenMP runtime
  entries    the runtime's entries, from the tracer's entries.def
  mpi_entries  MPI's entries and their kinds, from the tracer's mpi_entries.def
  process    running the program as it would run alone: streams, signals,
             the processes it leaves
  gdb_mode/  the program under gdb: the runner outside gdb (runner), the
             session and recorder inside it, x86-64 decoding (x86), the
             program's mapped objects (maps)
  timeline/  the program traced: the run (run) and its folder of traces
             (trace_folder), one trace read (trace), the regions and call
             sites it shows (model), the MPI ranks' matching, replay and
             factors (mpi)
  elf        the one ELF reader: segments, dynamic section, symbols, debug links
  symbols    call sites named object!function+0xoffset, with file:line
  collector  Python's cycle collector paused while a stage makes many objects
  outputs/   the forms of the findings, each with render(findings): text
             (with gdb_table, the gdb mode's, and chart, factors and layout),
             json_report, svg, trace_event; otf2_archive writes the archive
             that otf2_plan plans from otf2_stretches
"""
