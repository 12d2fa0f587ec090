// Recording of one sampled edge and, the first time its seed reaches it, of the neighbour node.
#pragma once

#include <cstdint>

#include "sampling/call_state.hpp"

namespace quorvix {

// `position` indexes the edge type's row; the neighbour inherits the frontier node's batch index.
// Inline: it runs once per sampled edge.
template <typename Edges>
inline void add_sampled_edge(const Edges& edges, int64_t position, const FrontierNode& frontier) {
  const int64_t neighbour = edges.row[position];
  NodeTypeState& neighbours = *edges.neighbours;
  const LocalIndexMap::Insertion found = neighbours.local_index->insert(frontier.batch, neighbour);
  if (found.inserted) {
    // Appended beyond the current frontier range: expanded in the next hop, not this one.
    neighbours.batch->push_back(frontier.batch);
    neighbours.node->push_back(neighbour);
  }
  ++*edges.edge_count;
  edges.out_row->push_back(found.local_index);
  edges.out_col->push_back(frontier.local_index);
  if constexpr (Edges::kRecordsEdgeIds) edges.out_edge->push_back(position);
}

}  // namespace quorvix
