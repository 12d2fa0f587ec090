// Exact weighted picks over one run from a copy of its weights: the weights left and their running
// sums, recomputed rather than subtracted so that no sum cancels, rescaled where a sum would
// underflow or overflow.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/edge_features.hpp"

namespace quorvix {

// Below kTiny a fraction of the sum would round to few bits, so the search compares sums scaled up by
// kScaleUp (exact: a power of two, and far from overflow). A sum that overflows is recomputed from the
// weights scaled down by kScaleDown, which keeps the sum of any 2**62 finite weights finite.
constexpr double kTiny = 0x1p-960;
constexpr double kScaleUp = 0x1p1000;
constexpr double kScaleDown = 0x1p-64;
// Runs at most this long are drawn from RunScratch throughout, cheaper there than searching the
// cumulative sums; their positive weights are counted in place.
constexpr int64_t kShortRun = 64;

// A run's weights (0 once taken) and their running sums. The arrays belong to the caller (see
// with_scratch).
struct RunScratch {
  double* weight;
  double* prefix;  // prefix[i]: weight[0] + ... + weight[i], summed in that order
  std::size_t size;
  int64_t* taken;  // the row positions taken so far, in any order
  std::size_t taken_count = 0;
  bool scaled_down = false;  // weight holds the run's weights times kScaleDown

  double total() const { return prefix[size - 1]; }
  // Copies the weights of the run from `start`, zeroes the taken positions and sums from the start.
  void load(const EdgeWeights& weights, int64_t start);
  // Recomputes prefix from index `from` on.
  void sum_from(std::size_t from);
};

// Calls use(scratch) with a RunScratch for [start, end) that can hold `most_taken` taken positions:
// on the stack for a short run, so that the common case allocates nothing; per thread for a long one.
template <typename Use>
inline void with_scratch(int64_t start, int64_t end, int64_t most_taken, Use use) {
  const auto size = static_cast<std::size_t>(end - start);
  if (end - start <= kShortRun) {
    double buffer[2 * kShortRun];
    int64_t taken[kShortRun];
    RunScratch scratch{buffer, buffer + size, size, taken};
    use(scratch);
    return;
  }
  thread_local std::vector<double> buffer;
  thread_local std::vector<int64_t> taken;
  buffer.resize(2 * size);
  taken.resize(static_cast<std::size_t>(std::min(most_taken, end - start)));
  RunScratch scratch{buffer.data(), buffer.data() + size, size, taken.data()};
  use(scratch);
}

// One pick by weight among the weights left in `scratch`, of which at least one is positive: the index
// of the first running sum that exceeds fraction times the sum of all. `start` is the run's first
// row position, for reading its weights again.
std::size_t find_in_scratch(RunScratch& scratch, const EdgeWeights& weights, int64_t start, double fraction);

// find_in_scratch's pick, taken out of the scratch (its sums brought up to date when `more` picks
// follow); its row position.
int64_t take_from_scratch(RunScratch& scratch, const EdgeWeights& weights, int64_t start, double fraction,
                          bool more);

}  // namespace quorvix
