"""A comparison of two runs (compare/) as text or JSON: first what differs
in what they ran on, which explains the rest, then the run's figures and
each region's, old -> new, and the gate's verdict."""

import json

from ..symbols import short_names
from .factors import FACTORS, percent
from .layout import duration, prose

# The comparison's JSON follows comparison.schema.json, beside report.py.
SCHEMA_VERSION = 1
SHORT = {key: short for key, _, _, short in FACTORS}


def noise(said):
    """Where a change lies against the noise, where the noise is known (the
    first line says where it is not)."""
    if said["noise"] == "unknown":
        return ""
    where = ", outside the noise" if said["outside_noise"] else ", within the noise"
    return where + (" as estimated" if said["noise"] == "estimated" else "")


def change(name, said):
    """NAME's figure SAID, old -> new with its change."""
    def value(number):
        if number is None:
            return "-"
        return duration(number) if name in ("time", "gain") else percent(number)
    text = f"{SHORT.get(name, name.replace('_', ' '))} {value(said['base'])} → " \
           f"{value(said['new'])}"
    if said["change"] is not None:
        text += f" ({said['change']:+.1f}%{noise(said)})"
    return text


def runs(repeat):
    return "single run: noise unknown" if repeat is None else f"{repeat} runs"


def text(comparison, width):
    said = [f"comparing {comparison['base']} ({runs(comparison['repeat']['base'])}) with "
            f"{comparison['new']} ({runs(comparison['repeat']['new'])})"]
    if comparison["differences"]:
        said.append("what differs: " + "; ".join(
            f"{each['what']} {each['base'] or 'unset'} → {each['new'] or 'unset'}"
            for each in comparison["differences"]))
    else:
        said.append("what differs: nothing the reports give (settings, host, CPUs, runtime, "
                    "team sizes)")
    figures = [name for name, figure in comparison["run"].items()
               if figure["base"] is not None or figure["new"] is not None]
    said.append("the run: " + "; ".join(change(name, comparison["run"][name])
                                        for name in figures if name in ("time", "gain")))
    factors = [change(name, comparison["run"][name]) for name in figures if name in SHORT]
    if factors:
        said.append("  factors: " + "; ".join(factors))
    several = len({(row["program"], row["rank"]) for row in comparison["regions"]}) > 1
    # A site told apart from others by its order alone is FUNCTION #N.
    parts = {id(row): row["region"].partition(" #") for row in comparison["regions"]}
    names = short_names(function for function, _, _ in parts.values())
    shown = {}
    for row in comparison["regions"]:
        function, hash_sign, number = parts[id(row)]
        name = shown[id(row)] = (f"{row['program']}: " if several else "") + names[
            function] + hash_sign + number + (f" ({row['source']})" if row["source"] else "")
        if row["presence"] != "both":
            said.append(f"region {name}: {row['presence']}")
            continue
        said.append(f"region {name}: " + "; ".join(change(key, row[key]) for key in
                                                   ("time", "gain", "load_balance")))
    percent_asked = comparison["fail_if_slower"]
    if percent_asked is not None:
        verdict = f"slower by more than {percent_asked:g}%, outside the noise"
        failing = [shown[id(row)] for row in comparison["regions"] if row["slower"]]
        if comparison["slower"][:1] == ["the run"]:
            failing.insert(0, "the run")
        said.append(f"{verdict}: {', '.join(failing)}" if failing else f"nothing {verdict}")
    return "\n".join(line for sentence in said for line in prose(sentence, width)) + "\n"


def json_text(comparison):
    return json.dumps({"schema_version": SCHEMA_VERSION, **comparison}, indent=1) + "\n"
