// A call that grows one subgraph, run on several threads with results and random draws identical
// to one thread's: every step (one hop of one edge type) splits its frontier into parts that pick
// neighbours side by side, and each part, once walked, is numbered in order by one thread at a
// time (the newly reached nodes in first-reached order) while the others walk the parts after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/call_state.hpp"
#include "sampling/chunk_plan.hpp"
#include "sampling/parallel_state.hpp"
#include "sampling/neighbor_sampler.hpp"
#include "sampling/thread_pool.hpp"

namespace quorvix {

// Samples every hop of a call whose seeds make one subgraph and are already in `node_states`, each
// of whose types maps ids by its NodeIndexTable, from the rules of `request` (read in full, no
// deferred failure). Returns false when a step fails (or cannot be numbered in 32 bits): the call's
// tables, node states and the sampler's generator are then part-way, and the caller restores the
// generator and samples on one thread from the start, which meets the same failure after the same
// draws. Holds the interpreter lock except around the threads' work.
template <bool kEdgeIds>
bool grow_subgraph_in_parallel(NeighborSampler& sampler, ThreadPool& pool, const SplitRequest& request,
                               const std::vector<int64_t>& seed_times, std::vector<NodeTypeState>& node_states,
                               std::vector<FrontierPart>& parts, std::vector<uint32_t>& drawn);

}  // namespace quorvix
