#include "sampling/request.hpp"

#include <algorithm>
#include <stdexcept>

#include "graph/array_dict.hpp"

namespace quorvix {

void validate_sample_request(const NeighborSampler& sampler, const py::dict& num_neighbors,
                             const py::dict& sampling_time_offsets, const std::string& entity_table,
                             const py::array& seed_node, const py::array& seed_time) {
  validate_array_dict(num_neighbors, "num_neighbors", sampler.edge_type_keys, 1, true);
  validate_array_dict(sampling_time_offsets, "sampling_time_offsets", sampler.edge_type_keys, 2, false);
  validate_array(seed_node, "seed_node", 1, true);
  validate_array(seed_time, "seed_time", 1, true);

  const auto& node_types = sampler.node_types;
  if (std::find(node_types.begin(), node_types.end(), entity_table) == node_types.end()) {
    throw std::runtime_error("Invalid entity table '" + entity_table + "'.");
  }
  // Without node or edge times the seed times are never read, so their count does not matter.
  if (sampler.has_time() && seed_time.size() > 0 && seed_time.size() != seed_node.size()) {
    throw std::runtime_error("'seed_node' and 'seed_time' size mismatch.");
  }
}

uint64_t count_hops(const NeighborSampler& sampler, const py::dict& num_neighbors,
                    const py::dict& sampling_time_offsets) {
  uint64_t num_hops = 0;
  for (std::size_t i = 0; i < sampler.edge_types.size(); ++i) {
    const EdgeTypeKey& key = sampler.edge_type_keys[i];
    if (dict_contains(num_neighbors, key)) {
      if (dict_contains(sampling_time_offsets, key)) {
        throw std::runtime_error(
            "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. '" + key +
            "' appears in both.");
      }
      num_hops = std::max(num_hops, static_cast<uint64_t>(read_array_item(num_neighbors, key).size()));
      continue;
    }
    // Every edge type must be in one of the two dicts: a missing key ends the call with KeyError here.
    const py::array offsets = read_array_item(sampling_time_offsets, key);
    num_hops = std::max(num_hops, static_cast<uint64_t>(offsets.shape(0)));
    const NodeType& neighbour = neighbour_type(sampler.edge_types[i]);
    if (!sampler.edge_type_timed(i)) {
      throw std::runtime_error("'sampling_time_offsets' contains '" + key + "' but " + neighbour +
                               " is not included in 'node_time'.");
    }
    if (read_array_item(sampling_time_offsets, key).shape(1) != 2) {
      throw std::runtime_error("'sampling_time_offsets' at '" + key + "' does not have shape (N, 2).");
    }
  }
  return num_hops;
}

}  // namespace quorvix
