#include "sampling/expand.hpp"

#include <algorithm>
#include <limits>
#include <type_traits>

#include "sampling/prefetch.hpp"
#include "sampling/window.hpp"

namespace quorvix {

namespace {

// Walks the entries [begin, end). The frontier list may be the neighbour list itself and grow
// meanwhile, so entries are read by index and copied. The walks prefetch rows through
// prefetch_row_only: with a value-returning prefetch there, whose result they drop, the build made
// uniform twice as slow on the clock at the same instruction count.
template <bool kEdgeTime, typename Edges, typename ExpandNode>
void walk_frontier(const Edges& edges, const NodeTypeState& frontier, int64_t begin, int64_t end, bool temporal,
                   ExpandNode expand) {
  const Int64List& batches = *frontier.batch;
  const Int64List& nodes = *frontier.node;
  const auto node_at = [&nodes](int64_t p) { return nodes[static_cast<std::size_t>(p)]; };
  const auto prefetch_time_of = [](const Edges& e, int64_t node) {
    int64_t position = -1;
    if (!probe_position(e, node, position)) position = -1;
    prefetch_time<kEdgeTime>(e, position);
  };
  const auto expand_at = [&](int64_t p) { expand(FrontierNode{batches[static_cast<std::size_t>(p)], node_at(p), p}); };
  // One loop per kind of edge type, chosen once: the walks without weights keep their own code.
  const auto walk = [&](auto weighted) {
    constexpr bool kWeights = decltype(weighted)::value;
    int64_t p = begin;
    // While every stage has an entry ahead, no stage checks for the frontier's end.
    for (; p + kPrefetchColptr < end; ++p) {
      prefetch_colptr(edges, node_at(p + kPrefetchColptr));
      prefetch_row_only<kWeights>(edges, node_at(p + kPrefetchRow));
      if (temporal) prefetch_time_of(edges, node_at(p + kPrefetchTime));
      expand_at(p);
    }
    for (; p < end; ++p) {
      if (p + kPrefetchRow < end) prefetch_row_only<kWeights>(edges, node_at(p + kPrefetchRow));
      if (temporal && p + kPrefetchTime < end) prefetch_time_of(edges, node_at(p + kPrefetchTime));
      expand_at(p);
    }
  };
  if (edges.weights != nullptr) {
    walk(std::true_type{});
  } else {
    walk(std::false_type{});
  }
}

template <bool kEdgeTime, typename Edges>
void expand_by(const Edges& edges, const NodeTypeState& frontier, int64_t begin, int64_t end, const HopPlan& plan,
               const std::vector<int64_t>& seed_times) {
  const HopRule& rule = plan.rule;
  const auto seed_time_of = [&seed_times](const FrontierNode& node) {
    return seed_times[static_cast<std::size_t>(node.batch)];
  };
  switch (rule.kind) {
    case HopRule::Kind::kNothing:
      return;
    case HopRule::Kind::kTimeWindow:
      // Without timestamps a time window has nothing to place itself by, and records nothing.
      if (!plan.temporal) return;
      walk_frontier<kEdgeTime>(edges, frontier, begin, end, true, [&](const FrontierNode& node) {
        sample_time_window<kEdgeTime>(edges, node, rule.offsets, seed_time_of(node));
      });
      return;
    case HopRule::Kind::kFanOut:
      if (rule.fan_out == 0) return;
      if (!plan.temporal) {
        walk_frontier<kEdgeTime>(edges, frontier, begin, end, false,
                      [&](const FrontierNode& node) { sample_all_window(edges, node, rule.fan_out); });
      } else if (plan.strategy == TemporalStrategy::kUniform) {
        walk_frontier<kEdgeTime>(edges, frontier, begin, end, true, [&](const FrontierNode& node) {
          sample_recent_uniform<kEdgeTime>(edges, node, rule.fan_out, seed_time_of(node));
        });
      } else {
        sample_recent_windows<kEdgeTime>(edges, frontier, begin, end, rule.fan_out, seed_times);
      }
      return;
  }
}

// Draw counts saturate instead of wrapping: a saturated count fails when the draws are allocated.
void add_draws(int64_t& draws, int64_t more) {
  if (__builtin_add_overflow(draws, more, &draws)) draws = std::numeric_limits<int64_t>::max();
}

template <bool kEdgeTime, typename Edges>
void count_by(const Edges& edges, const NodeTypeState& frontier, int64_t begin, int64_t end, const HopPlan& plan,
              const std::vector<int64_t>& seed_times, int64_t& draws) {
  const int64_t k = plan.rule.fan_out;
  if (plan.temporal) {
    walk_frontier<kEdgeTime>(edges, frontier, begin, end, true, [&](const FrontierNode& node) {
      add_draws(draws, count_recent_uniform_draws<kEdgeTime>(edges, node, k, seed_times[static_cast<std::size_t>(node.batch)]));
    });
  } else {
    // A count reads each run's bounds only: the walk prefetches them, and no row.
    const Int64List& batches = *frontier.batch;
    const Int64List& nodes = *frontier.node;
    for (int64_t p = begin; p < end; ++p) {
      if (p + kPrefetchColptr < end) prefetch_colptr(edges, nodes[static_cast<std::size_t>(p + kPrefetchColptr)]);
      const FrontierNode node{batches[static_cast<std::size_t>(p)], nodes[static_cast<std::size_t>(p)], p};
      add_draws(draws, count_all_window_draws(edges, node, k));
    }
  }
}

}  // namespace

// The time source is chosen here, once per hop.
template <typename Edges>
void expand_frontier(const Edges& edges, const NodeTypeState& frontier, int64_t begin, int64_t end,
                     const HopPlan& plan, const std::vector<int64_t>& seed_times) {
  if (edges.edge_time != nullptr) {
    expand_by<true>(edges, frontier, begin, end, plan, seed_times);
  } else {
    expand_by<false>(edges, frontier, begin, end, plan, seed_times);
  }
}

template <typename Edges>
void count_frontier_draws(const Edges& edges, const NodeTypeState& frontier, int64_t begin, int64_t end,
                          const HopPlan& plan, const std::vector<int64_t>& seed_times, int64_t& draws) {
  if (!plan.draws()) return;
  if (edges.edge_time != nullptr) {
    count_by<true>(edges, frontier, begin, end, plan, seed_times, draws);
  } else {
    count_by<false>(edges, frontier, begin, end, plan, seed_times, draws);
  }
}

#define QUORVIX_INSTANTIATE(Edges)                                                                          \
  template void expand_frontier<Edges>(const Edges&, const NodeTypeState&, int64_t, int64_t, const HopPlan&, \
                                       const std::vector<int64_t>&);                                        \
  template void count_frontier_draws<Edges>(const Edges&, const NodeTypeState&, int64_t, int64_t,           \
                                            const HopPlan&, const std::vector<int64_t>&, int64_t&);
QUORVIX_FOR_EACH_EDGE_SAMPLING(QUORVIX_INSTANTIATE)
#undef QUORVIX_INSTANTIATE

}  // namespace quorvix
