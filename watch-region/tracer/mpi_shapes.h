// The shapes of MPI's entries (mpi_entries.def): for each, SHAPE_x is its
// parameters as mpi.h declares them, its arguments, and its root (-1: none),
// written once for the interposers (mpi_interposers.cpp) and for anything
// else made of the list, such as the tracer's tests' stub of MPI.
// PARAMETERS(x), ARGUMENTS(x), ARGUMENT_LIST(x) and ROOT(x) read them.
#pragma once

// NOLINTBEGIN(cppcoreguidelines-macro-usage): lists of parameters
#define PARAMETERS(shape) SHAPE_FIELD(SHAPE_PARAMETERS, SHAPE_##shape)
#define ARGUMENTS(shape) SHAPE_FIELD(SHAPE_ARGUMENTS, SHAPE_##shape)
#define ROOT(shape) SHAPE_FIELD(SHAPE_ROOT, SHAPE_##shape)
// The arguments without their parentheses.
#define ARGUMENT_LIST(shape) SHAPE_FIELD(SHAPE_ARGUMENT_LIST, SHAPE_##shape)
#define SHAPE_ARGUMENT_LIST(parameters, arguments, root) SHAPE_BARE arguments
#define SHAPE_BARE(...) __VA_ARGS__
#define SHAPE_FIELD(field, ...) field(__VA_ARGS__)
#define SHAPE_PARAMETERS(parameters, arguments, root) parameters
#define SHAPE_ARGUMENTS(parameters, arguments, root) arguments
#define SHAPE_ROOT(parameters, arguments, root) root
// A nonblocking collective's: the blocking one's, and its request.
#define NONBLOCKING(shape) SHAPE_FIELD(WITH_REQUEST, SHAPE_##shape)
#define WITH_REQUEST(parameters, arguments, root)                                                  \
    REQUEST_PARAMETER parameters, REQUEST_ARGUMENT arguments, root
#define REQUEST_PARAMETER(...) (__VA_ARGS__, MPI_Request * request)
#define REQUEST_ARGUMENT(...) (__VA_ARGS__, request)

#define SHAPE_init (int *argc, char ***argv), (argc, argv), -1
#define SHAPE_init_thread                                                                          \
    (int *argc, char ***argv, int required, int *provided), (argc, argv, required, provided), -1
#define SHAPE_finalize (), (), -1
#define SHAPE_pcontrol (const int level, ...), (level), -1
#define SHAPE_send                                                                                 \
    (const void *buffer, int count, MPI_Datatype type, int destination, int tag, MPI_Comm comm),   \
        (buffer, count, type, destination, tag, comm), -1
#define SHAPE_isend                                                                                \
    (const void *buffer, int count, MPI_Datatype type, int destination, int tag, MPI_Comm comm,    \
     MPI_Request *request),                                                                        \
        (buffer, count, type, destination, tag, comm, request), -1
#define SHAPE_recv                                                                                 \
    (void *buffer, int count, MPI_Datatype type, int source, int tag, MPI_Comm comm,               \
     MPI_Status *status),                                                                          \
        (buffer, count, type, source, tag, comm, status), -1
#define SHAPE_irecv                                                                                \
    (void *buffer, int count, MPI_Datatype type, int source, int tag, MPI_Comm comm,               \
     MPI_Request *request),                                                                        \
        (buffer, count, type, source, tag, comm, request), -1
#define SHAPE_sendrecv                                                                             \
    (const void *send, int send_count, MPI_Datatype send_type, int destination, int send_tag,      \
     void *receive, int receive_count, MPI_Datatype receive_type, int source, int receive_tag,     \
     MPI_Comm comm, MPI_Status *status),                                                           \
        (send, send_count, send_type, destination, send_tag, receive, receive_count, receive_type, \
         source, receive_tag, comm, status),                                                       \
        -1
#define SHAPE_sendrecv_replace                                                                     \
    (void *buffer, int count, MPI_Datatype type, int destination, int send_tag, int source,        \
     int receive_tag, MPI_Comm comm, MPI_Status *status),                                          \
        (buffer, count, type, destination, send_tag, source, receive_tag, comm, status), -1
#define SHAPE_probe                                                                                \
    (int source, int tag, MPI_Comm comm, MPI_Status *status), (source, tag, comm, status), -1
#define SHAPE_iprobe                                                                               \
    (int source, int tag, MPI_Comm comm, int *flag, MPI_Status *status),                           \
        (source, tag, comm, flag, status), -1
#define SHAPE_mprobe                                                                               \
    (int source, int tag, MPI_Comm comm, MPI_Message *message, MPI_Status *status),                \
        (source, tag, comm, message, status), -1
#define SHAPE_improbe                                                                              \
    (int source, int tag, MPI_Comm comm, int *flag, MPI_Message *message, MPI_Status *status),     \
        (source, tag, comm, flag, message, status), -1
#define SHAPE_mrecv                                                                                \
    (void *buffer, int count, MPI_Datatype type, MPI_Message *message, MPI_Status *status),        \
        (buffer, count, type, message, status), -1
#define SHAPE_imrecv                                                                               \
    (void *buffer, int count, MPI_Datatype type, MPI_Message *message, MPI_Request *request),      \
        (buffer, count, type, message, request), -1
#define SHAPE_wait (MPI_Request * request, MPI_Status * status), (request, status), -1
#define SHAPE_test                                                                                 \
    (MPI_Request * request, int *flag, MPI_Status *status), (request, flag, status), -1
