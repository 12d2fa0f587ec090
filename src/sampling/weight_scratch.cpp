#include "sampling/weight_scratch.hpp"

#include <cmath>

namespace quorvix {

void RunScratch::load(const EdgeWeights& weights, int64_t start) {
  std::copy(weights.weight + start, weights.weight + start + static_cast<int64_t>(size), weight);
  for (std::size_t i = 0; i < taken_count; ++i) weight[static_cast<std::size_t>(taken[i] - start)] = 0.0;
  scaled_down = false;
  sum_from(0);
}

void RunScratch::sum_from(std::size_t from) {
  double sum = from == 0 ? 0.0 : prefix[from - 1];
  for (std::size_t i = from; i < size; ++i) {
    sum += weight[i];
    prefix[i] = sum;
  }
}

std::size_t find_in_scratch(RunScratch& scratch, const EdgeWeights& weights, int64_t start, double fraction) {
  double total = scratch.total();
  if (scratch.scaled_down && total < kTiny) {
    // Scaling down may have rounded away the small weights now left: read them again as given.
    scratch.load(weights, start);
    total = scratch.total();
  }
  if (std::isinf(total)) {
    for (std::size_t i = 0; i < scratch.size; ++i) scratch.weight[i] *= kScaleDown;
    scratch.scaled_down = true;
    scratch.sum_from(0);
    total = scratch.total();
  }
  const double scale = total < kTiny ? kScaleUp : 1.0;
  const double target = fraction * (total * scale);
  auto found = static_cast<std::size_t>(
      std::upper_bound(scratch.prefix, scratch.prefix + scratch.size, target,
                       [scale](double t, double sum) { return t < sum * scale; }) -
      scratch.prefix);
  if (found == scratch.size) {
    // The product rounded up to the whole sum: the last weight left.
    do {
      --found;
    } while (scratch.weight[found] == 0.0);
  }
  return found;
}

int64_t take_from_scratch(RunScratch& scratch, const EdgeWeights& weights, int64_t start, double fraction,
                          bool more) {
  const std::size_t found = find_in_scratch(scratch, weights, start, fraction);
  scratch.weight[found] = 0.0;
  if (more) scratch.sum_from(found);
  const int64_t position = start + static_cast<int64_t>(found);
  scratch.taken[scratch.taken_count++] = position;
  return position;
}

}  // namespace quorvix
