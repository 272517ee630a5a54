"""The hybrid model factors of the MPI ranks of a run, from their calls
matched (mpi_match.py) and the run replayed over them (mpi_replay.py).

Measure: the marked intervals' wherever every rank's trace has marks (with
MPI and no MPI_Pcontrol, from MPI_Init's return to the call of
MPI_Finalize), else the whole run.

Hybrid factors (the multiplicative model; the MPI part as OTF-CPT, J.
Protze et al., Euro-Par 2022, defines it, so that every factor of either
part is at most 1; docs/watch-region.md says why not POP's, from each
rank's initial thread's time outside MPI):
- whole: every rank's counted threads' useful time (as for one process),
  over the longest rank's interval, with the replayed ideal run time;
- MPI: load balance over each rank's busiest thread's useful time;
  serialisation efficiency the longest rank's own ideal run time (its
  threads' edges alone) over the run's; transfer efficiency the run's over
  the run's ideal run time with only OpenMP's waits zero: the same replay
  with a thread's clock its ideal clock plus its time in MPI calls so far
  (when marked, inside the spans that its MPI_Pcontrol calls set, else the
  span from MPI_Init's return to MPI_Finalize's call);
- OpenMP: each factor of the whole over the same factor of the MPI part.
"""

from ..collector import paused
from ..report import microseconds
from .efficiency import FACTOR_KEYS, counted_useful, efficiency
from .mpi_match import Rank, match, rank_traces
from .mpi_replay import Flow, in_mpi, replay


def bounded(low, value, high):
    return min(max(low, value), max(low, high))


def hybrid_factors(traces):
    """The run's hybrid model factors over the traces of MPI ranks, and an
    account of the matching and replay; None without a rank of format 4's
    model lines."""
    with paused():
        return replayed(traces)


def replayed(traces):
    """hybrid_factors's work."""
    ranked = {number: trace for number, trace in rank_traces(traces).items()
              if trace.interval is not None}
    if not ranked:
        return None, None
    marked = all(trace.interval[2] > 0 for trace in ranked.values())
    ranks = {number: Rank(trace, marked) for number, trace in ranked.items()}
    edges, counts = match(ranks)
    column = 1 if marked else 0

    def ideal_of(used):
        return used.ideal_marked if marked else used.ideal_all
    counted = {number: counted_useful(rank.trace, marked) for number, rank in ranks.items()}
    own_ideal = {number: max(map(ideal_of, rank.trace.useful), default=0)
                 for number, rank in ranks.items()}
    flow = Flow(ranks, edges)
    entries = [call[7 + column] for call in flow.calls]
    exits = [call[9 + column] for call in flow.calls]
    ideal = replay(flow, entries, exits, own_ideal.get)
    interval = max(rank.trace.interval[column] for rank in ranks.values())
    # The run with every OpenMP wait zero and MPI's time as it was: a
    # thread's ideal clock plus its time in MPI so far, over the same edges.
    before, own = [], []
    for number in flow.numbers:
        spent = in_mpi(ranks[number])
        before.extend(spent[0])
        own.extend(spent[1])

    def initial_last(number):
        rank = ranks[number]
        initial = [ideal_of(used) for used in rank.trace.useful if used.initial]
        return max(own_ideal[number], (initial[0] if initial else 0)
                   + (rank.trace.mpi_time or (0, 0))[column])
    outside_openmp = replay(flow, [entry + spent for entry, spent in zip(entries, before)],
                            [end + spent + inside for end, spent, inside
                             in zip(exits, before, own)], initial_last)
    # At least the ideal run time by construction; at most the run but for
    # the clock's rounding, and held there.
    outside_openmp = bounded(ideal, outside_openmp, interval)
    useful = [thread["useful"] for number in sorted(counted)
              for thread in counted[number]["useful"]]
    busiest = {number: max((thread["useful"] for thread in counted[number]["useful"]),
                           default=0) for number in ranks}
    interval, ideal, outside_openmp, rank_ideal = (
        microseconds(each) for each in (interval, ideal, outside_openmp, max(own_ideal.values())))
    whole = efficiency(useful, interval, ideal)
    mpi, openmp = split(whole, busiest, rank_ideal, ideal, outside_openmp, interval)
    account = {"ranks": sorted(ranks), "size": max(rank.size for rank in ranks.values()),
               "marked": marked, "interval": interval, "ideal_run_time": ideal,
               "rank_ideal_run_time": rank_ideal,
               "outside_openmp_ideal_run_time": outside_openmp,
               "useful": [busiest[number] for number in sorted(busiest)],
               "calls_left_out": sum(rank.trace.mpi_calls_left_out for rank in ranks.values()),
               **counts}
    return {**whole, "mpi": mpi, "openmp": openmp}, account


def split(whole, busiest, rank_ideal, ideal, outside_openmp, interval):
    """The MPI and OpenMP parts of the WHOLE's factors: BUSIEST each rank's
    busiest thread's useful time, RANK_IDEAL the longest rank's own ideal
    run time (its threads' edges only), IDEAL the run's, OUTSIDE_OPENMP the
    run's with OpenMP's waits zero, INTERVAL the run's; in µs. Each part's
    factor is at most 1, and whole = MPI x OpenMP factor by factor."""
    most = max(busiest.values(), default=0)

    def ratio(part, of):
        return part / of if of else None
    balance = ratio(sum(busiest.values()) / len(busiest), most) if busiest else None
    mpi = {"load_balance": balance, "serialisation_efficiency": ratio(rank_ideal, ideal),
           "transfer_efficiency": ratio(ideal, outside_openmp)}
    openmp = {"load_balance": ratio(whole["load_balance"], balance)
              if whole["load_balance"] is not None else None,
              "serialisation_efficiency": ratio(most, rank_ideal),
              "transfer_efficiency": ratio(outside_openmp, interval)}
    for part in (mpi, openmp):
        ser, transfer = part["serialisation_efficiency"], part["transfer_efficiency"]
        part["communication_efficiency"] = None if None in (ser, transfer) else ser * transfer
        part["parallel_efficiency"] = None if None in (
            part["load_balance"], part["communication_efficiency"]) \
            else part["load_balance"] * part["communication_efficiency"]
    return ({key: mpi[key] for key in FACTOR_KEYS}, {key: openmp[key] for key in FACTOR_KEYS})
