// The keyed tables of a sampler's calls. Keys are node type names or edge type keys; lookups compare bytes.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "graph/array_table.hpp"
#include "graph/int64_list.hpp"

namespace quorvix {

// Key to an owned, growable list. Values have stable addresses while other keys are inserted, which
// the sampling loop relies on when it resolves a list once per call.
using Int64ListTable = std::unordered_map<std::string, std::vector<int64_t>>;

// Key to a list of a call's results, stored in the NumPy array that the call returns.
using ResultListTable = std::unordered_map<std::string, Int64List>;

}  // namespace quorvix
