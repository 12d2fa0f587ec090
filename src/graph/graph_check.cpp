// Graph::check: one pass over every graph array, for the faults that sampling would only
// notice where it happens to look, or not at all.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "graph/graph.hpp"
#include "graph/node_counts.hpp"

namespace quorvix {

namespace {

// The failures are out of line so that the loops below stay small.
[[noreturn]] __attribute__((noinline, cold)) void throw_colptr_outside_row(const EdgeTypeKey& key, int64_t position,
                                                                           int64_t value, int64_t row_size) {
  throw std::runtime_error("'colptr' for '" + key + "' at position " + std::to_string(position) + " is " +
                           std::to_string(value) + ", outside the " + std::to_string(row_size) +
                           " entries of 'row'.");
}

[[noreturn]] __attribute__((noinline, cold)) void throw_colptr_decreasing(const EdgeTypeKey& key, int64_t node,
                                                                          int64_t start, int64_t end) {
  throw std::runtime_error("'colptr' for '" + key + "' decreases from " + std::to_string(start) + " to " +
                           std::to_string(end) + " at node " + std::to_string(node) + ".");
}

[[noreturn]] __attribute__((noinline, cold)) void throw_row_id(const EdgeTypeKey& key, const NodeType& type,
                                                               int64_t position, int64_t node, int64_t id,
                                                               int64_t count) {
  const std::string where = "Node " + std::to_string(id) + " of type '" + type + "' at position " +
                            std::to_string(position) + " of 'row' for '" + key + "' (a neighbour of node " +
                            std::to_string(node) + ")";
  if (id < 0) throw std::runtime_error(where + " is negative.");
  throw std::runtime_error(where + " is not below the type's node count " + std::to_string(count) + ".");
}

[[noreturn]] __attribute__((noinline, cold)) void throw_unsorted(const EdgeTypeKey& key, int64_t node,
                                                                 int64_t position, int64_t time,
                                                                 int64_t previous_time) {
  throw std::runtime_error("Neighbours of node " + std::to_string(node) + " in '" + key +
                           "' are not sorted by time: position " + std::to_string(position) +
                           " of 'row' has time " + std::to_string(time) + ", earlier than " +
                           std::to_string(previous_time) + " before it.");
}

[[noreturn]] __attribute__((noinline, cold)) void throw_invalid_weight(const EdgeTypeKey& key, int64_t node,
                                                                        int64_t position) {
  throw std::runtime_error("'edge_weight' for '" + key + "' at position " + std::to_string(position) +
                           " of 'row' (an edge of node " + std::to_string(node) + ") is negative, NaN or infinite.");
}

[[noreturn]] __attribute__((noinline, cold)) void throw_colptr_short(const EdgeTypeKey& key, const NodeType& type,
                                                                     int64_t size, int64_t count) {
  throw std::runtime_error("'colptr' for '" + key + "' has " + std::to_string(size) + " entries, fewer than the " +
                           std::to_string(count) + " nodes of type '" + type + "' plus one.");
}

// How far ahead the sort check asks for a neighbour's timestamp: each is a load at a random place,
// and most runs are far shorter than this, so the loop runs across run boundaries.
constexpr int64_t kTimePrefetch = 32;

void check_colptr(const EdgeTypeKey& key, Int64Span colptr, int64_t row_size) {
  for (int64_t i = 0; i < colptr.size; ++i) {
    if (colptr[i] < 0 || colptr[i] > row_size) throw_colptr_outside_row(key, i, colptr[i], row_size);
    if (i > 0 && colptr[i - 1] > colptr[i]) throw_colptr_decreasing(key, i - 1, colptr[i - 1], colptr[i]);
  }
}

// The node whose run holds `position`; only called on the way to an error.
int64_t node_at(Int64Span colptr, int64_t position) {
  const int64_t* after = std::upper_bound(colptr.data, colptr.data + colptr.size, position);
  return static_cast<int64_t>(after - colptr.data) - 1;
}

// On a checked colptr the runs tile [colptr[0], colptr[last]) in node order, so both passes walk that
// range flat. Positions outside it are never read: a row shared by several edge types may hold other
// types' ids there.
void check_row(const EdgeTypeKey& key, const NodeType& neighbour_type, Int64Span colptr, Int64Span row,
               int64_t node_count, const Int64Span* times) {
  if (colptr.size < 2) return;
  const int64_t first = colptr[0];
  const int64_t last = colptr[colptr.size - 1];
  const uint64_t bound = id_bound(node_count);
  for (int64_t p = first; p < last; ++p) {
    if (static_cast<uint64_t>(row[p]) >= bound) {
      throw_row_id(key, neighbour_type, p, node_at(colptr, p), row[p], node_count);
    }
  }
  // Every id is now below len(node_time), which is the node count of a type with timestamps.
  if (times == nullptr) return;
  int64_t node = 0;
  int64_t run_start = first;
  int64_t run_end = colptr[1];
  int64_t previous_time = 0;
  for (int64_t p = first; p < last; ++p) {
    while (p == run_end) {  // also steps over empty runs
      ++node;
      run_start = run_end;
      run_end = colptr[node + 1];
    }
    if (p + kTimePrefetch < last) __builtin_prefetch(times->data + row[p + kTimePrefetch]);
    const int64_t time = (*times)[row[p]];
    if (p != run_start && time < previous_time) throw_unsorted(key, node, p, time, previous_time);
    previous_time = time;
  }
}

// The edges' own times, in the runs only; read in position order, so nothing needs fetching ahead.
void check_edge_times(const EdgeTypeKey& key, Int64Span colptr, Int64Span times) {
  for (int64_t node = 0; node + 1 < colptr.size; ++node) {
    for (int64_t p = colptr[node] + 1; p < colptr[node + 1]; ++p) {
      if (times[p] < times[p - 1]) throw_unsorted(key, node, p, times[p], times[p - 1]);
    }
  }
}

void check_weights(const EdgeTypeKey& key, Int64Span colptr, const EdgeWeights& weights) {
  if (weights.invalid_positions.empty()) return;
  for (int64_t node = 0; node + 1 < colptr.size; ++node) {
    const int64_t invalid = first_in(weights.invalid_positions, colptr[node], colptr[node + 1]);
    if (invalid >= 0) throw_invalid_weight(key, node, invalid);
  }
}

}  // namespace

void Graph::check() const {
  for (std::size_t i = 0; i < edge_types.size(); ++i) {
    const EdgeTypeKey& key = edge_type_keys[i];
    const Int64Span colptr_span = colptr.at(key);
    const Int64Span row_span = row.at(key);
    // Sampling looks up every frontier id below the type's node count in this colptr.
    const std::size_t frontier = schema_.edge_type_slots[i].frontier;
    if (frontier != kNoSlot && node_counts_[frontier] != kUnknownNodeCount &&
        colptr_span.size < node_counts_[frontier] + 1) {
      throw_colptr_short(key, frontier_type(edge_types[i]), colptr_span.size, node_counts_[frontier]);
    }
    check_colptr(key, colptr_span, row_span.size);
    const NodeType& neighbour = neighbour_type(edge_types[i]);
    const EdgeFeatures& features = edge_features_[i];
    const auto time = node_time.find(neighbour);
    // An edge type with its own times is sorted by them, whatever its neighbours' times.
    const bool by_node_time = time != node_time.end() && !features.timed;
    check_row(key, neighbour, colptr_span, row_span, node_counts_[schema_.edge_type_slots[i].neighbour],
              by_node_time ? &time->second : nullptr);
    if (features.timed) check_edge_times(key, colptr_span, features.time);
    if (features.weights != nullptr) check_weights(key, colptr_span, *features.weights);
  }
}

}  // namespace quorvix
