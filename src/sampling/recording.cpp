#include "sampling/recording.hpp"

#include <stdexcept>
#include <string>

namespace quorvix {

void throw_node_id_out_of_range(const NodeType& node_type, int64_t node, uint64_t id_bound) {
  if (node < 0) {
    throw std::runtime_error("Node " + std::to_string(node) + " of type '" + node_type + "' is negative.");
  }
  throw std::runtime_error("Node " + std::to_string(node) + " of type '" + node_type +
                           "' is not below the type's node count " + std::to_string(id_bound) + ".");
}

}  // namespace quorvix
