// Recording of one sampled edge and, the first time its seed reaches it, of the neighbour node.
#pragma once

#include <cstdint>

#include "sampling/call_state.hpp"

namespace quorvix {

// `position` indexes the edge type's row; the neighbour inherits the frontier node's batch index.
void add_sampled_edge(const EdgeSampling& edges, int64_t position, const FrontierNode& frontier);

}  // namespace quorvix