#define SHAPE_waitall                                                                              \
    (int count, MPI_Request requests[], MPI_Status statuses[]), (count, requests, statuses), -1
#define SHAPE_testall                                                                              \
    (int count, MPI_Request requests[], int *flag, MPI_Status statuses[]),                         \
        (count, requests, flag, statuses), -1
#define SHAPE_waitany                                                                              \
    (int count, MPI_Request requests[], int *index, MPI_Status *status),                           \
        (count, requests, index, status), -1
#define SHAPE_testany                                                                              \
    (int count, MPI_Request requests[], int *index, int *flag, MPI_Status *status),                \
        (count, requests, index, flag, status), -1
#define SHAPE_waitsome                                                                             \
    (int count, MPI_Request requests[], int *done, int indices[], MPI_Status statuses[]),          \
        (count, requests, done, indices, statuses), -1
#define SHAPE_testsome SHAPE_waitsome
#define SHAPE_barrier (MPI_Comm comm), (comm), -1
#define SHAPE_bcast                                                                                \
    (void *buffer, int count, MPI_Datatype type, int root, MPI_Comm comm),                         \
        (buffer, count, type, root, comm), root
#define SHAPE_reduce                                                                               \
    (const void *send, void *receive, int count, MPI_Datatype type, MPI_Op operation, int root,    \
     MPI_Comm comm),                                                                               \
        (send, receive, count, type, operation, root, comm), root
#define SHAPE_reducing                                                                             \
    (const void *send, void *receive, int count, MPI_Datatype type, MPI_Op operation,              \
     MPI_Comm comm),                                                                               \
        (send, receive, count, type, operation, comm), -1
#define SHAPE_reduce_scatter                                                                       \
    (const void *send, void *receive, const int counts[], MPI_Datatype type, MPI_Op operation,     \
     MPI_Comm comm),                                                                               \
        (send, receive, counts, type, operation, comm), -1
#define SHAPE_rooted                                                                               \
    (const void *send, int send_count, MPI_Datatype send_type, void *receive, int receive_count,   \
     MPI_Datatype receive_type, int root, MPI_Comm comm),                                          \
        (send, send_count, send_type, receive, receive_count, receive_type, root, comm), root
#define SHAPE_gatherv                                                                              \
    (const void *send, int send_count, MPI_Datatype send_type, void *receive,                      \
     const int receive_counts[], const int displacements[], MPI_Datatype receive_type, int root,   \
     MPI_Comm comm),                                                                               \
        (send, send_count, send_type, receive, receive_counts, displacements, receive_type, root,  \
         comm),                                                                                    \
        root
#define SHAPE_scatterv                                                                             \
    (const void *send, const int send_counts[], const int displacements[], MPI_Datatype send_type, \
     void *receive, int receive_count, MPI_Datatype receive_type, int root, MPI_Comm comm),        \
        (send, send_counts, displacements, send_type, receive, receive_count, receive_type, root,  \
         comm),                                                                                    \
        root
#define SHAPE_all                                                                                  \
    (const void *send, int send_count, MPI_Datatype send_type, void *receive, int receive_count,   \
     MPI_Datatype receive_type, MPI_Comm comm),                                                    \
        (send, send_count, send_type, receive, receive_count, receive_type, comm), -1
#define SHAPE_allgatherv                                                                           \
    (const void *send, int send_count, MPI_Datatype send_type, void *receive,                      \
     const int receive_counts[], const int displacements[], MPI_Datatype receive_type,             \
     MPI_Comm comm),                                                                               \
        (send, send_count, send_type, receive, receive_counts, displacements, receive_type, comm), \
        -1
#define SHAPE_alltoallv                                                                            \
    (const void *send, const int send_counts[], const int send_displacements[],                    \
     MPI_Datatype send_type, void *receive, const int receive_counts[],                            \
     const int receive_displacements[], MPI_Datatype receive_type, MPI_Comm comm),                 \
        (send, send_counts, send_displacements, send_type, receive, receive_counts,                \
         receive_displacements, receive_type, comm),                                               \
        -1
#define SHAPE_alltoallw                                                                            \
    (const void *send, const int send_counts[], const int send_displacements[],                    \
     const MPI_Datatype send_types[], void *receive, const int receive_counts[],                   \
     const int receive_displacements[], const MPI_Datatype receive_types[], MPI_Comm comm),        \
        (send, send_counts, send_displacements, send_types, receive, receive_counts,               \
         receive_displacements, receive_types, comm),                                              \
        -1
#define SHAPE_ibarrier NONBLOCKING(barrier)
#define SHAPE_ibcast NONBLOCKING(bcast)
#define SHAPE_ireduce NONBLOCKING(reduce)
#define SHAPE_ireducing NONBLOCKING(reducing)
#define SHAPE_ireduce_scatter NONBLOCKING(reduce_scatter)
#define SHAPE_irooted NONBLOCKING(rooted)
#define SHAPE_igatherv NONBLOCKING(gatherv)
#define SHAPE_iscatterv NONBLOCKING(scatterv)
#define SHAPE_iall NONBLOCKING(all)
#define SHAPE_iallgatherv NONBLOCKING(allgatherv)
#define SHAPE_ialltoallv NONBLOCKING(alltoallv)
#define SHAPE_ialltoallw NONBLOCKING(alltoallw)
// NOLINTEND(cppcoreguidelines-macro-usage)
