#include "graph/keys.hpp"

namespace quorvix {

EdgeTypeKey edge_type_key(const EdgeType& edge_type) {
  const auto& [neighbour, relation, frontier] = edge_type;
  EdgeTypeKey key;
  key.reserve(neighbour.size() + relation.size() + frontier.size() + 4);
  key.append(neighbour).append("__").append(relation).append("__").append(frontier);
  return key;
}

std::vector<EdgeTypeKey> keys_of(const std::vector<EdgeType>& edge_types) {
  std::vector<EdgeTypeKey> keys;
  keys.reserve(edge_types.size());
  for (const EdgeType& edge_type : edge_types) keys.push_back(edge_type_key(edge_type));
  return keys;
}

}  // namespace quorvix
