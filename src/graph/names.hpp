// Checks of the node and edge type names a sampler is built with: every name must address exactly one
// table entry and one result.
#pragma once

#include <vector>

#include "graph/keys.hpp"

namespace quorvix {

// Throws std::runtime_error, in this order, for: a name holding a NUL character (node types first, then
// the three names of each edge type), a node type listed twice, an edge type listed twice, and two
// different edge types whose keys are equal.
void check_type_names(const std::vector<NodeType>& node_types, const std::vector<EdgeType>& edge_types,
                      const std::vector<EdgeTypeKey>& edge_type_keys);

}  // namespace quorvix
