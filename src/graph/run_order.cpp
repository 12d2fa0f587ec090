#include "graph/run_order.hpp"

namespace quorvix {

namespace {

// How far ahead the scan asks for a neighbour's timestamp: each is a load at a random place.
constexpr int64_t kRunOrderPrefetch = 32;

bool valid_run(int64_t start, int64_t end, int64_t row_size) {
  return start >= 0 && start <= end && end <= row_size;
}

// Whether a valid run is unsorted by node time; a run holding an id without a timestamp counts as
// sorted, as sampling reports that id before it could misread the order.
bool unsorted_by_node_time(Int64Span row, Int64Span times, int64_t start, int64_t end) {
  bool unsorted = false;
  int64_t previous_time = 0;
  for (int64_t p = start; p < end; ++p) {
    if (p + kRunOrderPrefetch < end && times.contains_index(row[p + kRunOrderPrefetch])) {
      __builtin_prefetch(times.data + row[p + kRunOrderPrefetch]);
    }
    const int64_t neighbour = row[p];
    if (!times.contains_index(neighbour)) return false;
    const int64_t time = times[neighbour];
    unsorted |= p != start && time < previous_time;
    previous_time = time;
  }
  return unsorted;
}

bool unsorted_by_edge_time(Int64Span times, int64_t start, int64_t end) {
  for (int64_t p = start + 1; p < end; ++p) {
    if (times[p] < times[p - 1]) return true;
  }
  return false;
}

}  // namespace

std::vector<int64_t> unsorted_runs(Int64Span colptr, Int64Span row, const Int64Span* node_time,
                                   const Int64Span* edge_time) {
  std::vector<int64_t> nodes;
  if (node_time == nullptr && edge_time == nullptr) return nodes;
  for (int64_t node = 0; node + 1 < colptr.size; ++node) {
    const int64_t start = colptr[node];
    const int64_t end = colptr[node + 1];
    if (end - start < 2 || !valid_run(start, end, row.size)) continue;
    const bool unsorted = edge_time != nullptr ? unsorted_by_edge_time(*edge_time, start, end)
                                               : unsorted_by_node_time(row, *node_time, start, end);
    if (unsorted) nodes.push_back(node);
  }
  return nodes;
}

int64_t first_unsorted_position(Int64Span colptr, Int64Span row, const Int64Span* node_time,
                                const Int64Span* edge_time, int64_t node) {
  const auto time_at = [&](int64_t p) { return edge_time != nullptr ? (*edge_time)[p] : (*node_time)[row[p]]; };
  for (int64_t p = colptr[node] + 1; p < colptr[node + 1]; ++p) {
    if (time_at(p) < time_at(p - 1)) return p;
  }
  return -1;
}

}  // namespace quorvix
