#include "sampling/chunk_walk.hpp"

#include <algorithm>

#include "sampling/call_setup.hpp"
#include "sampling/expand.hpp"
#include "sampling/recording.hpp"

namespace quorvix {

namespace {

void start_chunk(const NeighborSampler& sampler, const SplitRequest& request, const UnitWalk& walk, Chunk& chunk) {
  const GraphSchema& schema = sampler.schema();
  chunk.nodes.resize(schema.distinct_node_types.size());
  chunk.edges.resize(schema.distinct_keys.size());
  for (std::size_t slot = 0; slot < chunk.nodes.size(); ++slot) {
    ChunkNodes& nodes = chunk.nodes[slot];
    nodes.batch.clear_or_release(1024);
    nodes.node.clear_or_release(1024);
    nodes.local_index.clear();
    NodeTypeState& state = nodes.state;
    state = NodeTypeState{};
    state.batch = &nodes.batch;
    state.node = &nodes.node;
    state.local_index = &nodes.local_index;
    describe_node_type(sampler, slot, state);
    nodes.bounds.assign(1, 0);
    nodes.seed_begin = 0;
    nodes.seed_end = 0;
  }
  for (ChunkEdges& edges : chunk.edges) {
    edges.row.clear_or_release(1024);
    edges.col.clear_or_release(1024);
    edges.edge.clear_or_release(1024);
  }
  // The seeds whose batch values fall in the chunk's range, a contiguous run of every type's seeds,
  // seeded as one thread seeds them.
  for (const SeedsOfType& typed : request.seeds->types) {
    ChunkNodes& seeds = chunk.nodes[typed.slot];
    const auto first = std::lower_bound(typed.batch.begin(), typed.batch.end(), chunk.batch_first);
    seeds.seed_begin = first - typed.batch.begin();
    seeds.seed_end = std::upper_bound(first, typed.batch.end(), chunk.batch_last) - typed.batch.begin();
    const std::size_t count = static_cast<std::size_t>(seeds.seed_end - seeds.seed_begin);
    seeds.batch.reserve(count);
    seeds.node.reserve(count);
    seeds.local_index.reserve(count);
    for (int64_t i = seeds.seed_begin; i < seeds.seed_end; ++i) {
      const auto at = static_cast<std::size_t>(i);
      if (!seeds.local_index.insert(typed.batch[at], typed.ids[at]).inserted) seeds.local_index.skip_local();
      seeds.batch.push_back(typed.batch[at]);
      seeds.node.push_back(typed.ids[at]);
    }
    seeds.bounds.push_back(static_cast<int64_t>(count));
  }
  for (std::vector<int64_t>* counters : {&chunk.unit_edges, &chunk.unit_nodes, &chunk.unit_draws,
                                         &chunk.unit_draw_offset, &chunk.unit_node_start, &chunk.unit_edge_start}) {
    counters->assign(walk.units, 0);
  }
  chunk.failed = false;
  chunk.error = nullptr;
  chunk.draws_used = 0;
}

template <bool kEdgeIds>
EdgeSampling<DrawnValues, kEdgeIds> edge_sampling(const NeighborSampler& sampler, Chunk& chunk, std::size_t i,
                                                  DrawnValues* drawn) {
  const EdgeTypeKey& key = sampler.edge_type_keys[i];
  const EdgeTypeSlots& slots = sampler.schema().edge_type_slots[i];
  ChunkNodes& neighbours = chunk.nodes[slots.neighbour];
  ChunkEdges& edges = chunk.edges[slots.key];
  EdgeSampling<DrawnValues, kEdgeIds> sampling{&key,
                                             &frontier_type(sampler.edge_types[i]),
                                             &neighbour_type(sampler.edge_types[i]),
                                             sampler.colptr.at(key),
                                             sampler.row.at(key),
                                             neighbours.state.node_time,
                                             &neighbours.state,
                                             &edges.row,
                                             &edges.col,
                                             kEdgeIds ? &edges.edge : nullptr,
                                             nullptr,
                                             drawn,
                                             &chunk.chosen};
  describe_edge_type(sampler, i, sampling);
  return sampling;
}

// Counts the draws of every unit of the hop, stopping at the chunk's first failure: the sampling
// pass meets that failure again (or an earlier one) and never needs the draws beyond it.
template <bool kEdgeIds>
void count_hop_draws(const NeighborSampler& sampler, const SplitRequest& request, const UnitWalk& walk, std::size_t hop,
                     Chunk& chunk) {
  try {
    for (std::size_t i = 0; i < walk.edge_types_in(hop, sampler.edge_types.size()); ++i) {
      const HopPlan& plan = request.plans[hop][i];
      if (!plan.draws()) continue;
      const auto edges = edge_sampling<kEdgeIds>(sampler, chunk, i, nullptr);
      const ChunkNodes& frontier = chunk.nodes[sampler.schema().edge_type_slots[i].frontier];
      for (std::size_t q = 0; q + 1 < frontier.bounds.size(); ++q) {
        // Counted on this thread's stack, stored once: the counter arrays of chunks that other threads
        // walk may share its cache lines, and a store per node to a shared line stalls both threads.
        int64_t draws = 0;
        int64_t& stored = chunk.unit_draws[walk.first_unit[hop][i] + q];
        try {
          count_frontier_draws(edges, frontier.state, frontier.bounds[q], frontier.bounds[q + 1], plan,
                               request.seeds->time_of_batch, draws);
        } catch (...) {
          stored = draws;  // the draws before the failure are made all the same
          throw;
        }
        stored = draws;
      }
    }
  } catch (...) {
  }
}

template <bool kEdgeIds>
void sample_hop(const NeighborSampler& sampler, const SplitRequest& request, const UnitWalk& walk, std::size_t hop,
                const uint32_t* drawn_values, Chunk& chunk) {
  const GraphSchema& schema = sampler.schema();
  for (ChunkNodes& nodes : chunk.nodes) nodes.next_bounds.assign(1, static_cast<int64_t>(nodes.node.size()));
  DrawnValues drawn{drawn_values};
  std::size_t unit = walk.hop_first_unit[hop];
  try {
    for (std::size_t i = 0; i < walk.edge_types_in(hop, sampler.edge_types.size()); ++i) {
      auto edges = edge_sampling<kEdgeIds>(sampler, chunk, i, &drawn);
      const EdgeTypeSlots& slots = schema.edge_type_slots[i];
      const ChunkNodes& frontier = chunk.nodes[slots.frontier];
      ChunkNodes& neighbours = chunk.nodes[slots.neighbour];
      for (std::size_t q = 0; q + 1 < frontier.bounds.size(); ++q) {
        unit = walk.first_unit[hop][i] + q;
        drawn.next = drawn_values + chunk.unit_draw_offset[unit];
        // Counted on this thread's stack, as the draws are.
        int64_t unit_edges = 0;
        edges.edge_count = &unit_edges;
        const std::size_t before = neighbours.node.size();
        expand_frontier(edges, frontier.state, frontier.bounds[q], frontier.bounds[q + 1], request.plans[hop][i],
                        request.seeds->time_of_batch);
        chunk.unit_edges[unit] = unit_edges;
        chunk.unit_nodes[unit] = static_cast<int64_t>(neighbours.node.size() - before);
        neighbours.next_bounds.push_back(static_cast<int64_t>(neighbours.node.size()));
      }
    }
  } catch (...) {
    chunk.failed = true;
    chunk.failed_unit = unit;
    chunk.error = std::current_exception();
    chunk.draws_used = drawn.next - drawn_values;
    return;
  }
  for (ChunkNodes& nodes : chunk.nodes) nodes.bounds.swap(nodes.next_bounds);
}

}  // namespace

template <bool kEdgeIds>
void advance_chunk(const NeighborSampler& sampler, const SplitRequest& request, const UnitWalk& walk,
                   const std::vector<bool>& hop_draws, std::size_t drawn_hop, const uint32_t* drawn_values,
                   Chunk& chunk) {
  if (!chunk.started) {
    start_chunk(sampler, request, walk, chunk);
    chunk.started = true;
  }
  while (chunk.next_hop < walk.hops) {
    const std::size_t hop = chunk.next_hop;
    if (hop_draws[hop] && hop != drawn_hop) {
      count_hop_draws<kEdgeIds>(sampler, request, walk, hop, chunk);
      return;
    }
    sample_hop<kEdgeIds>(sampler, request, walk, hop, hop == drawn_hop ? drawn_values : nullptr, chunk);
    if (chunk.failed) return;
    ++chunk.next_hop;
  }
}

template void advance_chunk<false>(const NeighborSampler&, const SplitRequest&, const UnitWalk&, const std::vector<bool>&,
                                   std::size_t, const uint32_t*, Chunk&);
template void advance_chunk<true>(const NeighborSampler&, const SplitRequest&, const UnitWalk&, const std::vector<bool>&,
                                  std::size_t, const uint32_t*, Chunk&);

}  // namespace quorvix
