#include "sampling/expand_given.hpp"

#include <stdexcept>
#include <string>

#include "graph/int64_list.hpp"
#include "graph/local_index_map.hpp"
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
    frontier_batch.push_back(static_cast<int64_t>(i));
    frontier_node.push_back(frontier.nodes[static_cast<int64_t>(i)]);
  }
  const std::vector<int64_t> seed_times(frontier.seed_times.data, frontier.seed_times.data + frontier.seed_times.size);
  NodeTypeState frontier_state;
  frontier_state.batch = &frontier_batch;
  frontier_state.node = &frontier_node;

  Int64List neighbour_batch;
  Int64List neighbour_node;
  LocalIndexMap neighbour_index;
  NodeTypeState neighbours;
  neighbours.batch = &neighbour_batch;
  neighbours.node = &neighbour_node;
  neighbours.local_index = &neighbour_index;
  neighbours.id_bound = runs.neighbour_bound;

  Int64List out_row;
  Int64List out_col;
  Int64List out_edge;
  int64_t edge_count = 0;
  DrawnValues generator;
  IndexSet chosen;
  ChunkSamplingWithIds edges{&runs.key, &runs.frontier_type, &runs.neighbour_type, runs.colptr, runs.row,
                              Int64Span{}, &neighbours, &out_row, &out_col, &out_edge, &edge_count, &generator,
                              &chosen};
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

  ExpandedRuns expanded;
  const std::size_t m = out_edge.size();
  expanded.entry.assign(out_col.data(), out_col.data() + m);
  expanded.position.assign(out_edge.data(), out_edge.data() + m);
  expanded.neighbour.resize(m);
  for (std::size_t j = 0; j < m; ++j) expanded.neighbour[j] = neighbour_node[static_cast<std::size_t>(out_row[j])];
  return expanded;
}

}  // namespace quorvix
