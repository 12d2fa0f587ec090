// Which runs of an edge type are not sorted by the time they are sampled by. Found once when a graph
// is built, so that sampling can refuse such a run when it first meets it instead of bisecting it to
// a wrong answer.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/int64_span.hpp"

namespace quorvix {

// The nodes, ascending, whose run [colptr[v], colptr[v + 1]) is not sorted by time: by `edge_time`
// (one per row position) when it is given, else by `node_time` of the neighbours in `row`. Runs that
// sampling refuses for other reasons (bounds outside row, a neighbour without a timestamp) are not
// listed: those errors come first when they are met.
std::vector<int64_t> unsorted_runs(Int64Span colptr, Int64Span row, const Int64Span* node_time,
                                   const Int64Span* edge_time);

// The first position of node's run whose time is earlier than the one before it; the run must be
// one unsorted_runs listed.
int64_t first_unsorted_position(Int64Span colptr, Int64Span row, const Int64Span* node_time,
                                const Int64Span* edge_time, int64_t node);

}  // namespace quorvix
