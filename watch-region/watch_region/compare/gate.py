"""Two runs compared: what differs in what they ran on, each figure of the
run and of every region old -> new with its change in percent and whether
the change lies outside the noise, and the gate's verdict.

Whether a change lies outside the noise, where NOISE says what is known:
  known      both reports give the figure's spread: outside when the two
             spreads do not overlap;
  estimated  one report gives it, the other is one run: that run's spread
             is taken as wide, relative to its value, as the other's, and
             then as above, so that the gate does not fail a run on noise
             that one report shows and the other cannot;
  unknown    neither gives it (two single runs): every change counts.
The gate (--fail-if-slower PCT) fails when the run or a region takes more
than PCT percent longer and that change lies outside the noise."""

from .reading import FACTOR_NAMES, region_name

# The statuses of --compare: the gate passed (or was not asked for), or
# failed; a report that cannot be read is a usage error.
PASSED, FAILED = 0, 1


def scaled(spread, value, to):
    """SPREAD of VALUE, as wide relative to TO."""
    if not value:
        return [to, to]
    return [to * spread[0] / value, to * spread[1] / value]


def judged(base, new):
    """The figures BASE and NEW (reading.Figure or None) compared: their
    values and spreads, the change in percent and whether it lies outside
    the noise (None where either is missing)."""
    said = {"base": base and base.value, "new": new and new.value, "change": None,
            "base_spread": base and base.spread, "new_spread": new and new.spread,
            "noise": None, "outside_noise": None}
    if base is None or new is None:
        return said
    if base.value:
        said["change"] = (new.value - base.value) / abs(base.value) * 100
    low, high = base.spread, new.spread
    if low is None and high is None:
        said.update(noise="unknown", outside_noise=True)
        return said
    said["noise"] = "known" if low is not None and high is not None else "estimated"
    low = low or scaled(high, new.value, base.value)
    high = high or scaled(low, base.value, new.value)
    said["outside_noise"] = high[0] > low[1] or high[1] < low[0]
    return said


def slower(said, percent):
    """Whether a time SAID (judged()) fails the gate at PERCENT."""
    return (percent is not None and said["change"] is not None and said["change"] > percent
            and bool(said["outside_noise"]))


def shown(value):
    if isinstance(value, dict):
        name, path = value.get("name"), value.get("path") or ""
        build_id = value.get("build_id")
        return " ".join(str(part) for part in (name, path, build_id and f"build id {build_id}")
                        if part)
    return None if value is None else str(value)


def differences(base, new):
    """What differs in what the runs ran on, each once: the runtime's
    settings, the host, each program's runtime and largest team."""
    found = []

    def differ(what, old, now):
        old, now = shown(old), shown(now)
        if old != now and (what, old, now) not in found:
            found.append((what, old, now))

    if base["environment"] is not None and new["environment"] is not None:
        for name in sorted(set(base["environment"]) | set(new["environment"])):
            differ(name, base["environment"].get(name), new["environment"].get(name))
    if base["host"] is not None and new["host"] is not None:
        for what, value in base["host"].items():
            differ(what, value, new["host"][what])
    for key, process in base["processes"].items():
        other = new["processes"].get(key)
        if other is None:
            continue
        if process["runtime"] is not None and other["runtime"] is not None:
            differ("runtime", process["runtime"], other["runtime"])
        teams = [max(filter(None, (region["team"] for region in each["regions"].values())),
                     default=None) for each in (process, other)]
        differ(f"team size ({key[0]})", *teams)
    return [{"what": what, "base": old, "new": now} for what, old, now in found]


def paired(before, after):
    """The region of AFTER that each of BEFORE is (a dict of their keys): by
    key, else by the call sites it launches from, where only one region
    of each side has those: one whose body one runtime names and the other
    does not (libomp)."""
    pairs = {key: key for key in before if key in after}

    def alone(regions, taken):
        by_sites = {}
        for key, region in regions.items():
            if key not in taken:
                by_sites.setdefault(region["sites"], []).append(key)
        return {sites: keys[0] for sites, keys in by_sites.items() if len(keys) == 1}
    old, new = alone(before, pairs), alone(after, set(pairs.values()))
    pairs.update((old[sites], new[sites]) for sites in old.keys() & new.keys()
                 if old[sites][0] != new[sites][0])
    return pairs


def region_rows(base, new, percent):
    """Every region of either run: matched, new or gone, with its figures."""
    rows = []
    for key in list(base["processes"]) + [key for key in new["processes"]
                                          if key not in base["processes"]]:
        before = base["processes"].get(key, {"regions": {}})["regions"]
        after = new["processes"].get(key, {"regions": {}})["regions"]
        pairs = paired(before, after)
        matched = set(pairs.values())
        for old_key, new_key in [*((each, pairs.get(each)) for each in before),
                                 *((None, each) for each in after if each not in matched)]:
            old, now = before.get(old_key), after.get(new_key)
            # Named by its body where either run knows it.
            region = max(filter(None, (old_key, new_key)), key=lambda each: each[0] == "body")
            row = {"program": key[0], "rank": key[1], "region": region[1] or "?",
                   "named_by": region[0], "source": region[2],
                   "presence": "both" if old and now else "gone" if old else "new"}
            for name in ("time", "gain", "load_balance"):
                row[name] = judged(old and old[name], now and now[name])
            row["slower"] = slower(row["time"], percent)
            rows.append(row)
    return rows


def compared(base, new, percent=None):
    """The comparison of the summaries BASE and NEW (reading.summary), and
    its status: FAILED where the gate at PERCENT fails."""
    run = {name: judged(base["run"][name], new["run"][name])
           for name in ("time", "gain", *FACTOR_NAMES)}
    regions = region_rows(base, new, percent)
    several = len({(row["program"], row["rank"]) for row in regions}) > 1
    failing = (["the run"] if slower(run["time"], percent) else []) + [
        (f"{row['program']}: " if several else "") + region_name(
            (row["named_by"], row["region"], row["source"])) for row in regions if row["slower"]]
    return {"repeat": {"base": base["repeat"], "new": new["repeat"]},
            "fail_if_slower": percent, "differences": differences(base, new), "run": run,
            "regions": regions, "slower": failing,
            "status": FAILED if failing else PASSED}
