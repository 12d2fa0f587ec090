// How many nodes each node type is known to have, so that every id can be checked where it enters a result.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/keys.hpp"
#include "graph/schema.hpp"
#include "graph/array_table.hpp"

namespace quorvix {

// Marks a node type whose count nothing tells: its ids are only refused when negative.
inline constexpr int64_t kUnknownNodeCount = -1;

// One count per distinct node type (schema slot): the length of its node_time, else the largest
// len(colptr) - 1 among the edge types it is the frontier type of, else kUnknownNodeCount. An empty
// colptr bounds no node and tells nothing.
std::vector<int64_t> known_node_counts(const GraphSchema& schema, const std::vector<EdgeTypeKey>& edge_type_keys,
                                       const ArrayTable& colptr, const ArrayTable& node_time);

// The exclusive bound of valid ids as an unsigned value: a negative id converts to at least 2^63 and so
// fails the single comparison `static_cast<uint64_t>(id) >= bound` as well.
inline uint64_t id_bound(int64_t node_count) {
  return node_count == kUnknownNodeCount ? uint64_t{1} << 63 : static_cast<uint64_t>(node_count);
}

}  // namespace quorvix
