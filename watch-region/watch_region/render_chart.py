"""The timeline on a terminal: one row per team thread on a common axis from
the launch to its return, the table of each thread's moments, and the run's
phases."""

from .model import PHASES, stretches


def chart(model, width=64):
    begin, end = model["launch"], model["launch_return"]
    scale = width / max(end - begin, 1e-9)
    lines = [f"region: launched at {begin:.0f} µs, returned at {end:.0f} µs; "
             f"{model['threads_created']} threads created in it",
             " " * 11 + f"|{'launch':<{width - 6}}return|"]
    for entry in model["threads"]:
        row = [" "] * width
        for phase, start, stop in stretches(entry, model["launch"]):
            first = max(0, min(width - 1, int((start - begin) * scale)))
            last = max(first, min(width - 1, int((stop - begin) * scale) - 1))
            for column in range(first, last + 1):
                row[column] = PHASES[phase][0]
        lines.append(f"thread {entry['thread']:<4}|{''.join(row)}|")
    lines.append("  " + "   ".join(f"{mark} {phase}" for phase, (mark, _) in PHASES.items()))
    lines.append("")
    header = ("thread", "created by", "pthread_create µs", "first instruction", "body start",
              "body end", "joined")
    rows = [header]
    for entry in model["threads"]:
        def at(key):
            return "-" if entry.get(key) is None else f"{entry[key]:.1f}"
        took = ("-" if entry.get("create_return") is None
                else f"{entry['create_return'] - entry['create_call']:.1f}")
        rows.append((str(entry["thread"]), entry.get("created_by") or "-", took,
                     at("first_instruction"), at("body_start"), at("body_end"), at("join")))
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    lines += ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in rows]
    lines.append("")
    lines.append("run phases, µs: " + ", ".join(f"{name} {time:.1f}"
                                                for name, time in model["phases"].items()))
    return "\n".join(lines) + "\n"
