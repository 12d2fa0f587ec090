// Per-edge arrays of an edge type: a time and a weight for every position of its row.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "graph/int64_span.hpp"

namespace quorvix {

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
  // Ascending nodes whose run is not sorted by the time sampling reads (see run_order.hpp).
  std::vector<int64_t> unsorted_nodes;
};

// The first entry of `positions` in [start, end), or -1.
int64_t first_in(const std::vector<int64_t>& positions, int64_t start, int64_t end);

// Builds the search structures of `weights` (whose weight and size are set) over the runs of `colptr`.
void index_weights(EdgeWeights& weights, Int64Span colptr);

}  // namespace quorvix
