// The plan of a call split into seed chunks: the rules of every hop, read in one-thread order, and
// the units (hop, edge type, frontier segment) the chunks walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include <pybind11/pybind11.h>

#include "sampling/neighbor_sampler.hpp"
#include "sampling/expand.hpp"
#include "sampling/seeds.hpp"

namespace quorvix {

namespace py = pybind11;

// The walk order of a call over units: hop, then edge type, then frontier segment. A segment of a
// node type's frontier holds the nodes first reached along one path of edge types from the seeds,
// so every chunk has the same segments, and one thread walks them segment by segment, each
// segment chunk by chunk.
struct UnitWalk {
  std::size_t hops = 0;            // hops sampled: all, or up to the one with a deferred failure
  std::size_t last_hop_edge_types = 0;  // edge types sampled in the last of them
  std::vector<std::vector<std::size_t>> segments;   // [hop][node slot]
  std::vector<std::vector<std::size_t>> first_unit;  // [hop][edge type]
  std::vector<std::size_t> hop_first_unit;  // [hop], and the unit count at the end
  std::vector<std::size_t> unit_edge_type;
  std::vector<std::size_t> unit_hop;
  std::size_t units = 0;

  std::size_t edge_types_in(std::size_t hop, std::size_t edge_types) const {
    return hop + 1 == hops ? last_hop_edge_types : edge_types;
  }
};

struct SplitRequest {
  std::vector<std::vector<HopPlan>> plans;  // [hop][edge type]
  std::exception_ptr deferred;  // a failure at the first edge type the walk does not reach
  const SeedSet* seeds = nullptr;
};

// Reads every hop's rule in one-thread order. The first failure (an unknown frontier type, a Python
// error of a lookup or conversion) is kept, not raised: a one-thread call meets it only after
// sampling everything before it, which may fail first.
void read_plans(const NeighborSampler& sampler, const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                uint64_t num_hops, bool has_seed_times, TemporalStrategy strategy, SplitRequest& request, UnitWalk& walk);

// Numbers the units; false, as soon as it knows, when `chunks` chunks would need more than `budget`
// counters to track them.
bool number_units(const GraphSchema& schema, std::size_t edge_types, const SeedSet& seeds, std::size_t chunks,
                  std::size_t budget, UnitWalk& walk);

}  // namespace quorvix
