// The hop-wise driver of the sample methods: the seeds of the call, then every hop over every edge type.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph/array_dict.hpp"
#include "sampling/call_setup.hpp"
#include "sampling/call_state.hpp"
#include "sampling/chunk_plan.hpp"
#include "sampling/expand.hpp"
#include "sampling/fan_out_limit.hpp"
#include "sampling/hop_rule.hpp"
#include "sampling/neighbor_sampler.hpp"
#include "sampling/parallel_sample.hpp"
#include "sampling/recording.hpp"
#include "sampling/request.hpp"
#include "sampling/result.hpp"
#include "sampling/seeds.hpp"
#include "sampling/subgraph_in_parallel.hpp"

namespace quorvix {

namespace {

// A node type is mapped by id (NodeIndexTable, 4 bytes per node) when it has at most this many times
// the nodes the previous call sampled of it: a lookup in a table that much larger than the sample
// misses the cache more often than a hash table sized by the sample does.
constexpr int64_t kTableSpread = 8;
// A call on several threads numbers nodes through the tables, so a type takes one when it is small,
// or when the previous call sampled a 64th of its nodes.
constexpr int64_t kSplitTableSpread = 64;
constexpr int64_t kSplitTableNodes = int64_t{1} << 22;

// Whether every seed has one batch value: the call grows one subgraph.
bool grows_one_subgraph(const SeedSet& seeds) {
  const int64_t* only = nullptr;
  for (const SeedsOfType& typed : seeds.types) {
    for (const int64_t& batch : typed.batch) {
      if (only == nullptr) only = &batch;
      if (batch != *only) return false;
    }
  }
  return true;
}

bool every_type_by_id(const std::vector<NodeTypeState>& states) {
  return std::all_of(states.begin(), states.end(), [](const NodeTypeState& state) { return state.node_index != nullptr; });
}

// Per distinct node type, the state of a call. With `tables` (a call that grows one subgraph), a type
// whose previous call sampled enough of its nodes (with `every_type`, a laxer bound) maps ids by its
// table instead of its hash map; returns whether any type does.
bool make_node_states(NeighborSampler& sampler, std::vector<LocalIndexMap>& local_index_maps,
                      std::vector<NodeIndexTable>* tables, bool every_type, int64_t seed_count,
                      std::vector<NodeTypeState>& states) {
  const GraphSchema& schema = sampler.schema();
  states.assign(schema.distinct_node_types.size(), NodeTypeState{});
  if (tables != nullptr) tables->resize(states.size());
  bool any_table = false;
  for (std::size_t slot = 0; slot < states.size(); ++slot) {
    const NodeType& name = schema.distinct_node_types[slot];
    NodeTypeState& state = states[slot];
    state.batch = &sampler.out_batch.at(name);
    state.node = &sampler.out_node.at(name);
    state.counts = &sampler.num_sampled_nodes.at(name);
    state.local_index = &local_index_maps[slot];
    state.local_index->clear();
    const int64_t node_count = sampler.node_counts()[slot];
    // The result list starts at about the previous call's length.
    const auto previous = static_cast<int64_t>(state.node->capacity());
    const bool worth_a_table = node_count <= kTableSpread * previous ||
                               (every_type && (node_count <= kSplitTableSpread * previous || node_count <= kSplitTableNodes));
    if (tables != nullptr && worth_a_table && NodeIndexTable::fits(node_count, seed_count)) {
      state.node_index = &(*tables)[slot];
      state.node_index->start(node_count, seed_count);
      any_table = true;
    }
    describe_node_type(sampler, slot, state);
  }
  return any_table;
}

// Seeds become the first frontier of their types, in the given order: seed i of a type takes local
// index i. A seed repeated within its subgraph keeps its own place, and edges reaching the id later
// point at its first occurrence.
void add_seeds(std::vector<NodeTypeState>& states, const SeedSet& seeds) {
  for (const SeedsOfType& typed : seeds.types) {
    NodeTypeState& state = states[typed.slot];
    const std::size_t n = typed.ids.size();
    const bool by_id = state.node_index != nullptr;
    if (!by_id) state.local_index->reserve(n);
    int64_t* const batches = state.batch->open_tail(n);
    int64_t* const nodes = state.node->open_tail(n);
    for (std::size_t i = 0; i < n; ++i) {
      if (by_id) {
        if (!state.node_index->insert(typed.ids[i]).inserted) state.node_index->skip_local();
      } else if (!state.local_index->insert(typed.batch[i], typed.ids[i]).inserted) {
        state.local_index->skip_local();
      }
      batches[i] = typed.batch[i];
      nodes[i] = typed.ids[i];
    }
    state.batch->commit(n);
    state.node->commit(n);
    state.frontier_begin = 0;
    state.frontier_end = static_cast<int64_t>(n);
    state.counts->front() = static_cast<int64_t>(n);
  }
}

}  // namespace

template <bool kEdgeIds>
std::conditional_t<kEdgeIds, SampleWithEdgeIdsResult, SampleResult> NeighborSampler::sample_checked(
    const py::dict& num_neighbors, const py::dict& sampling_time_offsets, const std::string& entity_table,
    const py::array& seed_node, const py::array& seed_time) {
  const CallGuard guard(*this);
  validate_sample_request(*this, num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time);
  const TemporalStrategy strategy = temporal_strategy;
  call_replace = replace;
  const bool per_seed = disjoint;
  const uint64_t num_hops = count_hops(*this, num_neighbors, sampling_time_offsets);
  const SeedSet seeds = seeds_of_call(*this, entity_table, seed_node, seed_time, per_seed);
  return sample_seeds<kEdgeIds>(num_neighbors, sampling_time_offsets, strategy, num_hops, seeds);
}

SampleWithEdgeIdsResult NeighborSampler::sample_groups(const py::dict& num_neighbors,
                                                       const py::dict& sampling_time_offsets,
                                                       const py::dict& seed_nodes, const py::dict& seed_groups,
                                                       const py::array& group_time) {
  const CallGuard guard(*this);
  validate_array_dict(num_neighbors, "num_neighbors", edge_type_keys, 1, true);
  validate_array_dict(sampling_time_offsets, "sampling_time_offsets", edge_type_keys, 2, false);
  const SeedSet seeds = read_seed_groups(*this, seed_nodes, seed_groups, group_time);
  const TemporalStrategy strategy = temporal_strategy;
  call_replace = replace;
  const uint64_t num_hops = count_hops(*this, num_neighbors, sampling_time_offsets);
  check_seed_ids(*this, seeds);
  return sample_seeds<true>(num_neighbors, sampling_time_offsets, strategy, num_hops, seeds);
}

template <bool kEdgeIds>
std::conditional_t<kEdgeIds, SampleWithEdgeIdsResult, SampleResult> NeighborSampler::sample_seeds(
    const py::dict& num_neighbors, const py::dict& sampling_time_offsets, TemporalStrategy strategy,
    uint64_t num_hops, const SeedSet& seeds) {
  // Before anything is allocated, and the same on every thread count.
  if (call_replace) check_replaced_fan_outs(num_neighbors, edge_type_keys);
  const auto threads = static_cast<std::size_t>(num_threads);
  // A lowered thread count stops the workers beyond it; one thread keeps no pool and no chunks.
  if (threads == 1) parallel_.reset();
  if (parallel_) parallel_->pool.fit(threads);
  if (threads > 1) {
    if (!parallel_) parallel_ = std::make_unique<ParallelState>();
    auto result = sample_in_parallel<kEdgeIds>(*this, *parallel_, threads, strategy, num_neighbors,
                                               sampling_time_offsets, num_hops, seeds);
    if (result) return std::move(*result);
  }
  reset_call_tables(kEdgeIds);
  try {
    int64_t seed_count = 0;
    for (const SeedsOfType& typed : seeds.types) seed_count += static_cast<int64_t>(typed.ids.size());
    std::vector<NodeTypeState> node_states;
    const bool one_subgraph = grows_one_subgraph(seeds);
    // Several threads number one subgraph's nodes through every type's table.
    const bool split = one_subgraph && threads > 1;
    bool by_id = make_node_states(*this, local_index_maps_, one_subgraph ? &node_index_tables_ : nullptr, split,
                                  seed_count, node_states);
    add_seeds(node_states, seeds);
    bool grown = false;
    if (split && every_type_by_id(node_states)) {
      // One subgraph on every thread, when every rule reads without failing; a step that fails makes
      // the call start over on one thread, which meets the failure after the same draws.
      SplitRequest request;
      UnitWalk walk;
      read_plans(*this, num_neighbors, sampling_time_offsets, num_hops, !seeds.time_of_batch.empty(), strategy,
                 request, walk);
      if (!request.deferred) {
        const MersenneTwister before = generator;
        const StorageBound bound(*parallel_);
        ThreadPool& pool = parallel_->pool.get(threads);
        const PoolCall call(pool, threads);
        grown = grow_subgraph_in_parallel<kEdgeIds>(*this, pool, request, seeds.time_of_batch, node_states,
                                                    parallel_->parts, parallel_->drawn);
        if (!grown) {
          generator = before;
          reset_call_tables(kEdgeIds);
          by_id = make_node_states(*this, local_index_maps_, &node_index_tables_, false, seed_count, node_states);
          add_seeds(node_states, seeds);
        }
      }
    }
    if (grown) {
      // sampled
    } else if (by_id) {
      sample_hops<EdgeSampling<MersenneTwister, kEdgeIds, true>>(num_neighbors, sampling_time_offsets, strategy,
                                                                 num_hops, seeds.time_of_batch, node_states);
    } else {
      sample_hops<EdgeSampling<MersenneTwister, kEdgeIds>>(num_neighbors, sampling_time_offsets, strategy, num_hops,
                                                           seeds.time_of_batch, node_states);
    }
    if constexpr (kEdgeIds) {
      py::dict edge_ids;
      const SampleResult result = assemble_result(*this, &edge_ids);
      return std::tuple_cat(result, std::make_tuple(edge_ids));
    } else {
      return assemble_result(*this);
    }
  } catch (...) {
    // Release what the failed call gathered; the next call starts from a fresh reset regardless.
    clear_call_tables();
    throw;
  }
}

template <typename Edges>
void NeighborSampler::sample_hops(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                                  TemporalStrategy strategy, uint64_t num_hops, const std::vector<int64_t>& seed_times,
                                  std::vector<NodeTypeState>& node_states) {
  IndexSet chosen;
  for (uint64_t hop = 0; hop < num_hops; ++hop) {
    for (std::size_t i = 0; i < edge_types.size(); ++i) {
      const EdgeTypeKey& key = edge_type_keys[i];
      const EdgeTypeSlots& slots = schema_.edge_type_slots[i];
      if (slots.frontier == kNoSlot) {
        throw std::out_of_range("Frontier type '" + frontier_type(edge_types[i]) + "' of '" + key +
                                "' is not in 'node_types'.");
      }
      std::vector<int64_t>& edge_counts = num_sampled_edges.at(key);
      edge_counts.push_back(0);
      NodeTypeState& neighbours = node_states[slots.neighbour];
      const HopPlan plan{fetch_hop_rule(num_neighbors, sampling_time_offsets, key, hop),
                         edge_type_timed(i) && !seed_times.empty(), strategy};
      Edges edges{&key,
                  &frontier_type(edge_types[i]),
                  &neighbour_type(edge_types[i]),
                  colptr.at(key),
                  row.at(key),
                  neighbours.node_time,
                  &neighbours,
                  &out_row.at(key),
                  &out_col.at(key),
                  Edges::kRecordsEdgeIds ? &out_edge.at(key) : nullptr,
                  &edge_counts.back(),
                  &generator,
                  &chosen};
      describe_edge_type(*this, i, edges);
      const NodeTypeState& frontier = node_states[slots.frontier];
      expand_frontier(edges, frontier, frontier.frontier_begin, frontier.frontier_end, plan, seed_times);
    }
    // The nodes each type gained in this hop become its next frontier. A repeated name finds its
    // range already moved on and counts 0.
    for (const std::size_t slot : schema_.node_type_slots) {
      NodeTypeState& state = node_states[slot];
      state.frontier_begin = state.frontier_end;
      state.frontier_end = static_cast<int64_t>(state.node->size());
      state.counts->push_back(state.frontier_end - state.frontier_begin);
    }
  }
}

// Kept out of line, as the entry points a profiler switches its counting on around.
__attribute__((noinline)) SampleResult NeighborSampler::sample(const py::dict& num_neighbors,
                                                               const py::dict& sampling_time_offsets,
                                                               const std::string& entity_table,
                                                               const py::array& seed_node, const py::array& seed_time) {
  return sample_checked<false>(num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time);
}

__attribute__((noinline)) SampleWithEdgeIdsResult NeighborSampler::sample_with_edge_ids(const py::dict& num_neighbors,
                                                              const py::dict& sampling_time_offsets,
                                                              const std::string& entity_table,
                                                              const py::array& seed_node,
                                                              const py::array& seed_time) {
  return sample_checked<true>(num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time);
}

}  // namespace quorvix
