// Per-edge arrays of an edge type: a time and a weight for every position of its row.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "graph/int64_span.hpp"
#include "graph/keys.hpp"
#include "graph/tables.hpp"

namespace quorvix {

namespace py = pybind11;

// An edge type's weights with what a weighted draw searches instead of the weights themselves.
struct EdgeWeights {
  const double* weight = nullptr;  // one per position of row
  int64_t size = 0;
  // cumulative[p]: the sum of the weights from the start of p's run to p inclusive, in position order,
  // negative, NaN and infinite weights counted as 0. When colptr does not tile row in node order
  // (see check()), the sum runs from position 0 instead, for every run.
  std::vector<double> cumulative;
  bool per_run = true;
  // zeros_before[p]: the number of weights equal to 0 before position p, modulo 2**32 (a difference
  // of two entries counts a range shorter than that exactly); size + 1 entries.
  std::vector<uint32_t> zeros_before;
  // Ascending positions whose weight is negative, NaN or infinite.
  std::vector<int64_t> invalid_positions;

  // The sum of the weights before `start`, as cumulative counts it (start is a run's first position).
  double before(int64_t start) const { return per_run || start == 0 ? 0.0 : cumulative[start - 1]; }
  // The number of weights equal to 0 in [start, end).
  int64_t zeros_in(int64_t start, int64_t end) const;
};

// What an edge type has beyond colptr and row; empty members when not given.
struct EdgeFeatures {
  bool timed = false;
  Int64Span time;
  const EdgeWeights* weights = nullptr;
};

// The first entry of `positions` in [start, end), or -1.
int64_t first_in(const std::vector<int64_t>& positions, int64_t start, int64_t end);

// Checks the edge_time and edge_weight dicts: keys, dimensions, dtypes (int64 times; float64 or
// float32 weights) and lengths against `row`. Throws std::runtime_error at the first fault.
void validate_edge_arrays(const py::dict& edge_time, const py::dict& edge_weight,
                          const std::vector<EdgeTypeKey>& keys, const ArrayTable& row);

// The weights as contiguous native float64: the array itself when it is one, else a converted copy.
py::array_t<double, py::array::c_style | py::array::forcecast> native_float64(const py::array& array);

// Builds the search structures of `weights` (whose weight and size are set) over the runs of `colptr`.
void index_weights(EdgeWeights& weights, Int64Span colptr);

}  // namespace quorvix
