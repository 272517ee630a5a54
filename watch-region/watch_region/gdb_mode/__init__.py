"""watch-region's gdb mode: the program runs once under gdb, whose Python
(session, recorder, x86, maps) records what its parallel regions did; the
caller's side (runner) starts gdb and names the call sites, and table
renders the report."""
