#include "module/graph_arguments.hpp"

#include <cstdint>
#include <stdexcept>
#include <utility>

#include <pybind11/numpy.h>

#include "graph/array_dict.hpp"
#include "graph/names.hpp"
#include "graph/native_int64.hpp"
#include "graph/schema.hpp"

namespace quorvix {

namespace {

using NativeFloat64Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

bool has_weight_dtype(const py::array& array) {
  const py::dtype dtype = array.dtype();
  return dtype.kind() == 'f' && (dtype.itemsize() == 8 || dtype.itemsize() == 4);
}

void check_lengths(const py::dict& dict, const std::string& name, const ArrayTable& row) {
  const auto entries = py::reinterpret_steal<py::list>(PyDict_Items(dict.ptr()));
  if (!entries) throw py::error_already_set();
  for (py::handle entry : entries) {
    const auto pair = py::reinterpret_borrow<py::tuple>(entry);
    const std::string key = py::str(pair[0]);
    const int64_t size = static_cast<int64_t>(as_array(pair[1]).size());
    const int64_t expected = row.at(key).size;
    if (size != expected) {
      throw std::runtime_error("Type '" + key + "' in " + name + " has " + std::to_string(size) +
                               " entries, not one per entry of 'row' (" + std::to_string(expected) + ").");
    }
  }
}

// Keys, dimensions, dtypes (int64 times; float64 or float32 weights) and lengths against `row`.
void validate_edge_arrays(const py::dict& edge_time, const py::dict& edge_weight,
                          const std::vector<EdgeTypeKey>& keys, const ArrayTable& row) {
  validate_array_dict(edge_time, "edge_time", keys, 1, true);
  validate_array_dict(edge_weight, "edge_weight", keys, 1, false);
  const auto entries = py::reinterpret_steal<py::list>(PyDict_Items(edge_weight.ptr()));
  if (!entries) throw py::error_already_set();
  for (py::handle entry : entries) {
    const auto pair = py::reinterpret_borrow<py::tuple>(entry);
    const py::array value = as_array(pair[1]);
    if (value.size() != 0 && !has_weight_dtype(value)) {
      throw std::runtime_error("Type '" + static_cast<std::string>(py::str(pair[0])) +
                               "' in edge_weight must have dtype float64 or float32.");
    }
  }
  require_str_keys(edge_time, "edge_time");
  require_str_keys(edge_weight, "edge_weight");
  check_lengths(edge_time, "edge_time", row);
  check_lengths(edge_weight, "edge_weight", row);
}

Int64Span keep_int64(PythonArrays& owner, const py::array& array) {
  NativeInt64Array native = native_int64(array);
  const Int64Span span = span_of(native);
  owner.arrays.push_back(std::move(native));
  return span;
}

Float64Span keep_float64(PythonArrays& owner, const py::array& array) {
  NativeFloat64Array native(array);
  const Float64Span span{native.data(), static_cast<int64_t>(native.size())};
  owner.arrays.push_back(std::move(native));
  return span;
}

}  // namespace

std::shared_ptr<Graph> graph_from_arguments(std::vector<NodeType> node_types, std::vector<EdgeType> edge_types,
                                            const py::dict& colptr, const py::dict& row, const py::dict& node_time,
                                            const py::dict& edge_time, const py::dict& edge_weight,
                                            GraphSource source) {
  const std::vector<EdgeTypeKey> keys = keys_of(edge_types);
  validate_array_dict(colptr, "colptr", keys, 1, true);
  validate_array_dict(row, "row", keys, 1, true);
  GraphArrays arrays;
  arrays.has_node_time = py::len(node_time) != 0;
  validate_array_dict(node_time, "node_time", node_types, 1, true);
  arrays.runs_known_sorted = source.runs_known_sorted;
  auto owner = std::make_shared<PythonArrays>();
  owner->source = std::move(source);
  for (const EdgeTypeKey& key : keys) {
    arrays.colptr[key] = keep_int64(*owner, read_array_item(colptr, key));
    arrays.row[key] = keep_int64(*owner, read_array_item(row, key));
  }
  for (const NodeType& name : node_types) {
    if (dict_contains(node_time, name)) arrays.node_time[name] = keep_int64(*owner, read_array_item(node_time, name));
  }
  // Refusals of graphs that the checks above accept but that would give corrupted results.
  check_type_names(node_types, edge_types, keys);
  require_str_keys(node_time, "node_time");
  GraphSchema schema = build_schema(node_types, edge_types, keys);
  validate_edge_arrays(edge_time, edge_weight, keys, arrays.row);
  for (const EdgeTypeKey& key : keys) {
    if (dict_contains(edge_time, key)) arrays.edge_time[key] = keep_int64(*owner, read_array_item(edge_time, key));
    if (dict_contains(edge_weight, key)) {
      arrays.edge_weight[key] = keep_float64(*owner, read_array_item(edge_weight, key));
    }
  }
  arrays.node_types = std::move(node_types);
  arrays.edge_types = std::move(edge_types);
  return std::make_shared<Graph>(std::move(arrays), std::move(schema), std::move(owner));
}

GraphSource source_of(const Graph& graph) {
  const auto* owner = dynamic_cast<const PythonArrays*>(graph.owner().get());
  return owner == nullptr ? GraphSource{} : owner->source;
}

}  // namespace quorvix
