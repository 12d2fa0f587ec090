#include "graph/keys.hpp"

namespace quorvix {

EdgeTypeKey edge_type_key(const EdgeType& edge_type) {
  const auto& [neighbour, relation, frontier] = edge_type;
  EdgeTypeKey key;
  key.reserve(neighbour.size() + relation.size() + frontier.size() + 4);
  key.append(neighbour).append("__").append(relation).append("__").append(frontier);
  return key;
}

}  // namespace quorvix
