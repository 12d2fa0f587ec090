#include "sampling/random_fan_out.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "sampling/recording.hpp"
#include "sampling/weight_scratch.hpp"

namespace quorvix {

namespace {

[[noreturn]] __attribute__((noinline, cold)) void throw_invalid_weight(const EdgeTypeKey& key, int64_t position) {
  throw std::runtime_error("'edge_weight' for '" + key + "' at position " + std::to_string(position) +
                           " is negative, NaN or infinite.");
}

// The number of positions of [start, end) with a positive weight, once every weight there is checked.
int64_t positive_weights(const EdgeTypeKey& key, const EdgeWeights& weights, int64_t start, int64_t end) {
  if (!weights.invalid_positions.empty()) {
    const int64_t invalid = first_in(weights.invalid_positions, start, end);
    if (invalid >= 0) throw_invalid_weight(key, invalid);
  }
  if (end - start <= kShortRun) {
    // Counted in place: the run's few weights share cache lines, the zero list's probes do not.
    int64_t positive = 0;
    for (int64_t p = start; p < end; ++p) positive += weights.weight[p] > 0.0 ? 1 : 0;
    return positive;
  }
  return end - start - weights.zeros_in(start, end);
}

int64_t twice(int64_t k) { return k > std::numeric_limits<int64_t>::max() / 2 ? std::numeric_limits<int64_t>::max() : 2 * k; }

// A uniform value in [0, 1) from two engine values: the top 27 bits of the first, then the top 26 of
// the second, as a 53-bit fraction.
template <typename Engine>
double unit_fraction(Engine& engine) {
  const uint64_t high = static_cast<uint32_t>(engine()) >> 5;
  const uint64_t low = static_cast<uint32_t>(engine()) >> 6;
  return static_cast<double>((high << 26) | low) * 0x1p-53;
}

// The positions picked so far by one successive draw, ascending, with the running sum of their widths.
struct Picks {
  std::vector<int64_t> position;
  std::vector<double> width;
  std::vector<double> through;  // through[i]: width[0] + ... + width[i], summed in that order

  void clear() {
    position.clear();
    width.clear();
    through.clear();
  }
  bool contains(int64_t p) const { return std::binary_search(position.begin(), position.end(), p); }
  // The widths of the picked positions up to p inclusive.
  double mass_through(int64_t p) const {
    const auto i = std::upper_bound(position.begin(), position.end(), p) - position.begin();
    return i == 0 ? 0.0 : through[static_cast<std::size_t>(i - 1)];
  }
  double total() const { return through.empty() ? 0.0 : through.back(); }
  void insert(int64_t p, double w) {
    const auto i = static_cast<std::size_t>(std::lower_bound(position.begin(), position.end(), p) - position.begin());
    position.insert(position.begin() + static_cast<std::ptrdiff_t>(i), p);
    width.insert(width.begin() + static_cast<std::ptrdiff_t>(i), w);
    through.resize(position.size());
    for (std::size_t j = i; j < position.size(); ++j) through[j] = (j == 0 ? 0.0 : through[j - 1]) + width[j];
  }
};

// The search over one eligible run [start, end): the cumulative weight from `start` to p inclusive.
struct RunMass {
  const EdgeWeights& weights;
  int64_t start;
  double before;

