#include "sampling/window.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "sampling/prefetch.hpp"
#include "sampling/recording.hpp"
#include "sampling/random_fan_out.hpp"
#include "sampling/uniform.hpp"

namespace quorvix {

namespace {

// The failures are kept out of line so that the checks on the hot path stay small enough to inline.
[[noreturn]] __attribute__((noinline, cold)) void throw_node_outside_colptr(const EdgeTypeKey& key,
                                                                            const NodeType& frontier_type,
                                                                            int64_t node) {
  throw std::runtime_error("Node " + std::to_string(node) + " of type '" + frontier_type +
                           "' is out of range of 'colptr' for '" + key + "'.");
}

[[noreturn]] __attribute__((noinline, cold)) void throw_run_outside_row(const EdgeTypeKey& key, int64_t node) {
  throw std::runtime_error("'colptr' for '" + key + "' at node " + std::to_string(node) +
                           " does not bound a valid range of 'row'.");
}

[[noreturn]] __attribute__((noinline, cold)) void throw_node_outside_time(const NodeType& neighbour_type,
                                                                          int64_t neighbour) {
  throw std::runtime_error("Node " + std::to_string(neighbour) + " of type '" + neighbour_type +
                           "' is out of range of 'node_time'.");
}

[[noreturn]] __attribute__((noinline, cold)) void throw_unsorted_run() {
  throw std::runtime_error("Found invalid non-sorted temporal neighborhood");
}

[[noreturn]] __attribute__((noinline, cold)) void throw_unsorted_node(const EdgeTypeKey& key, int64_t node,
                                                                      int64_t position, int64_t time,
                                                                      int64_t previous_time) {
  throw std::runtime_error("Neighbours of node " + std::to_string(node) + " in '" + key +
                           "' are not sorted by time: position " + std::to_string(position) +
                           " of 'row' has time " + std::to_string(time) + ", earlier than " +
                           std::to_string(previous_time) + " before it.");
}

// colptr[v] .. colptr[v + 1], with the node id and the run checked against the arrays' lengths.
template <typename Edges>
inline NeighbourRange neighbour_range(const Edges& edges, int64_t node) {
  if (node < 0 || node >= edges.colptr.size - 1) throw_node_outside_colptr(*edges.key, *edges.frontier_type, node);
  const NeighbourRange range{edges.colptr[node], edges.colptr[node + 1]};
  // Unsigned comparisons: a negative start or end is past every bound.
  if (static_cast<uint64_t>(range.start) > static_cast<uint64_t>(range.end) ||
      static_cast<uint64_t>(range.end) > static_cast<uint64_t>(edges.row.size)) {
    throw_run_outside_row(*edges.key, node);
  }
  return range;
}

template <bool kEdgeTime, typename Edges>
inline int64_t time_at(const Edges& edges, int64_t position) {
  if constexpr (kEdgeTime) return edges.edge_time[position];
  const int64_t neighbour = edges.row[position];
  if (!edges.neighbour_time.contains_index(neighbour)) throw_node_outside_time(*edges.neighbour_type, neighbour);
  return edges.neighbour_time[neighbour];
}

// Only the two ends are compared: a full scan would cost the whole window. Inlined: it runs once
// per frontier node.
template <bool kEdgeTime, typename Edges>
inline __attribute__((always_inline)) void check_sorted(const Edges& edges, int64_t start, int64_t end) {
  if (end - start >= 2 && time_at<kEdgeTime>(edges, start) > time_at<kEdgeTime>(edges, end - 1)) {
    throw_unsorted_run();
  }
}

// Reads the whole run, once, on the way to the error.
template <bool kEdgeTime, typename Edges>
[[noreturn]] __attribute__((noinline, cold)) void report_unsorted_run(const Edges& edges, int64_t node) {
  for (int64_t p = edges.colptr[node] + 1; p < edges.colptr[node + 1]; ++p) {
    const int64_t time = time_at<kEdgeTime>(edges, p);
    const int64_t previous_time = time_at<kEdgeTime>(edges, p - 1);
    if (time < previous_time) throw_unsorted_node(*edges.key, node, p, time, previous_time);
  }
  throw_unsorted_run();
}

// A bisection of a run that the graph found unsorted when it was built would pick a wrong cut, in
// any part of the run the ends' comparison above does not see. Inlined: one test of a pointer per
// frontier node on a sorted graph.
template <bool kEdgeTime, typename Edges>
inline __attribute__((always_inline)) void check_run_order(const Edges& edges, int64_t node) {
  if (edges.unsorted_nodes != nullptr &&
      std::binary_search(edges.unsorted_nodes->begin(), edges.unsorted_nodes->end(), node)) {
    report_unsorted_run<kEdgeTime>(edges, node);
  }
}

// neighbour_range for a run the recency walk's row stage found invalid, where it throws. Out of line:
// inlined in every walk, it took GCC's inlining budget from the other callers of neighbour_range.
template <typename Edges>
__attribute__((noinline, cold)) NeighbourRange reread_run(const Edges& edges, int64_t node) {
  return neighbour_range(edges, node);
}

// The expansion of one entry of the recency walk, given the run its row stage read (a start of -1 when
// that failed its checks). Inlined: it runs once per frontier node.
template <bool kEdgeTime, typename Edges>
inline __attribute__((always_inline)) void take_latest(const Edges& edges, const FrontierNode& frontier,
                                                       NeighbourRange range, int64_t keep, int64_t seed_time,
                                                       EdgeTails<Edges>& tails) {
  if (range.start < 0) range = reread_run(edges, frontier.node);  // throws
  if (range.start == range.end) return;
  range.end = first_after<kEdgeTime>(edges, seed_time, range.start, range.end);
  // The whole admissible run is tested, before any cut.
  check_sorted<kEdgeTime>(edges, range.start, range.end);
  check_run_order<kEdgeTime>(edges, frontier.node);
  // The cut is by position: equal times on both sides of it are split.
  range.start = std::max(range.start, range.end - keep);
  if (range.start == range.end) return;
  // The cut run is taken whole, without a draw.
  record_run(edges, frontier, tails, range.start, range.end);
}

int64_t saturating_add(int64_t a, int64_t b) {
  int64_t sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

}  // namespace

template <bool kEdgeTime, typename Edges>
NeighbourRange admissible_run(const Edges& edges, const FrontierNode& frontier, int64_t seed_time) {
  NeighbourRange range = neighbour_range(edges, frontier.node);
  if (range.start == range.end) return range;
  range.end = first_after<kEdgeTime>(edges, seed_time, range.start, range.end);
  // The whole admissible run is tested, before any cut.
  check_sorted<kEdgeTime>(edges, range.start, range.end);
  check_run_order<kEdgeTime>(edges, frontier.node);
  return range;
}

template <bool kEdgeTime, typename Edges>
int64_t first_after(const Edges& edges, int64_t bound, int64_t from, int64_t to) {
  // Written without branches on the comparison (which is unpredictable), probing the same positions
  // as the textbook upper bound, so that even an unsorted run gives the same answer.
  int64_t length = to - from;
  while (length > 0) {
    const int64_t half = length / 2;
    const bool later = bound < time_at<kEdgeTime>(edges, from + half);
    from = later ? from : from + half + 1;
    length = later ? half : length - half - 1;
  }
  return from;
}

template <bool kEdgeTime, typename Edges>
void sample_time_window(const Edges& edges, const FrontierNode& frontier, const TimeOffsets& offsets,
                        int64_t seed_time) {
  NeighbourRange range = neighbour_range(edges, frontier.node);
  if (range.start == range.end) return;
  if (offsets.has_lower) {
    // Neighbours exactly at the lower bound are outside the window.
    range.start = first_after<kEdgeTime>(edges, saturating_add(seed_time, offsets.lower), range.start, range.end);
  }
  range.end = first_after<kEdgeTime>(edges, saturating_add(seed_time, offsets.upper), range.start, range.end);
  check_sorted<kEdgeTime>(edges, range.start, range.end);
  check_run_order<kEdgeTime>(edges, frontier.node);
  if (range.start == range.end) return;
  record_run(edges, frontier, range.start, range.end);
}

// Out of line: inlined in the hop's driver, its loop lost its registers to the driver's.
template <bool kEdgeTime, typename Edges>
__attribute__((noinline)) void sample_recent_windows(const Edges& edges, const NodeTypeState& frontier, int64_t begin,
                                                     int64_t end, int64_t k, const std::vector<int64_t>& seed_times) {
  // The frontier list may be the neighbour list itself and grow meanwhile: entries are read by index.
  const Int64List& batches = *frontier.batch;
  const Int64List& nodes = *frontier.node;
  // With k < 0 no cut reaches below a run's start.
  const int64_t keep = k > 0 ? k : std::numeric_limits<int64_t>::max();
  const int64_t* const seed_time_of_batch = seed_times.data();
  // The row stage reads and checks each entry's run once; the time stage and the expansion reuse it.
  RunRing runs;
  // The edges of the whole walk are committed at its end.
  EdgeTails<Edges> tails(edges);
  const auto read_run = [&](int64_t p) {
    int64_t start, run_end, middle;
    prefetch_run(edges, nodes[static_cast<std::size_t>(p)], start, run_end, middle);
    runs.put(p, start, run_end, middle);
  };
  // Inlined early: as a call whose only effect is a prefetch, GCC finds it pure and drops it.
  const auto prefetch_middle_time = [&](int64_t p) __attribute__((always_inline)) {
    prefetch_time<kEdgeTime>(edges, runs.middle(p));
  };
  const auto expand = [&](int64_t p) __attribute__((always_inline)) {
    const FrontierNode node{batches[static_cast<std::size_t>(p)], nodes[static_cast<std::size_t>(p)], p};
    take_latest<kEdgeTime>(edges, node, NeighbourRange{runs.start(p), runs.end(p)}, keep,
                           seed_time_of_batch[node.batch], tails);
  };
  for (int64_t p = begin; p < std::min(end, begin + kPrefetchRow); ++p) read_run(p);
  int64_t p = begin;
  // While every stage has an entry ahead, no stage checks for the frontier's end.
  for (; p + kPrefetchColptr < end; ++p) {
    prefetch_colptr(edges, nodes[static_cast<std::size_t>(p + kPrefetchColptr)]);
    read_run(p + kPrefetchRow);
    prefetch_middle_time(p + kPrefetchTime);
    expand(p);
  }
  for (; p < end; ++p) {
    if (p + kPrefetchRow < end) read_run(p + kPrefetchRow);
    if (p + kPrefetchTime < end) prefetch_middle_time(p + kPrefetchTime);
    expand(p);
  }
  tails.commit();
}

template <bool kEdgeTime, typename Edges>
void sample_recent_uniform(const Edges& edges, const FrontierNode& frontier, int64_t k, int64_t seed_time) {
  if (k == 0) return;
  const NeighbourRange range = admissible_run<kEdgeTime>(edges, frontier, seed_time);
  if (range.start == range.end) return;
  sample_random(edges, frontier, range.start, range.end, k);
}

template <typename Edges>
void sample_all_window(const Edges& edges, const FrontierNode& frontier, int64_t k) {
  if (k == 0) return;
  const NeighbourRange range = neighbour_range(edges, frontier.node);
  if (range.start == range.end) return;
  sample_random(edges, frontier, range.start, range.end, k);
}

template <typename Edges>
int64_t count_all_window_draws(const Edges& edges, const FrontierNode& frontier, int64_t k) {
  if (k <= 0) return 0;
  const NeighbourRange range = neighbour_range(edges, frontier.node);
  return random_draws(edges, range.start, range.end, k);
}

template <bool kEdgeTime, typename Edges>
int64_t count_recent_uniform_draws(const Edges& edges, const FrontierNode& frontier, int64_t k,
                                   int64_t seed_time) {
  if (k <= 0) return 0;
  const NeighbourRange range = admissible_run<kEdgeTime>(edges, frontier, seed_time);
  return random_draws(edges, range.start, range.end, k);
}

#define QUORVIX_INSTANTIATE_TIMED(Edges, kEdgeTime)                                                        \
  template int64_t first_after<kEdgeTime, Edges>(const Edges&, int64_t, int64_t, int64_t);                    \
  template void sample_time_window<kEdgeTime, Edges>(const Edges&, const FrontierNode&, const TimeOffsets&,   \
                                                     int64_t);                                               \
  template NeighbourRange admissible_run<kEdgeTime, Edges>(const Edges&, const FrontierNode&, int64_t);       \
  template void sample_recent_windows<kEdgeTime, Edges>(const Edges&, const NodeTypeState&, int64_t, int64_t,     \
                                                        int64_t, const std::vector<int64_t>&);                  \
  template void sample_recent_uniform<kEdgeTime, Edges>(const Edges&, const FrontierNode&, int64_t, int64_t); \
  template int64_t count_recent_uniform_draws<kEdgeTime, Edges>(const Edges&, const FrontierNode&, int64_t,   \
                                                                int64_t);
#define QUORVIX_INSTANTIATE(Edges)                                                     \
  QUORVIX_INSTANTIATE_TIMED(Edges, false)                                              \
  QUORVIX_INSTANTIATE_TIMED(Edges, true)                                               \
  template void sample_all_window<Edges>(const Edges&, const FrontierNode&, int64_t); \
  template int64_t count_all_window_draws<Edges>(const Edges&, const FrontierNode&, int64_t);
QUORVIX_FOR_EACH_EDGE_SAMPLING(QUORVIX_INSTANTIATE)
#undef QUORVIX_INSTANTIATE
#undef QUORVIX_INSTANTIATE_TIMED

}  // namespace quorvix
