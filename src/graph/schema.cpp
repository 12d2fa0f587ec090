#include "graph/schema.hpp"

#include <algorithm>
#include <stdexcept>

namespace quorvix {

namespace {

std::size_t slot_of(const std::vector<std::string>& names, const std::string& name) {
  const auto it = std::find(names.begin(), names.end(), name);
  return it == names.end() ? kNoSlot : static_cast<std::size_t>(it - names.begin());
}

std::size_t add_distinct(std::vector<std::string>& names, const std::string& name) {
  const std::size_t slot = slot_of(names, name);
  if (slot != kNoSlot) return slot;
  names.push_back(name);
  return names.size() - 1;
}

}  // namespace

std::size_t GraphSchema::node_slot(const NodeType& name) const { return slot_of(distinct_node_types, name); }

GraphSchema build_schema(const std::vector<NodeType>& node_types, const std::vector<EdgeType>& edge_types,
                         const std::vector<EdgeTypeKey>& edge_type_keys) {
  GraphSchema schema;
  for (const NodeType& name : node_types) {
    schema.node_type_slots.push_back(add_distinct(schema.distinct_node_types, name));
  }
  for (std::size_t i = 0; i < edge_types.size(); ++i) {
    const std::size_t neighbour = schema.node_slot(neighbour_type(edge_types[i]));
    if (neighbour == kNoSlot) {
      throw std::runtime_error("Edge type '" + edge_type_keys[i] + "' has neighbour type '" +
                               neighbour_type(edge_types[i]) + "', which is not in 'node_types'.");
    }
    schema.edge_type_slots.push_back(EdgeTypeSlots{add_distinct(schema.distinct_keys, edge_type_keys[i]),
                                                   neighbour, schema.node_slot(frontier_type(edge_types[i]))});
  }
  return schema;
}

}  // namespace quorvix