  double through(int64_t p) const { return weights.cumulative[static_cast<std::size_t>(p)] - before; }
  double width(int64_t p) const {
    return weights.cumulative[static_cast<std::size_t>(p)] -
           (p == start ? before : weights.cumulative[static_cast<std::size_t>(p - 1)]);
  }
};

// The first position of [from, from + length) at which `above(p)` holds, or from + length; the same
// probes as first_after's bisection. `above(p)` reads sums[p]: both entries the next step may probe
// are prefetched, so that on a long run their misses overlap this step's.
template <typename Above>
int64_t first_where(int64_t from, int64_t length, const double* sums, Above above) {
  while (length > 0) {
    const int64_t half = length / 2;
    if (length > kShortRun) {
      __builtin_prefetch(sums + from + half / 2);
      __builtin_prefetch(sums + from + half + 1 + (length - half - 1) / 2);
    }
    const bool hit = above(from + half);
    from = hit ? from : from + half + 1;
    length = hit ? half : length - half - 1;
  }
  return from;
}

// Where rounding let the search land on a slot that cannot be drawn (past the end, zero weight, or
// picked): the first drawable position after it, else the last one before it. One always exists.
int64_t drawable_near(const EdgeWeights& weights, const Picks& picks, int64_t start, int64_t end, int64_t p) {
  const auto drawable = [&](int64_t q) { return weights.weight[q] > 0.0 && !picks.contains(q); };
  if (p < end && drawable(p)) return p;
  for (int64_t q = p; q < end; ++q) {
    if (drawable(q)) return q;
  }
  for (int64_t q = std::min(p, end) - 1; q >= start; --q) {
    if (drawable(q)) return q;
  }
  return start;
}

template <typename Edges>
void successive_sample(const Edges& edges, const FrontierNode& frontier, int64_t start, int64_t end, int64_t k) {
  const EdgeWeights& weights = *edges.weights;
  EdgeRecorder record(edges, frontier, k);
  int64_t i = 0;
  // Draws the picks left from the scratch, `taken` already taken.
  const auto draw_rest = [&](const int64_t* taken, std::size_t taken_count) {
    with_scratch(start, end, k, [&](RunScratch& scratch) {
      std::copy(taken, taken + taken_count, scratch.taken);
      scratch.taken_count = taken_count;
      scratch.load(weights, start);
      for (; i < k; ++i) {
        record.add(take_from_scratch(scratch, weights, start, unit_fraction(*edges.generator), i + 1 < k));
      }
    });
  };
  if (weights.per_run && end - start > kShortRun) {
    // The cumulative sums serve a long run while the mass left is at least half of it: their rounding
    // is then within a few units in the last place of that mass. Past it, the scratch takes over.
    thread_local Picks picks;
    picks.clear();
    const RunMass mass{weights, start, weights.before(start)};
    const double run_total = mass.through(end - 1);
    const bool searchable = std::isfinite(run_total) && run_total >= kTiny;
    for (; searchable && i < k; ++i) {
      const double left = run_total - picks.total();
      if (left < 0.5 * run_total) break;
      const double u = unit_fraction(*edges.generator) * left;
      const int64_t found =
          first_where(start, end - start, weights.cumulative.data(),
                      [&](int64_t q) { return mass.through(q) - picks.mass_through(q) > u; });
      const int64_t p = drawable_near(weights, picks, start, end, found);
      picks.insert(p, mass.width(p));
      record.add(p);
    }
    if (i < k) draw_rest(picks.position.data(), picks.position.size());
  } else {
    draw_rest(nullptr, 0);
  }
  record.finish();
}

// With replacement k does not depend on the run's length: k picks of pick() are recorded in blocks,
// so that a large k grows the edge lists as it fills them rather than reserving all of k up front.
constexpr int64_t kReplacedBlock = int64_t{1} << 12;

template <typename Edges, typename Pick>
void record_replaced(const Edges& edges, const FrontierNode& frontier, int64_t k, Pick pick) {
  for (int64_t left = k; left > 0;) {
    const int64_t block = std::min(left, kReplacedBlock);
    EdgeRecorder record(edges, frontier, block);
    for (int64_t i = 0; i < block; ++i) record.add(pick());
    record.finish();
    left -= block;
  }
}

// Picks with replacement from a run whose cumulative sums cannot be searched: their total is not
// finite or too small for a fraction of it to keep its bits, or they run from position 0.
template <typename Edges>
void replaced_from_scratch(const Edges& edges, const FrontierNode& frontier, int64_t start, int64_t end, int64_t k) {
  with_scratch(start, end, 0, [&](RunScratch& scratch) {
    scratch.load(*edges.weights, start);
    record_replaced(edges, frontier, k, [&] {
      const double fraction = unit_fraction(*edges.generator);
      return start + static_cast<int64_t>(find_in_scratch(scratch, *edges.weights, start, fraction));
    });
  });
}

template <typename Edges>
void weighted_with_replacement(const Edges& edges, const FrontierNode& frontier, int64_t start, int64_t end,
                               int64_t k) {
  static const Picks no_picks;
  const EdgeWeights& weights = *edges.weights;
  const RunMass mass{weights, start, weights.before(start)};
  const double run_total = mass.through(end - 1);
  if (!weights.per_run || !std::isfinite(run_total) || run_total < kTiny) {
    replaced_from_scratch(edges, frontier, start, end, k);
    return;
  }
  record_replaced(edges, frontier, k, [&] {
    const double u = unit_fraction(*edges.generator) * run_total;
    const int64_t found = first_where(start, end - start, weights.cumulative.data(),
                                      [&](int64_t p) { return mass.through(p) > u; });
    return drawable_near(weights, no_picks, start, end, found);
  });
}

}  // namespace

template <typename Edges>
void sample_weighted_or_replaced(const Edges& edges, const FrontierNode& frontier, int64_t start, int64_t end,
                                 int64_t k) {
  if (edges.weights == nullptr) {
    const auto candidates = static_cast<uint64_t>(end - start);
    record_replaced(edges, frontier, k, [&] {
      const uint64_t draw = (*edges.generator)();
      return start + static_cast<int64_t>(draw % candidates);
    });
    return;
  }
  const int64_t positive = positive_weights(*edges.key, *edges.weights, start, end);
  if (edges.replace) {
    if (positive > 0) weighted_with_replacement(edges, frontier, start, end, k);
    return;
  }
  if (positive <= k) {
    EdgeRecorder record(edges, frontier, positive);
    for (int64_t p = start; p < end; ++p) {
      if (edges.weights->weight[p] > 0.0) record.add(p);
    }
    record.finish();
    return;
  }
  successive_sample(edges, frontier, start, end, k);
}

template <typename Edges>
int64_t weighted_or_replaced_draws(const Edges& edges, int64_t start, int64_t end, int64_t k) {
  if (k <= 0 || start == end) return 0;
  if (edges.weights == nullptr) return k;
  const int64_t positive = positive_weights(*edges.key, *edges.weights, start, end);
  if (edges.replace) return positive > 0 ? twice(k) : 0;
  return positive > k ? twice(k) : 0;
}

#define QUORVIX_INSTANTIATE(Edges)                                                                   \
  template void sample_weighted_or_replaced<Edges>(const Edges&, const FrontierNode&, int64_t, int64_t, int64_t); \
  template int64_t weighted_or_replaced_draws<Edges>(const Edges&, int64_t, int64_t, int64_t);
QUORVIX_FOR_EACH_EDGE_SAMPLING(QUORVIX_INSTANTIATE)
#undef QUORVIX_INSTANTIATE

}  // namespace quorvix
