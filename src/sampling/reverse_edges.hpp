// Bidirectional subgraphs: the sampled edges of a type plus the reverses of the sampled edges that
// point back into it.
#pragma once

#include <cstdint>
#include <vector>

#include "sampling/subgraph_edges.hpp"

namespace quorvix {

class ThreadPool;

// Sampled edges of a type whose reverses belong to the target type. `same_type`: the source is the
// target itself (both ends of one node type), so a reverse the graph lacks may keep the sampled
// edge's id.
struct ReverseSource {
  LocalEdges edges;
  bool same_type = false;
  // Optional, both or neither: the CSC positions of the sampled edges in the source type
  // (`position`), and per position of the source type the target's CSC position of the graph's
  // earliest edge joining its ends the other way, or -1 (`reverse_position`). With them a copy's
  // edge is read, not searched for in a run.
  Int64Span position;
  Int64Span reverse_position;
};

// For the target edge type R -> C: its CSC, an optional index of it (`index_row[colptr[v]:colptr[v+1]]`
// the sources of `v`'s run sorted, `index_position` their CSC positions, earliest first among equal
// sources; both empty: runs are scanned), the sampled nodes of R (`row_node`, `row_batch`) and of C
// (`col_node`), its sampled edges `target` and the sources whose reverses come into it.
//
// Returns the target's edges: its sampled ones, then in each hop the reverse copies that make every
// pair joined at least as often as any source joins it the other way. A copy goes in the hop of
// the edge it reverses, and takes the id of the graph's earliest edge between its ends (no later
// than the subgraph's time, `group_time[batch]`, when the type has times); without one, a
// `same_type` source lends the sampled edge's own id, and other sources add nothing.
// `by_destination`: the edges come sorted by destination, then source, equal pairs in hop order
// and then as above; `hop_counts` stay those of the hops, which then no longer lie in blocks.
// With `pool`, many columns are walked on its threads; the edges are the same.
SubgraphEdges reverse_edges(const CscView& csc, Int64Span index_row, Int64Span index_position, Int64Span row_node,
                            Int64Span row_batch, Int64Span col_node, const LocalEdges& target,
                            const std::vector<ReverseSource>& sources, Int64Span group_time,
                            bool by_destination = false, ThreadPool* pool = nullptr);

}  // namespace quorvix
