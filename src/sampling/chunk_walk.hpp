// The walk of one seed chunk through the hops of a call, on a pool thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/neighbor_sampler.hpp"
#include "sampling/chunk_plan.hpp"
#include "sampling/parallel_state.hpp"

namespace quorvix {

// Takes the chunk as far as it can go on its own: every hop up to the next one whose draws are not
// made yet, whose draws it then counts. `drawn_hop` is the hop the values in `drawn_values` are for.
template <bool kEdgeIds>
void advance_chunk(const NeighborSampler& sampler, const SplitRequest& request, const UnitWalk& walk,
                   const std::vector<bool>& hop_draws, std::size_t drawn_hop, const uint32_t* drawn_values,
                   Chunk& chunk);

}  // namespace quorvix
