// Expansion of a run of frontier nodes under one edge type and one hop's rule.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/sampler_options.hpp"
#include "sampling/call_state.hpp"
#include "sampling/hop_rule.hpp"

namespace quorvix {

// How the nodes of one edge type's frontier are expanded in one hop, fixed before the walk.
struct HopPlan {
  HopRule rule;
  bool temporal = false;  // the neighbour type has timestamps and the seeds have times
  TemporalStrategy strategy = TemporalStrategy::kLast;

  // Whether a walk under this plan may draw from the engine.
  bool draws() const {
    return rule.kind == HopRule::Kind::kFanOut && rule.fan_out > 0 &&
           (!temporal || strategy == TemporalStrategy::kUniform);
  }
};

// Expands the frontier entries [begin, end) of `frontier` in order, recording what the plan takes.
template <typename Edges>
void expand_frontier(const Edges& edges, const NodeTypeState& frontier, int64_t begin, int64_t end,
                     const HopPlan& plan, const std::vector<int64_t>& seed_times);

// Adds to `draws` the number of engine draws expand_frontier would make over the same entries, node
// by node, with the same checks before each node's first draw (and so the same errors): after a
// failure it holds the draws of the nodes before the failing one. Records nothing.
template <typename Edges>
void count_frontier_draws(const Edges& edges, const NodeTypeState& frontier, int64_t begin, int64_t end,
                          const HopPlan& plan, const std::vector<int64_t>& seed_times, int64_t& draws);

}  // namespace quorvix
