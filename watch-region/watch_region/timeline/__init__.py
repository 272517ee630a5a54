"""The timeline: the program run with the region tracer preloaded into every
process (run), each process's trace read (trace), and what it shows
(model)."""
