// Node types and edge types resolved to dense slots, so a sample call can address its per-type state
// by index instead of by name. The constructor has refused repeated names (names.hpp), so every name
// has a slot of its own.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "graph/keys.hpp"

namespace quorvix {

inline constexpr std::size_t kNoSlot = std::numeric_limits<std::size_t>::max();

struct EdgeTypeSlots {
  std::size_t key;        // slot of the edge type key among the distinct keys
  std::size_t neighbour;  // slot of t0 among the distinct node types
  std::size_t frontier;   // slot of t2, or kNoSlot when t2 is not a node type
};

struct GraphSchema {
  std::vector<NodeType> distinct_node_types;
  std::vector<std::size_t> node_type_slots;  // one per entry of node_types
  std::vector<EdgeTypeKey> distinct_keys;
  std::vector<EdgeTypeSlots> edge_type_slots;  // one per entry of edge_types

  std::size_t node_slot(const NodeType& name) const;  // kNoSlot when absent
};

// Throws std::runtime_error when an edge type's neighbour type is not a node type: its sampled nodes
// would belong to no reported type.
GraphSchema build_schema(const std::vector<NodeType>& node_types, const std::vector<EdgeType>& edge_types,
                         const std::vector<EdgeTypeKey>& edge_type_keys);

}  // namespace quorvix
