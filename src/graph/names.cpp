#include "graph/names.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace quorvix {

namespace {

// The name as written in a message, with a NUL shown as \x00 so that the message stays one string.
std::string printable(const std::string& name) {
  std::string text;
  for (const char c : name) {
    if (c == '\0') {
      text += "\\x00";
    } else {
      text += c;
    }
  }
  return text;
}

std::string quoted_triple(const EdgeType& edge_type) {
  const auto& [neighbour, relation, frontier] = edge_type;
  return "('" + printable(neighbour) + "', '" + printable(relation) + "', '" + printable(frontier) + "')";
}

void refuse_nul(const std::string& name, const char* argument) {
  // The Python side compares names only up to a NUL in some lookups; such a name would lose its entries.
  if (name.find('\0') != std::string::npos) {
    throw std::runtime_error("Name '" + printable(name) + "' in '" + argument + "' contains a NUL character.");
  }
}

}  // namespace

void check_type_names(const std::vector<NodeType>& node_types, const std::vector<EdgeType>& edge_types,
                      const std::vector<EdgeTypeKey>& edge_type_keys) {
  for (const NodeType& name : node_types) refuse_nul(name, "node_types");
  for (const EdgeType& edge_type : edge_types) {
    refuse_nul(std::get<0>(edge_type), "edge_types");
    refuse_nul(std::get<1>(edge_type), "edge_types");
    refuse_nul(std::get<2>(edge_type), "edge_types");
  }
  std::unordered_set<NodeType> seen_node_types;
  for (const NodeType& name : node_types) {
    // A second entry would share the first one's tables and stop expanding after one hop.
    if (!seen_node_types.insert(name).second) {
      throw std::runtime_error("Node type '" + name + "' appears twice in 'node_types'.");
    }
  }
  std::unordered_map<EdgeTypeKey, std::size_t> first_with_key;
  for (std::size_t i = 0; i < edge_types.size(); ++i) {
    const auto [entry, inserted] = first_with_key.emplace(edge_type_keys[i], i);
    if (inserted) continue;
    const EdgeType& first = edge_types[entry->second];
    if (first == edge_types[i]) {
      throw std::runtime_error("Edge type " + quoted_triple(first) + " appears twice in 'edge_types'.");
    }
    // Every table is keyed by the joined names, so the two would share arrays and results.
    throw std::runtime_error("Edge types " + quoted_triple(first) + " and " + quoted_triple(edge_types[i]) +
                             " share the key '" + edge_type_keys[i] + "'.");
  }
}

}  // namespace quorvix
