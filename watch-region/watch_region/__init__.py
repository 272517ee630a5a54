"""watch-region: shows what every thread of an OpenMP program's parallel
region did, under gdb or, with --timeline, with the region tracer preloaded.

The modules, by role:
  cli           the command line, the report it prints, its exit status
  errors        the exit statuses and the errors that carry one
  program       the program to watch: found, checked, its OpenMP runtime
  process       running the program (under gdb or traced) and its streams
  gdb_side      runs inside gdb's Python: the breakpoints and what they see
  trace         reads the tracer's trace file
  model         the regions and threads a trace shows, and their phases
  render_table  the gdb mode's table
  render_chart  the timeline as a terminal chart and tables
  render_trace  the timeline in the Trace Event Format (Perfetto)
  render_svg    the timeline drawn by gnuplot
"""
