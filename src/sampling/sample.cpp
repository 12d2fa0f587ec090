// The hop-wise driver of NeighborSampler::sample: seeding, then every hop over every edge type.
#include <stdexcept>
#include <string>
#include <vector>

#include "graph/native_int64.hpp"
#include "graph/neighbor_sampler.hpp"
#include "sampling/call_setup.hpp"
#include "sampling/call_state.hpp"
#include "sampling/expand.hpp"
#include "sampling/hop_rule.hpp"
#include "sampling/parallel_sample.hpp"
#include "sampling/recording.hpp"
#include "sampling/request.hpp"
#include "sampling/result.hpp"

namespace quorvix {

namespace {

std::vector<NodeTypeState> make_node_states(NeighborSampler& sampler, std::vector<LocalIndexMap>& local_index_maps) {
  const GraphSchema& schema = sampler.schema();
  std::vector<NodeTypeState> states(schema.distinct_node_types.size());
  for (std::size_t slot = 0; slot < states.size(); ++slot) {
    const NodeType& name = schema.distinct_node_types[slot];
    NodeTypeState& state = states[slot];
    state.batch = &sampler.out_batch.at(name);
    state.node = &sampler.out_node.at(name);
    state.counts = &sampler.num_sampled_nodes.at(name);
    state.local_index = &local_index_maps[slot];
    state.local_index->clear();
    describe_node_type(sampler, slot, state);
  }
  return states;
}

// Seeds become the first frontier of the entity table, seed i with batch and local index i.
// Returns the seed times: given ones, else the seeds' own timestamps, else none.
std::vector<int64_t> add_seeds(const NeighborSampler& sampler, NodeTypeState& seeds, const NodeType& entity_table,
                               const py::array& seed_node, const py::array& seed_time) {
  const NativeInt64Array seed_array = native_int64(seed_node);
  const Int64Span seed_ids = span_of(seed_array);
  const int64_t n = seed_ids.size;
  seeds.batch->reserve(static_cast<std::size_t>(n));
  seeds.node->reserve(static_cast<std::size_t>(n));
  seeds.local_index->reserve(static_cast<std::size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    check_node_id(seeds, entity_table, seed_ids[i]);
    seeds.local_index->insert(i, seed_ids[i]);
    seeds.batch->push_back(i);
    seeds.node->push_back(seed_ids[i]);
  }
  seeds.frontier_begin = 0;
  seeds.frontier_end = n;
  seeds.counts->front() = n;
  return seed_times_of(sampler, seeds, entity_table, seed_ids, seed_time);
}

}  // namespace

template <bool kEdgeIds>
std::conditional_t<kEdgeIds, SampleWithEdgeIdsResult, SampleResult> NeighborSampler::sample_checked(
    const py::dict& num_neighbors, const py::dict& sampling_time_offsets, const std::string& entity_table,
    const py::array& seed_node, const py::array& seed_time) {
  using Edges = EdgeSampling<std::mt19937, kEdgeIds>;
  const CallGuard guard(*this);
  validate_sample_request(*this, num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time);
  const TemporalStrategy strategy = temporal_strategy;
  if (num_threads > 1) {
    if (!parallel_) parallel_ = std::make_unique<ParallelState>();
    const auto threads = static_cast<std::size_t>(num_threads);
    auto result = sample_in_parallel<kEdgeIds>(*this, *parallel_, threads, strategy, num_neighbors,
                                               sampling_time_offsets, entity_table, seed_node, seed_time);
    if (result) return std::move(*result);
  }
  reset_call_tables(kEdgeIds);
  try {
    std::vector<NodeTypeState> node_states = make_node_states(*this, local_index_maps_);
    IndexSet chosen;
    const uint64_t num_hops = count_hops(*this, num_neighbors, sampling_time_offsets);
    const std::vector<int64_t> seed_times =
        add_seeds(*this, node_states[schema_.node_slot(entity_table)], entity_table, seed_node, seed_time);

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
                           !node_time.empty() && neighbours.has_node_time && !seed_times.empty(), strategy};
        const Edges edges{&key,
                          &frontier_type(edge_types[i]),
                          &neighbour_type(edge_types[i]),
                          colptr.at(key),
                          row.at(key),
                          neighbours.node_time,
                          &neighbours,
                          &out_row.at(key),
                          &out_col.at(key),
                          kEdgeIds ? &out_edge.at(key) : nullptr,
                          &edge_counts.back(),
                          &generator,
                          &chosen};
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
