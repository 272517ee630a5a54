"""How the text reports are laid out: lines within a width, tables that
fall back to a line per cell where their columns would not fit, and times
in the unit that keeps them readable."""

import textwrap

from ..report import signal_name

# A time of at least this many µs is given in this unit, to these places.
UNITS = ((1e6, "s", 2), (1e3, "ms", 2), (1, "µs", 1))


def unit(largest):
    """The unit that a time of LARGEST µs, and those beside it, are given
    in: (µs in one, its name, decimal places)."""
    return next((each for each in UNITS if abs(largest) >= each[0]), UNITS[-1])


def duration(time, largest=None):
    """TIME in µs, with its unit: that of LARGEST where the times beside it
    share one, else its own."""
    size, name, places = unit(time if largest is None else largest)
    return f"{time / size:.{places}f} {name}"


def number(time, largest):
    """TIME in µs in the unit of LARGEST, without the unit's name."""
    size, _, places = unit(largest)
    return f"{time / size:.{places}f}"


def with_spread(cell, spread, shown):
    """CELL, with SPREAD (the least and largest over repeated runs, if they
    differ) beside it as SHOWN gives each: 12.30 ms (11.90–12.80); not
    where the two read alike."""
    least, largest = (shown(each) for each in spread) if spread else (None, None)
    if least == largest:
        return cell
    return f"{cell} ({least}–{largest})"


def timed(time, spread, largest=None):
    """TIME in µs as duration() gives it, with its SPREAD in its unit."""
    return with_spread(duration(time, largest), spread,
                       lambda each: number(each, time if largest is None else largest))


def cut(text, width):
    """TEXT, its middle left out where it is wider than WIDTH."""
    if len(text) <= width:
        return text
    half = (width - 1) // 2
    return text[:half] + "…" + text[len(text) - (width - 1 - half):]


def prose(text, width):
    """TEXT, a sentence of the report, on lines of at most WIDTH, the
    lines after the first indented."""
    return textwrap.wrap(text, width, subsequent_indent="    ", break_on_hyphens=False) or [""]


def wrapped(cells, width, indent="  "):
    """CELLS on lines of at most WIDTH, none broken but one wider than a
    line alone."""
    lines, line = [], indent
    pieces = [piece for cell in cells
              for piece in textwrap.wrap(cell, width - len(indent), break_on_hyphens=False)]
    for cell in pieces:
        if line.strip() and len(line) + 2 + len(cell) > width:
            lines.append(line.rstrip())
            line = indent
        line += ("  " if line.strip() else "") + cell
    return lines + [line.rstrip()] if line.strip() else lines


def columns(rows):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in rows]


def stacked(head):
    """HEAD on two lines, split at the space nearest its middle."""
    spaces = [at for at, character in enumerate(head) if character == " "]
    if not spaces:
        return head, ""
    at = min(spaces, key=lambda space: abs(2 * space - len(head)))
    return head[:at], head[at + 1:]


def table(rows, width):
    """ROWS, the first the heads, as columns where they fit in WIDTH, the
    heads on two lines if that makes them fit; else each row on lines of
    its own, a cell "HEAD VALUE" each."""
    heads = rows[0]
    for lines in (columns(rows), columns([*zip(*map(stacked, heads)), *rows[1:]])):
        if max(len(line) for line in lines) <= width:
            return lines
    narrow = []
    for row in rows[1:]:
        cells = [f"{head} {cell}".strip() for head, cell in zip(heads, row)]
        narrow += wrapped(cells[:1], width, "") + wrapped(cells[1:], width)
    return narrow


def outcome(report):
    """How the program ended, as every report ends."""
    if report.signal_number is not None:
        return f"killed by signal {signal_name(report.signal_number)}"
    return f"exit status: {report.exit_status}"
