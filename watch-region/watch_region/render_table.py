"""The gdb mode's report: the launches, one row per kernel thread of what it
asked the runtime, how often it ran the body and what it added atomically,
and the shared total after the join."""


def table(findings, outcome):
    """The report's lines; OUTCOME says how the program ended."""
    lines = []
    for launch in findings["launches"]:
        data = f"data at {launch['data']}" if launch["data"] else "no data (null)"
        lines.append(f"launch: GOMP_parallel(body {launch['body']}, {data}, "
                     f"num_threads {launch['num_threads']}, flags {launch['flags']})")
    if not findings["launches"]:
        lines.append("no parallel region: GOMP_parallel was never called")
    if findings["threads"]:
        rows = [("thread", "told team size", "team queries, in order", "body runs",
                 "atomic additions")]
        for seen in findings["threads"]:
            rows.append((
                "?" if seen["thread"] is None else str(seen["thread"]),
                "?" if seen["team_size"] is None else str(seen["team_size"]),
                ", ".join(seen["queries"]) or "-",
                str(seen["body_runs"]),
                " ".join(f"+{value}" for value in seen["atomic_additions"]) or "-",
            ))
        widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
        for row in rows:
            lines.append("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    if findings["total_after_join"] is not None:
        lines.append(f"shared total after the join: {findings['total_after_join']}")
    lines.append(f"threads seen: {len(findings['threads'])}; {outcome}")
    return lines
