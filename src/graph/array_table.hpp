// Views of graph arrays by key (node type name or edge type key); lookups compare bytes.
#pragma once

#include <string>
#include <unordered_map>

#include "graph/int64_span.hpp"

namespace quorvix {

// Key to a view of a graph array; whoever built the graph keeps the array itself alive (see Graph).
using ArrayTable = std::unordered_map<std::string, Int64Span>;

}  // namespace quorvix
