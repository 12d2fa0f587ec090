// Expansion of frontier nodes given from outside a sample call: the nodes a part owns, each with the
// seed time of the subgraph that reached it, expanded under one hop's rule by the same walk a call uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "graph/edge_features.hpp"
#include "graph/int64_list.hpp"
#include "graph/int64_span.hpp"
#include "sampling/expand.hpp"
#include "sampling/keyed_draws.hpp"

namespace quorvix {

// One edge type's runs for the frontier nodes a part owns, indexed by the part's own node index: part
// `part` of `num_parts` owns the global ids id with id % num_parts == part, at index id / num_parts.
// `time` (one per row position, or empty) is what windows read: the edge times, or the neighbours'
// node times copied beside row. Views; their owner keeps them alive.
struct GivenRuns {
  std::string key;
  std::string frontier_type;
  std::string neighbour_type;
  Int64Span colptr;
  Int64Span row;
  Int64Span time;
  const EdgeWeights* weights = nullptr;
  uint64_t neighbour_bound = UINT64_MAX;  // neighbour ids at or above it are refused
  Int64Span edge_id;  // one per row position: what a sampled edge reports instead of its position, when set
  int64_t num_parts = 1;
  int64_t part = 0;
  uint64_t frontier_bound = UINT64_MAX;  // frontier ids at or above it (negative ones too) are refused
};

// The frontier: global node ids the part owns, a seed time per entry (empty without a time rule), and per entry
// the (node, subgraph) words of its draw key, two per entry under one `draw_stream` (read only when
// the plan draws).
struct GivenFrontier {
  Int64Span nodes;
  Int64Span seed_times;
  const uint64_t* draw_keys = nullptr;
  uint64_t draw_stream = 0;
};

// What the entries took: the number of edges of each entry, then for each sampled edge, in entry
// order, its neighbour id and its row position (its edge id when the runs have them).
struct ExpandedRuns {
  Int64List counts;
  Int64List neighbour;
  Int64List edge;
};

// Expands every entry under `plan` with the call's `replace` setting. A rule that draws reads each
// entry's own keyed stream (keyed_draws.hpp), so an entry's choice depends on its key alone, not on
// which part or request it came with. Throws std::runtime_error as a sample call does, and
// std::invalid_argument for a frontier id the part does not own.
ExpandedRuns expand_given(const GivenRuns& runs, const GivenFrontier& frontier, const HopPlan& plan, bool replace);

}  // namespace quorvix
