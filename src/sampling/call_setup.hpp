// What every sample call, on one thread or several, reads from the sampler and the seed arguments
// before it samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <pybind11/numpy.h>

#include "graph/int64_span.hpp"
#include "sampling/call_state.hpp"
#include "sampling/neighbor_sampler.hpp"

namespace quorvix {

namespace py = pybind11;

// Sets the parts of a node type's state that come from the graph: its timestamps and its id bound.
void describe_node_type(const NeighborSampler& sampler, std::size_t slot, NodeTypeState& state);

// Sets what edge type i brings beyond colptr and row to a hop's edge view: its times, its weights,
// and the call's replace setting.
template <typename Edges>
void describe_edge_type(const NeighborSampler& sampler, std::size_t i, Edges& edges) {
  const EdgeFeatures& features = sampler.edge_features(i);
  edges.edge_time = features.timed ? features.time.data : nullptr;
  edges.weights = features.weights;
  edges.replace = sampler.call_replace;
  edges.unsorted_nodes = features.unsorted_nodes.empty() ? nullptr : &features.unsorted_nodes;
}

// The seed times of a call whose seeds are already checked: the given ones, else the seeds' own
// timestamps, else none. A sampler without node or edge times never uses seed times, whatever seed_time holds.
std::vector<int64_t> seed_times_of(const NeighborSampler& sampler, const NodeTypeState& seeds,
                                   const NodeType& entity_table, Int64Span seed_ids, const py::array& seed_time);

}  // namespace quorvix
