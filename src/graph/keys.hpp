// Names of node types and edge types, and the string key every per-edge-type table is filed under.
#pragma once

#include <string>
#include <tuple>
#include <vector>

namespace quorvix {

using NodeType = std::string;

// (neighbour type, relation, frontier type): `row` holds ids of the first, `colptr` is indexed by the last.
using EdgeType = std::tuple<std::string, std::string, std::string>;

using EdgeTypeKey = std::string;

// t0 + "__" + t1 + "__" + t2. Not injective: names containing "__" can collide, so the constructor
// refuses edge types whose keys are equal (names.hpp).
EdgeTypeKey edge_type_key(const EdgeType& edge_type);

// The key of each edge type, in order.
std::vector<EdgeTypeKey> keys_of(const std::vector<EdgeType>& edge_types);

inline const NodeType& neighbour_type(const EdgeType& edge_type) { return std::get<0>(edge_type); }
inline const NodeType& frontier_type(const EdgeType& edge_type) { return std::get<2>(edge_type); }

}  // namespace quorvix
