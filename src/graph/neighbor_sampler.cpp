#include "graph/neighbor_sampler.hpp"

#include <utility>

#include "graph/array_dict.hpp"
#include "graph/native_int64.hpp"

namespace quorvix {

namespace {

std::vector<EdgeTypeKey> keys_of(const std::vector<EdgeType>& edge_types) {
  std::vector<EdgeTypeKey> keys;
  keys.reserve(edge_types.size());
  for (const EdgeType& edge_type : edge_types) keys.push_back(edge_type_key(edge_type));
  return keys;
}

bool validated_has_node_time(const py::dict& colptr, const py::dict& row, const py::dict& node_time,
                             const std::vector<NodeType>& node_types, const std::vector<EdgeTypeKey>& keys) {
  validate_array_dict(colptr, "colptr", keys, 1, true);
  validate_array_dict(row, "row", keys, 1, true);
  const bool has_node_time = py::len(node_time) != 0;
  validate_array_dict(node_time, "node_time", node_types, 1, true);
  return has_node_time;
}

}  // namespace

NeighborSampler::NeighborSampler(std::vector<NodeType> node_types_arg, std::vector<EdgeType> edge_types_arg,
                                 const py::dict& colptr_dict, const py::dict& row_dict,
                                 const py::dict& node_time_dict, int seed)
    : node_types(std::move(node_types_arg)),
      edge_types(std::move(edge_types_arg)),
      edge_type_keys(keys_of(edge_types)),
      has_node_time(validated_has_node_time(colptr_dict, row_dict, node_time_dict, node_types, edge_type_keys)) {
  for (const EdgeTypeKey& key : edge_type_keys) {
    keep_array(colptr, key, read_array_item(colptr_dict, key));
    keep_array(row, key, read_array_item(row_dict, key));
  }
  for (const NodeType& name : node_types) {
    if (dict_contains(node_time_dict, name)) keep_array(node_time, name, read_array_item(node_time_dict, name));
  }
  schema_ = build_schema(node_types, edge_types, edge_type_keys);
  local_index_maps_.resize(schema_.distinct_node_types.size());
  generator.seed(static_cast<uint32_t>(seed));
}

void NeighborSampler::keep_array(ArrayTable& table, const std::string& key, const py::array& array) {
  NativeInt64Array native = native_int64(array);
  table[key] = span_of(native);
  kept_arrays_.push_back(std::move(native));
}

void NeighborSampler::reset_call_tables() {
  clear_call_tables();
  for (const NodeType& name : node_types) {
    num_sampled_nodes[name] = {0};
    out_batch[name].clear();
    out_node[name].clear();
  }
  for (const EdgeTypeKey& key : edge_type_keys) {
    num_sampled_edges[key] = {0};
    out_col[key].clear();
    out_row[key].clear();
  }
}

void NeighborSampler::clear_call_tables() {
  num_sampled_nodes.clear();
  num_sampled_edges.clear();
  out_col.clear();
  out_row.clear();
  out_batch.clear();
  out_node.clear();
}

}  // namespace quorvix
