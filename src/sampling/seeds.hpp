// The seeds of a call: per seeded node type the ids and the batch value of every seed, and the time
// that rules every batch value's subgraph.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "graph/keys.hpp"
#include "sampling/neighbor_sampler.hpp"

namespace quorvix {

namespace py = pybind11;

// A node's identity within a call is (batch value, global id): nodes with one batch value form one
// subgraph, and every node inherits the batch value of the frontier node that reached it.
struct SeedsOfType {
  std::size_t slot = 0;  // schema slot of the type
  NodeType name;
  std::vector<int64_t> ids;    // copied, so nothing the caller does meanwhile can change them
  std::vector<int64_t> batch;  // aligned with ids
};

struct SeedSet {
  std::vector<SeedsOfType> types;      // in the caller's order
  std::vector<int64_t> time_of_batch;  // indexed by batch value; empty when no time rule applies

  // Whether every type's batch values are non-decreasing along its seeds: then any range of batch
  // values is a contiguous run of seeds of every type.
  bool batches_sorted() const;
};

// The seeds of sample and sample_with_edge_ids, checked: one type; per seed subgraphs (batch value i
// for seed i), or with `disjoint` false one subgraph per distinct seed time (batch value: the first
// seed with that time; one subgraph for all seeds when the call has no seed times).
SeedSet seeds_of_call(const NeighborSampler& sampler, const NodeType& entity_table, const py::array& seed_node,
                      const py::array& seed_time, bool disjoint);

// The seeds of sample_groups, with every argument check but the id ranges (check_seed_ids).
SeedSet read_seed_groups(const NeighborSampler& sampler, const py::dict& seed_nodes, const py::dict& seed_groups,
                         const py::array& group_time);

// Refuses the first seed id, in order of types and seeds, that is out of its type's range.
void check_seed_ids(const NeighborSampler& sampler, const SeedSet& seeds);

}  // namespace quorvix
