#include "graph/neighbor_sampler.hpp"

#include <stdexcept>
#include <utility>

#include "graph/array_dict.hpp"
#include "graph/names.hpp"
#include "graph/native_int64.hpp"
#include "graph/node_counts.hpp"
#include "graph/without_gil.hpp"
#include "sampling/parallel_state.hpp"

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
                                 const py::dict& node_time_dict, int seed, const py::dict& edge_time_dict,
                                 const py::dict& edge_weight_dict)
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
  // Refusals of graphs that the checks above accept but that would give corrupted results.
  check_type_names(node_types, edge_types, edge_type_keys);
  require_str_keys(node_time_dict, "node_time");
  schema_ = build_schema(node_types, edge_types, edge_type_keys);
  keep_edge_arrays(edge_time_dict, edge_weight_dict);
  node_counts_ = known_node_counts(schema_, edge_type_keys, colptr, node_time);
  local_index_maps_.resize(schema_.distinct_node_types.size());
  generator.seed(static_cast<uint32_t>(seed));
}

NeighborSampler::~NeighborSampler() = default;

void NeighborSampler::keep_edge_arrays(const py::dict& edge_time_dict, const py::dict& edge_weight_dict) {
  validate_edge_arrays(edge_time_dict, edge_weight_dict, edge_type_keys, row);
  edge_features_.resize(edge_types.size());
  for (std::size_t i = 0; i < edge_types.size(); ++i) {
    const EdgeTypeKey& key = edge_type_keys[i];
    EdgeFeatures& features = edge_features_[i];
    if (dict_contains(edge_time_dict, key)) {
      keep_array(edge_time, key, read_array_item(edge_time_dict, key));
      features.timed = true;
      features.time = edge_time.at(key);
    }
    if (dict_contains(edge_weight_dict, key)) {
      const auto native = native_float64(read_array_item(edge_weight_dict, key));
      EdgeWeights& weights = edge_weights_[key];
      weights.weight = native.data();
      weights.size = static_cast<int64_t>(native.size());
      kept_arrays_.push_back(native);
      index_weights(weights, colptr.at(key));
      features.weights = &weights;
    }
  }
}

bool NeighborSampler::edge_type_timed(std::size_t i) const {
  return edge_features_[i].timed || node_time.count(neighbour_type(edge_types[i])) != 0;
}

void NeighborSampler::keep_array(ArrayTable& table, const std::string& key, const py::array& array) {
  NativeInt64Array native = native_int64(array);
  table[key] = span_of(native);
  kept_arrays_.push_back(std::move(native));
}

NeighborSampler::CallGuard::CallGuard(NeighborSampler& sampler) : sampler_(sampler) {
  if (!sampler.call_mutex_.try_lock()) {
    // Only this thread can have stored its own id, and it clears it before unlocking.
    if (sampler.call_owner_.load() == std::this_thread::get_id()) {
      throw std::runtime_error(
          "sample() was called on a sampler from within a sample() call on the same sampler.");
    }
    // The running call needs the interpreter lock to finish.
    without_gil([&] { sampler.call_mutex_.lock(); });
  }
  sampler.call_owner_.store(std::this_thread::get_id());
}

NeighborSampler::CallGuard::~CallGuard() {
  sampler_.call_owner_.store(std::thread::id());
  sampler_.call_mutex_.unlock();
}

std::array<ResultListTable*, 5> NeighborSampler::result_tables() {
  return {&out_col, &out_row, &out_batch, &out_node, &out_edge};
}

void NeighborSampler::reset_call_tables(bool with_edge_ids) {
  clear_call_tables();
  for (const std::string& name : node_types) num_sampled_nodes[name].assign(1, 0);
  for (const EdgeTypeKey& key : edge_type_keys) num_sampled_edges[key].assign(1, 0);
  const std::array<ResultListTable*, 5> tables = result_tables();
  for (std::size_t i = 0; i < tables.size(); ++i) {
    if (tables[i] == &out_edge && !with_edge_ids) continue;
    const bool by_node_type = tables[i] == &out_batch || tables[i] == &out_node;
    for (const std::string& key : by_node_type ? node_types : edge_type_keys) {
      const auto size = result_sizes_[i].find(key);
      // A little room over the previous call's length, so that a slightly larger call fits too.
      const std::size_t capacity = size == result_sizes_[i].end() ? 0 : size->second + size->second / 8;
      (*tables[i])[key] = Int64List::in_numpy_array(capacity);
    }
  }
}

void NeighborSampler::remember_result_sizes() {
  const std::array<ResultListTable*, 5> tables = result_tables();
  for (std::size_t i = 0; i < tables.size(); ++i) {
    for (const auto& [key, list] : *tables[i]) result_sizes_[i][key] = list.size();
  }
}

void NeighborSampler::clear_call_tables() {
  num_sampled_nodes.clear();
  num_sampled_edges.clear();
  for (ResultListTable* table : result_tables()) table->clear();
}

}  // namespace quorvix
