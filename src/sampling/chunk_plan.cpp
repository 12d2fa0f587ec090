#include "sampling/chunk_plan.hpp"

#include <stdexcept>
#include <string>

namespace quorvix {

void read_plans(const NeighborSampler& sampler, const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                uint64_t num_hops, bool has_seed_times, TemporalStrategy strategy, SplitRequest& request, UnitWalk& walk) {
  const GraphSchema& schema = sampler.schema();
  const std::size_t edge_types = sampler.edge_types.size();
  walk.hops = static_cast<std::size_t>(num_hops);
  walk.last_hop_edge_types = edge_types;
  for (std::size_t hop = 0; hop < num_hops && !request.deferred; ++hop) {
    request.plans.emplace_back();
    for (std::size_t i = 0; i < edge_types; ++i) {
      try {
        const EdgeTypeKey& key = sampler.edge_type_keys[i];
        if (schema.edge_type_slots[i].frontier == kNoSlot) {
          throw std::out_of_range("Frontier type '" + frontier_type(sampler.edge_types[i]) + "' of '" + key +
                                  "' is not in 'node_types'.");
        }
        request.plans.back().push_back(HopPlan{fetch_hop_rule(num_neighbors, sampling_time_offsets, key, hop),
                                               sampler.edge_type_timed(i) && has_seed_times, strategy});
      } catch (...) {
        request.deferred = std::current_exception();
        walk.hops = hop + 1;
        walk.last_hop_edge_types = i;
        break;
      }
    }
  }
}

bool number_units(const GraphSchema& schema, std::size_t edge_types, const SeedSet& seeds, std::size_t chunks,
                  std::size_t budget, UnitWalk& walk) {
  const std::size_t slots = schema.distinct_node_types.size();
  walk.segments.assign(walk.hops + 1, std::vector<std::size_t>(slots, 0));
  for (const SeedsOfType& typed : seeds.types) walk.segments[0][typed.slot] = 1;
  walk.first_unit.assign(walk.hops, std::vector<std::size_t>(edge_types, 0));
  walk.hop_first_unit.clear();
  walk.unit_edge_type.clear();
  walk.unit_hop.clear();
  walk.units = 0;
  for (std::size_t hop = 0; hop < walk.hops; ++hop) {
    walk.hop_first_unit.push_back(walk.units);
    for (std::size_t i = 0; i < walk.edge_types_in(hop, edge_types); ++i) {
      const EdgeTypeSlots& slot = schema.edge_type_slots[i];
      // An unknown frontier type ends the walk here: reading the rules defers its failure, and the
      // units are numbered again up to it.
      if (slot.frontier == kNoSlot) {
        walk.hop_first_unit.push_back(walk.units);
        return true;
      }
      const std::size_t segments = walk.segments[hop][slot.frontier];
      walk.first_unit[hop][i] = walk.units;
      walk.units += segments;
      walk.segments[hop + 1][slot.neighbour] += segments;
      // Stopping at once also keeps the count (which may grow geometrically) from overflowing.
      if (walk.units * chunks > budget) return false;
      walk.unit_edge_type.insert(walk.unit_edge_type.end(), segments, i);
      walk.unit_hop.insert(walk.unit_hop.end(), segments, hop);
    }
  }
  walk.hop_first_unit.push_back(walk.units);
  return true;
}

}  // namespace quorvix
