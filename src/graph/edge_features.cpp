#include "graph/edge_features.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "graph/array_dict.hpp"

namespace quorvix {

int64_t EdgeWeights::zeros_in(int64_t start, int64_t end) const {
  if (end - start < (int64_t{1} << 32)) {
    return static_cast<uint32_t>(zeros_before[static_cast<std::size_t>(end)] -
                                 zeros_before[static_cast<std::size_t>(start)]);
  }
  int64_t zeros = 0;
  for (int64_t p = start; p < end; ++p) zeros += weight[p] == 0.0 ? 1 : 0;
  return zeros;
}

int64_t first_in(const std::vector<int64_t>& positions, int64_t start, int64_t end) {
  const auto first = std::lower_bound(positions.begin(), positions.end(), start);
  return first != positions.end() && *first < end ? *first : -1;
}

namespace {

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

// Whether the runs of colptr are disjoint and in node order inside row.
bool tiles(Int64Span colptr, int64_t row_size) {
  for (int64_t i = 0; i < colptr.size; ++i) {
    if (colptr[i] < 0 || colptr[i] > row_size || (i > 0 && colptr[i - 1] > colptr[i])) return false;
  }
  return true;
}

}  // namespace

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

py::array_t<double, py::array::c_style | py::array::forcecast> native_float64(const py::array& array) {
  return py::array_t<double, py::array::c_style | py::array::forcecast>(array);
}

void index_weights(EdgeWeights& weights, Int64Span colptr) {
  const int64_t size = weights.size;
  const double* weight = weights.weight;
  const auto counted = [](double w) { return std::isfinite(w) && w > 0.0 ? w : 0.0; };
  weights.cumulative.assign(static_cast<std::size_t>(size), 0.0);
  weights.zeros_before.assign(static_cast<std::size_t>(size) + 1, 0);
  weights.invalid_positions.clear();
  uint32_t zeros = 0;
  for (int64_t p = 0; p < size; ++p) {
    weights.zeros_before[static_cast<std::size_t>(p)] = zeros;
    if (weight[p] == 0.0) ++zeros;  // wraps past 2**32: only differences of entries are read
    if (!(std::isfinite(weight[p]) && weight[p] >= 0.0)) weights.invalid_positions.push_back(p);
  }
  weights.zeros_before[static_cast<std::size_t>(size)] = zeros;
  weights.per_run = tiles(colptr, size);
  if (!weights.per_run) {
    double sum = 0.0;
    for (int64_t p = 0; p < size; ++p) {
      sum += counted(weight[p]);
      weights.cumulative[static_cast<std::size_t>(p)] = sum;
    }
    return;
  }
  for (int64_t v = 0; v + 1 < colptr.size; ++v) {
    double sum = 0.0;
    for (int64_t p = colptr[v]; p < colptr[v + 1]; ++p) {
      sum += counted(weight[p]);
      weights.cumulative[static_cast<std::size_t>(p)] = sum;
    }
  }
}

}  // namespace quorvix
