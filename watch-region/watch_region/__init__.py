"""watch-region: shows what every thread of an OpenMP program's parallel
regions did, under gdb or, with --timeline, with the region tracer
preloaded.

The package, in the order a run goes through it:
  cli        options and dispatch, the exit status
  errors     the exit statuses and the errors that carry one
  program    the program to run: found, checked, its OpenMP runtime
  entries    the runtime's entries, from the tracer's entries.def
  process    running the program as it would run alone: streams, signals,
             the processes it leaves
  gdb_mode/  the program under gdb: the runner outside gdb, the session and
             recorder inside it, x86-64 decoding, its table
  timeline/  the program traced: the run and its folder of traces (run), one
             trace read (trace), the regions and call sites it shows (model)
  elf        the one ELF reader: segments, dynamic section, symbols, debug links
  symbols    call sites named object!function+0xoffset, with file:line
  collector  Python's cycle collector paused while a stage makes many objects
  outputs/   the forms of the findings, each with render(findings): text
             (and its chart), json_report, svg, trace_event; otf2_archive
             writes the archive that otf2_plan plans from otf2_stretches
"""
