// The answers of a hop's owners put back in frontier order and recorded: what a sampler that expands
// each hop on the parts' owners does with them.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/int64_list.hpp"
#include "graph/int64_span.hpp"
#include "sampling/node_recorder.hpp"

namespace quorvix {

// One owner's answer for some entries of one edge type's frontier: the entries it was given
// (ascending), the edges each took, then per sampled edge, in entry order, the neighbour id and the
// edge id.
struct OwnerAnswer {
  Int64Span entries;
  Int64Span counts;
  Int64Span neighbour;
  Int64Span edge;
};

// The hop's sampled edges of one edge type in frontier order: the neighbour's local index, the
// frontier node's local index, the edge id.
struct MergedEdges {
  Int64List row;
  Int64List col;
  Int64List edge;
};

// Merges `answers` (which together cover entries of a frontier whose subgraphs are `frontier_batch`
// and whose first local index is `frontier_begin`) in entry order, and records each neighbour in
// `neighbours` under its entry's subgraph, in that order. Throws std::invalid_argument for answers that do not fit the frontier (an entry outside
// it or given twice, counts that do not add up to the edges), before recording anything.
MergedEdges merge_answers(const std::vector<OwnerAnswer>& answers, Int64Span frontier_batch, int64_t frontier_begin,
                          NodeRecorder& neighbours);

}  // namespace quorvix
