#include "graph/node_counts.hpp"

#include <algorithm>

namespace quorvix {

std::vector<int64_t> known_node_counts(const GraphSchema& schema, const std::vector<EdgeTypeKey>& edge_type_keys,
                                       const ArrayTable& colptr, const ArrayTable& node_time) {
  std::vector<int64_t> counts(schema.distinct_node_types.size(), kUnknownNodeCount);
  for (std::size_t i = 0; i < edge_type_keys.size(); ++i) {
    const std::size_t frontier = schema.edge_type_slots[i].frontier;
    if (frontier == kNoSlot) continue;
    counts[frontier] = std::max(counts[frontier], colptr.at(edge_type_keys[i]).size - 1);
  }
  // Timestamps, where a type has them, decide: one per node.
  for (std::size_t slot = 0; slot < counts.size(); ++slot) {
    const auto time = node_time.find(schema.distinct_node_types[slot]);
    if (time != node_time.end()) counts[slot] = time->second.size;
  }
  return counts;
}

}  // namespace quorvix
