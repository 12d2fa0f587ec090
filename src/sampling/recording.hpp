// Recording of one sampled edge and, the first time its seed reaches it, of the neighbour node.
#pragma once

#include <cstdint>

#include "graph/keys.hpp"
#include "sampling/call_state.hpp"

namespace quorvix {

// Throws std::runtime_error for an id of `node_type` that is negative or not below its node count.
// Out of line and cold, so that the check on the hot path stays one comparison and a branch.
[[noreturn]] __attribute__((noinline, cold)) void throw_node_id_out_of_range(const NodeType& node_type,
                                                                             int64_t node, uint64_t id_bound);

// The single unsigned comparison also catches negative ids (see id_bound).
inline void check_node_id(const NodeTypeState& state, const NodeType& node_type, int64_t node) {
  if (static_cast<uint64_t>(node) >= state.id_bound) throw_node_id_out_of_range(node_type, node, state.id_bound);
}

// `position` indexes the edge type's row; the neighbour inherits the frontier node's batch index.
// Inline: it runs once per sampled edge.
template <typename Edges>
inline void add_sampled_edge(const Edges& edges, int64_t position, const FrontierNode& frontier) {
  const int64_t neighbour = edges.row[position];
  NodeTypeState& neighbours = *edges.neighbours;
  check_node_id(neighbours, *edges.neighbour_type, neighbour);
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
