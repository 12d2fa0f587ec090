#include "graph/edge_features.hpp"

#include <algorithm>
#include <cmath>

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

// Whether the runs of colptr are disjoint and in node order inside row.
bool tiles(Int64Span colptr, int64_t row_size) {
  for (int64_t i = 0; i < colptr.size; ++i) {
    if (colptr[i] < 0 || colptr[i] > row_size || (i > 0 && colptr[i - 1] > colptr[i])) return false;
  }
  return true;
}

}  // namespace

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
