"""The model's factors as a report reads them: their tree, each as a
percentage, coloured on a terminal by how far it falls short (green from
80%, yellow from 60%, red below)."""

from ..timeline.efficiency import FACTORS
from .layout import with_spread

GREEN, YELLOW, RED = "32", "33", "31"


def percent(value):
    """A fraction as a percentage, or '-' where it is not known."""
    return "-" if value is None else f"{100 * value:.1f}%"


def paint(text, value, colour):
    """TEXT in the colour VALUE earns, where COLOUR is on and VALUE known."""
    if not colour or value is None:
        return text
    code = GREEN if value >= 0.8 else YELLOW if value >= 0.6 else RED
    return f"\x1b[{code}m{text}\x1b[0m"


def factor_tree(factors, colour):
    """The factors' lines, a factor's parts indented under it."""
    spread = factors.get("spread") or {}
    rows = [("  " * depth + name, short, factors.get(key), spread.get(key))
            for key, name, depth, short in FACTORS]
    wide = max(len(row[0]) for row in rows)
    return [f"  {name:<{wide}}  {short:<5}  " + with_spread(
        paint(f"{percent(value):>6}", value, colour), span, lambda each: percent(each)[:-1])
            for name, short, value, span in rows]
