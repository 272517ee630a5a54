"""Where a process's time goes, as the text says it: its regions (the call
sites that run one body, each named by its body, or a site alone where the
body is not known), the largest gains first, each a sentence that names the
cause that weighs most and what shows it; and the waits where a thread kept
the others waiting, ranked with them by the delay it caused."""

import os
import re

from ..symbols import short_names
from .layout import duration, prose

SHOWN = 5
# GCC's name for a body outlined from FUNCTION, and its C++ form demangled.
OUTLINED = re.compile(r"(\._omp_fn\.\d+| \[clone \._omp_fn\.\d+\])$")
CAUSES = ("imbalance", "serialisation", "transfer")


def body_key(site):
    """What groups SITE with the others that run its body: the body, or the
    site itself where the body is not known."""
    return ("body", site.body) if site.body else ("site", site.site)


def by_body(sites):
    """SITES grouped by body: lists, in the order of their first site."""
    groups = {}
    for site in sites:
        groups.setdefault(body_key(site), []).append(site)
    return list(groups.values())


def region_name(sites):
    """A group's name: the function its body was outlined from (for GCC's
    outlined bodies) or the body, with its source file and line; a body of
    no symbol with the function that launched it; a site of no known body by
    its own name."""
    first = sites[0]
    return region_label(first.body, first.body_source, first.site, first.function)


def region_label(body, source, site, function=None):
    """A region's name: its BODY's (see region_name) with its SOURCE line,
    a body of no symbol with the FUNCTION that launched it, or the call SITE
    where the body is not known."""
    if not body:
        return site
    if "!@0x" in body and function:  # a body of no symbol: said by its launcher
        return f"{body} (from {short_names([function])[function]})"
    name = OUTLINED.sub("", body)
    return f"{name} ({os.path.basename(source)})" if source else name


def cause_detail(cause, site, gain):
    """What shows CAUSE at SITE (the group's largest gain), a launch's
    worth."""
    launches = site.launches or 1
    ideal = site.time - gain["transfer"]
    if cause == "imbalance" and site.slowest_thread and site.useful:
        slowest, mean = site.slowest_thread, site.useful["mean"]
        if slowest["useful"] - mean >= gain["imbalance"] / 2:
            return (f"thread {slowest['thread']} works {duration(slowest['useful'] / launches)} "
                    f"a launch, the mean {duration(mean / launches)}")
        # Each launch's slowest thread is another: no one thread is behind it.
        return (f"a launch's slowest thread works {duration((mean + gain['imbalance']) / launches)}"
                f", the mean {duration(mean / launches)}; which thread varies (thread "
                f"{slowest['thread']}: {duration(slowest['useful'] / launches)} a launch)")
    if cause == "serialisation":
        return (f"its chain of turns takes {duration(ideal / launches)} a launch, its slowest "
                f"thread's work {duration((ideal - gain['serialisation']) / launches)}")
    return (f"{duration(site.time / launches)} a launch, of which the threads' work "
            f"{duration(ideal / launches)}; the rest is fork, join and the runtime")


def late_sentences(model):
    """(delay, sentence) for each wait site where a thread kept the others
    waiting: the one who caused the most."""
    said = []
    for wait in model.sync:
        late = wait.get("late")
        if not late or late[0]["delay"] <= 0:
            continue
        first, instances = late[0], sum(each["count"] for each in late)
        where = (f"in {OUTLINED.sub('', wait['function'])}" if wait.get("function")
                 else f"at {wait['site']}")
        source = f" ({os.path.basename(wait['source'])})" if wait.get("source") else ""
        who = ("other threads" if first["thread"] == "other"
               else f"thread {first['thread']}")
        did, waiting = (("arrived last", "the others") if wait["kind"] == "barrier"
                        else ("ran the last task", "the waiting thread"))
        said.append((first["delay"], f"{wait['kind']} {where}{source}: {who} {did} "
                     f"{'once' if first['count'] == 1 else str(first['count']) + ' times'} of "
                     f"{instances}; {waiting} waited "
                     f"{duration(first['delay'])} for it"))
    return said


def counted(numbers):
    """NUMBERS said as a list, 1, 2 and 3, or as their range where a list
    would be long."""
    words = [str(number) for number in numbers]
    if len(words) > 8:
        return f"{min(numbers)} to {max(numbers)} each"
    return " and ".join(words) if len(words) < 3 else ", ".join(words[:-1]) + " and " + words[-1]


def loop_line(model, gains):
    """The loop handed out at run time that took the most chunks, with its
    region's gain (GAINS by body_key) as the order it is said in: how many
    chunks of what size, and how many each thread took; None for a run with
    none."""
    loops = [(loop, site) for site in model.call_sites for loop in site.loops or []
             if sum(loop["chunks"])]
    if not loops:
        return None
    loop, site = max(loops, key=lambda pair: sum(pair[0]["chunks"]))
    threads = len(loop["chunks"])
    chunk = loop["resolved"]["chunk"] if loop["resolved"] else loop["chunk"]
    return (gains.get(body_key(site), 0.0),
            f"{loop['schedule']} loop in {region_name([site])}: {sum(loop['chunks'])} chunks of "
            f"{chunk}, threads "
            f"{'0' if threads == 1 else f'0-{threads - 1}'} took {counted(loop['chunks'])}")


def where_lines(model, width):
    """At most SHOWN sentences, the largest gains and delays first, the
    largest loop handed out at run time after its region's; none where no
    site has a gain or a delay and no such loop ran."""
    said, gained = late_sentences(model), {}
    for sites in by_body(site for site in model.call_sites if site.gain):
        gains = {key: sum(site.gain[key] for site in sites) for key in ("total", *CAUSES)}
        gained[body_key(sites[0])] = gains["total"]
        if gains["total"] <= 0:
            continue
        cause = max(CAUSES, key=lambda key: gains[key])
        largest = max(sites, key=lambda site: site.gain["total"])
        time = sum(site.time for site in sites)
        said.append((gains["total"], f"{region_name(sites)}: {duration(gains['total'])} of "
                     f"{duration(time)} lost, {100 * gains[cause] / gains['total']:.0f}% of it "
                     f"{cause}: {cause_detail(cause, largest, largest.gain)}"))
    said.sort(key=lambda gained: -gained[0])
    loop = loop_line(model, gained)
    if loop:  # in its region's place, and the last of the lines shown if not among them
        said.insert(min(next((at for at, (gain, _) in enumerate(said) if gain < loop[0]),
                             len(said)), SHOWN - 1), loop)
    if not said:
        return []
    return ["where the time goes:"] + [line for _, sentence in said[:SHOWN]
                                       for line in prose("  " + sentence, width)]
