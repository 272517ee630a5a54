// The completion calls (MPI_Wait, MPI_Test and their all, any and some
// forms): each receive and nonblocking collective they complete logged, the
// receives with the source and tag their status gives.
#include "mpi_abi.h"

#include <algorithm>
#include <array>

namespace tracer::mpi {

namespace {

// The requests given, as they were before the call, and statuses to read
// back when the program ignores its own. Left as they are on the stack,
// not cleared: only the first COUNT requests are read, and a status only
// once the call has written it.
constexpr int max_tracked = 256;
// NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): left uncleared on purpose
struct Before {
    std::array<MPI_Request, max_tracked> requests;
    std::array<MPI_Status, max_tracked> statuses;
    int count = 0;
};

// The statuses a completion is given: the program's own, PROGRAM, which
// may be IGNORE, and how many the call writes, WANTED (1: a single status).
struct Statuses {
    MPI_Status *program;
    MPI_Status *ignore;
    int wanted;
};

// A completion of COUNT REQUESTS, whose real entry was FOUND or not:
// CALL(statuses) makes the real call with the program's statuses or, where
// it ignores them and they fit, the wrapper's own; then, unless they are
// ignored still, COMPLETED(statuses, log) calls log(index, status) for each
// request that the call's results say it completed, and each receive and
// collective among them is logged.
template <typename Call, typename Completed>
int complete(const void *site, const char *function, bool found, int count,
             const MPI_Request *requests, const Statuses &statuses, Call call, Completed completed)
{
    if (!found) {
        return MPI_ERR_OTHER;
    }
    Before before;
    before.count = std::clamp(count, 0, max_tracked);
    std::copy_n(requests, before.count, before.requests.begin());
    MPI_Status *given = statuses.program == statuses.ignore && statuses.wanted <= max_tracked
                            ? before.statuses.data()
                            : statuses.program;
    const Started started = begin_call(function);
    const int result = call(given);
    if (given != statuses.ignore) {
        // One time for all the requests completed, read at the first.
        std::int64_t exit = 0;
        bool timed = false;
        completed(given, [&](int index, const MPI_Status &status) {
            if (index < 0 || index >= before.count) {
                return;
            }
            if (!timed) {
                exit = now();
                timed = true;
            }
            log_completed(started, exit, word(before.requests[static_cast<std::size_t>(index)]),
                          status.MPI_SOURCE, status.MPI_TAG);
        });
    }
    end_call(started, site);
    return result;
}

// Each of the first COUNT requests, where the call completed all.
auto every(int count, const int *flag = nullptr)
{
    return [count, flag](const MPI_Status *given, auto log) {
        for (int index = 0; (flag == nullptr || *flag != 0) && index < std::min(count, max_tracked);
             ++index) {
            // NOLINTNEXTLINE(*-pointer-arithmetic): an array of the count given
            log(index, given[index]);
        }
    };
}

// The request at INDEX, where the call completed one.
auto one(const int *index, const int *flag = nullptr)
{
    return [index, flag](const MPI_Status *given, auto log) {
        if ((flag == nullptr || *flag != 0) && *index != MPI_UNDEFINED) {
            log(*index, *given);
        }
    };
}

} // namespace

int wait_one(const void *site, const char *name, decltype(&MPI_Wait) real, MPI_Request *request,
             MPI_Status *status)
{
    const int first = 0;
    return complete(
        site, name, real != nullptr, 1, request, {status, status_ignore(), 1},
        [&](MPI_Status *given) { return real(request, given); }, one(&first));
}

int test_one(const void *site, const char *name, decltype(&MPI_Test) real, MPI_Request *request,
             int *flag, MPI_Status *status)
{
    const int first = 0;
    return complete(
        site, name, real != nullptr, 1, request, {status, status_ignore(), 1},
        [&](MPI_Status *given) { return real(request, flag, given); }, one(&first, flag));
}

int wait_all(const void *site, const char *name, decltype(&MPI_Waitall) real, int count,
             MPI_Request *requests, MPI_Status *statuses)
{
    return complete(
        site, name, real != nullptr, count, requests, {statuses, statuses_ignore(), count},
        [&](MPI_Status *given) { return real(count, requests, given); }, every(count));
}

int test_all(const void *site, const char *name, decltype(&MPI_Testall) real, int count,
             MPI_Request *requests, int *flag, MPI_Status *statuses)
{
    return complete(
        site, name, real != nullptr, count, requests, {statuses, statuses_ignore(), count},
        [&](MPI_Status *given) { return real(count, requests, flag, given); }, every(count, flag));
}

int wait_any(const void *site, const char *name, decltype(&MPI_Waitany) real, int count,
             MPI_Request *requests, int *index, MPI_Status *status)
{
    return complete(
        site, name, real != nullptr, count, requests, {status, status_ignore(), 1},
        [&](MPI_Status *given) { return real(count, requests, index, given); }, one(index));
}

int test_any(const void *site, const char *name, decltype(&MPI_Testany) real, int count,
             MPI_Request *requests, int *index, int *flag, MPI_Status *status)
{
    return complete(
        site, name, real != nullptr, count, requests, {status, status_ignore(), 1},
        [&](MPI_Status *given) { return real(count, requests, index, flag, given); },
        one(index, flag));
}

// The requests completed are the first DONE of INDICES.
int some(const void *site, const char *name, decltype(&MPI_Waitsome) real, int count,
         MPI_Request *requests, int *done, int *indices, MPI_Status *statuses)
{
    return complete(
        site, name, real != nullptr, count, requests, {statuses, statuses_ignore(), count},
        [&](MPI_Status *given) { return real(count, requests, done, indices, given); },
        [&](const MPI_Status *given, auto log) {
            for (int at = 0; *done != MPI_UNDEFINED && at < *done; ++at) {
                // NOLINTNEXTLINE(*-pointer-arithmetic): arrays of the count given
                log(indices[at], given[at]);
            }
        });
}

} // namespace tracer::mpi
