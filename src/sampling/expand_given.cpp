#include "sampling/expand_given.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "graph/int64_list.hpp"
#include "sampling/call_state.hpp"
#include "sampling/fan_out_limit.hpp"
#include "sampling/index_set.hpp"

namespace quorvix {

ExpandedRuns expand_given(const GivenRuns& runs, const GivenFrontier& frontier, const HopPlan& plan, bool replace) {
  // As in a sampler's call: beyond this bound the picks of one node cannot be counted, let alone held.
  if (replace && plan.rule.kind == HopRule::Kind::kFanOut && plan.rule.fan_out > kMaxReplacedFanOut) {
    throw std::invalid_argument("'fan_out' is " + std::to_string(plan.rule.fan_out) + ", above " +
                                std::to_string(kMaxReplacedFanOut) + ", the largest fan-out drawn with replacement.");
  }
  const auto n = static_cast<std::size_t>(frontier.nodes.size);
  // Entry i is its own subgraph (batch i), so the walk's seed-time lookup by batch reads entry i's time.
  Int64List frontier_batch;
  Int64List frontier_node;
  frontier_batch.reserve(n);
  frontier_node.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const int64_t id = frontier.nodes[static_cast<int64_t>(i)];
    if (static_cast<uint64_t>(id) >= runs.frontier_bound || id % runs.num_parts != runs.part) {
      throw std::invalid_argument("Node " + std::to_string(id) + " of type '" + runs.frontier_type +
                                  "' is not owned by part " + std::to_string(runs.part) + " of " +
                                  std::to_string(runs.num_parts) + ".");
    }
    frontier_batch.push_back(static_cast<int64_t>(i));
    frontier_node.push_back(id / runs.num_parts);
  }
  const std::vector<int64_t> seed_times(frontier.seed_times.data, frontier.seed_times.data + frontier.seed_times.size);
  NodeTypeState frontier_state;
  frontier_state.batch = &frontier_batch;
  frontier_state.node = &frontier_node;

  // Neighbours are not numbered here: the trainer numbers them in its own subgraphs, so every
  // sampled edge records the neighbour's id (the id check included) and its entry.
  NodeTypeState neighbours;
  neighbours.id_bound = runs.neighbour_bound;

  ExpandedRuns expanded;
  Int64List out_entry;
  int64_t edge_count = 0;
  DrawnValues generator;
  IndexSet chosen;
  CandidateSamplingWithIds edges{&runs.key, &runs.frontier_type, &runs.neighbour_type, runs.colptr, runs.row,
                                 Int64Span{}, &neighbours, &expanded.neighbour, &out_entry, &expanded.edge,
                                 &edge_count, &generator, &chosen};
  edges.edge_time = runs.time.data;
  edges.weights = runs.weights;
  edges.replace = replace;

  const auto end = static_cast<int64_t>(n);
  // Every entry's draws are counted (with the checks a walk makes first) and read from its own stream
  // ahead of the walk, which then takes them in entry order.
  std::vector<uint32_t> draws;
  if (plan.draws()) {
    for (int64_t p = 0; p < end; ++p) {
      int64_t count = 0;
      count_frontier_draws(edges, frontier_state, p, p + 1, plan, seed_times, count);
      const DrawKey key{frontier.draw_stream, frontier.draw_keys[2 * p], frontier.draw_keys[2 * p + 1]};
      append_keyed_draws(key, count, draws);
    }
  }
  generator.next = draws.data();
  expand_frontier(edges, frontier_state, 0, end, plan, seed_times);

  int64_t* counts = expanded.counts.open_tail(n);
  std::fill(counts, counts + n, 0);
  expanded.counts.commit(n);
  for (std::size_t j = 0; j < out_entry.size(); ++j) ++counts[out_entry[j]];
  if (runs.edge_id.data != nullptr) {
    // The positions written, replaced in place by their edges' ids.
    for (std::size_t j = 0; j < expanded.edge.size(); ++j) expanded.edge[j] = runs.edge_id.data[expanded.edge[j]];
  }
  return expanded;
}

}  // namespace quorvix
