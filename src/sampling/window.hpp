// The run of a frontier node's neighbours that one hop may take: by a time window around the seed's
// time, by recency, or the whole run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "sampling/call_state.hpp"
#include "sampling/recording.hpp"

namespace quorvix {

// Offsets of a time window relative to the seed time: lower < time - seed_time <= upper, with no
// lower limit when `has_lower` is false.
struct TimeOffsets {
  bool has_lower = false;
  int64_t lower = 0;
  int64_t upper = 0;
};

// Every function that reads times takes kEdgeTime: true reads the edge type's own times (edge_time,
// one per row position), false its neighbours' node times. An edge type has one source for a whole
// hop, so the choice is made once per hop, not per probe.

// First position in [from, to) whose neighbour's time is later than `bound`, or `to`: an upper-bound
// bisection, correct only on runs sorted by time.
template <bool kEdgeTime, typename Edges>
int64_t first_after(const Edges& edges, int64_t bound, int64_t from, int64_t to);

// Takes every neighbour whose time lies in the window placed at `seed_time`.
template <bool kEdgeTime, typename Edges>
void sample_time_window(const Edges& edges, const FrontierNode& frontier, const TimeOffsets& offsets,
                        int64_t seed_time);

// A run of positions of `row`: [start, end).
struct NeighbourRange {
  int64_t start;
  int64_t end;
};

// The neighbours of `frontier` not later than `seed_time`, checked for order: empty when there are
// none.
template <bool kEdgeTime, typename Edges>
NeighbourRange admissible_run(const Edges& edges, const FrontierNode& frontier, int64_t seed_time);

// Takes, for each frontier entry in [begin, end) in order, its k latest neighbours not later than its
// seed's time (all of them when k < 0; k is not 0). One call per walk: the walk's prefetch stages and
// the expansion share one loop and its registers.
template <bool kEdgeTime, typename Edges>
void sample_recent_windows(const Edges& edges, const NodeTypeState& frontier, int64_t begin, int64_t end, int64_t k,
                           const std::vector<int64_t>& seed_times);

// Takes k neighbours not later than `seed_time` uniformly at random without replacement (all of them
// when k < 0 or k covers them all).
template <bool kEdgeTime, typename Edges>
void sample_recent_uniform(const Edges& edges, const FrontierNode& frontier, int64_t k, int64_t seed_time);

// Hands the whole run to sample_uniform with count k.
template <typename Edges>
void sample_all_window(const Edges& edges, const FrontierNode& frontier, int64_t k);

// The number of draws sample_all_window and sample_recent_uniform make for the node, with the same
// checks (and so the same errors) on the way; neither records anything.
template <typename Edges>
int64_t count_all_window_draws(const Edges& edges, const FrontierNode& frontier, int64_t k);
template <bool kEdgeTime, typename Edges>
int64_t count_recent_uniform_draws(const Edges& edges, const FrontierNode& frontier, int64_t k, int64_t seed_time);

}  // namespace quorvix
