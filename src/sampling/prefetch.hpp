// Cache warming for frontier nodes a few iterations ahead of the one being expanded. Expanding a
// node costs a few dependent loads at random places of large arrays (colptr, then row, then the
// neighbour's time); issuing them early overlaps their misses. Nothing here changes a result, and
// every address is checked before it is formed. All of it is always inlined: a prefetch issued
// through a call, or dropped with its call, leaves the reads it was for to stall.
#pragma once

#include <cstdint>

#include "graph/edge_features.hpp"
#include "sampling/call_state.hpp"
#include "sampling/weight_scratch.hpp"

namespace quorvix {

// Frontier distances of the three stages: each stage needs the previous one's line to have arrived.
inline constexpr int64_t kPrefetchColptr = 16;
inline constexpr int64_t kPrefetchRow = 8;
inline constexpr int64_t kPrefetchTime = 4;

template <typename Edges>
inline __attribute__((always_inline)) void prefetch_colptr(const Edges& edges, int64_t node) {
  if (edges.colptr.contains_index(node)) __builtin_prefetch(edges.colptr.data + node);
}

// The run's middle: the first position a bisection probes, and within a line of most short runs.
template <typename Edges>
inline __attribute__((always_inline)) bool probe_position(const Edges& edges, int64_t node, int64_t& position) {
  if (node < 0 || node >= edges.colptr.size - 1) return false;
  const int64_t start = edges.colptr[node];
  const int64_t end = edges.colptr[node + 1];
  // Unsigned comparisons: a negative start or end is past every bound.
  if (static_cast<uint64_t>(start) >= static_cast<uint64_t>(end) ||
      static_cast<uint64_t>(end) > static_cast<uint64_t>(edges.row.size)) {
    return false;
  }
  position = start + (end - start) / 2;
  return true;
}

// What a weighted draw reads first of the run [start, end) (non-empty, inside row): a short run's
// weights, counted in place, or a long run's two zero counts; with `replace` also the cumulative
// sums its first picks search (the run's total, then the middle).
inline __attribute__((always_inline)) void prefetch_weights(const EdgeWeights& weights, int64_t start, int64_t end,
                                                            bool replace) {
  if (end > weights.size) return;
  if (end - start <= kShortRun) {
    __builtin_prefetch(weights.weight + start);
    __builtin_prefetch(weights.weight + end - 1);
  } else {
    __builtin_prefetch(weights.zeros_before.data() + start);
    __builtin_prefetch(weights.zeros_before.data() + end);
  }
  if (replace) {
    __builtin_prefetch(weights.cumulative.data() + end - 1);
    __builtin_prefetch(weights.cumulative.data() + start + (end - start) / 2);
  }
}

// The row stage alone, for walks that do not pass the probe position on: the run's first, middle and
// last lines, as the rules that take or draw from a whole run read all of a short run. kWeights: the
// edge type has weights (edges.weights is set), whose first reads are prefetched too; a template
// argument so that the walks without weights run the same code as before weights were prefetched.
template <bool kWeights = false, typename Edges>
inline __attribute__((always_inline)) void prefetch_row_only(const Edges& edges, int64_t node) {
  int64_t position;
  if (!probe_position(edges, node, position)) return;
  const int64_t* const row = edges.row.data;
  __builtin_prefetch(row + edges.colptr[node]);
  __builtin_prefetch(row + position);
  __builtin_prefetch(row + edges.colptr[node + 1] - 1);
  if constexpr (kWeights) prefetch_weights(*edges.weights, edges.colptr[node], edges.colptr[node + 1], edges.replace);
}

// The row stage of the recency walk, which reuses its reads: the node's run [start, end), checked as
// the expansion checks it (the node inside colptr, 0 <= start <= end <= row's length), and the
// position of its middle, whose line is prefetched (-1 for an empty run). All three are -1 when a
// check fails: the expansion then reads the run again and throws.
template <typename Edges>
inline __attribute__((always_inline)) void prefetch_run(const Edges& edges, int64_t node, int64_t& start,
                                                        int64_t& end, int64_t& middle) {
  start = end = middle = -1;
  if (node < 0 || node >= edges.colptr.size - 1) return;
  const int64_t first = edges.colptr[node];
  const int64_t last = edges.colptr[node + 1];
  // Unsigned comparisons: a negative start or end is past every bound.
  if (static_cast<uint64_t>(first) > static_cast<uint64_t>(last) ||
      static_cast<uint64_t>(last) > static_cast<uint64_t>(edges.row.size)) {
    return;
  }
  start = first;
  end = last;
  // A shift, not a division: the length is not negative. At most one past the end of row.
  const int64_t probe = first + ((last - first) >> 1);
  __builtin_prefetch(edges.row.data + probe);
  if (first != last) middle = probe;
}

// kEdgeTime: the edge type's own times (one per row position) rather than the neighbours'.
// `position` is a row position inside the node's run, or negative for none.
template <bool kEdgeTime, typename Edges>
inline __attribute__((always_inline)) void prefetch_time(const Edges& edges, int64_t position) {
  if (position < 0) return;
  if constexpr (kEdgeTime) {
    __builtin_prefetch(edges.edge_time + position);
    return;
  }
  const int64_t neighbour = edges.row[position];
  if (edges.neighbour_time.contains_index(neighbour)) __builtin_prefetch(edges.neighbour_time.data + neighbour);
}

// What prefetch_run read for the frontier entries between the row stage and the expansion, by entry
// index; a start of -1 marks a run that failed its checks.
class RunRing {
 public:
  void put(int64_t entry, int64_t start, int64_t end, int64_t middle) {
    const int64_t slot = entry & kMask;
    starts_[slot] = start;
    ends_[slot] = end;
    middles_[slot] = middle;
  }
  int64_t start(int64_t entry) const { return starts_[entry & kMask]; }
  int64_t end(int64_t entry) const { return ends_[entry & kMask]; }
  int64_t middle(int64_t entry) const { return middles_[entry & kMask]; }

 private:
  // An entry's slot must outlive the entries put after it and before it is expanded.
  static constexpr int64_t kSlots = 16;
  static constexpr int64_t kMask = kSlots - 1;
  static_assert(kSlots > kPrefetchRow && (kSlots & kMask) == 0);
  int64_t starts_[kSlots];
  int64_t ends_[kSlots];
  int64_t middles_[kSlots];
};

}  // namespace quorvix
