// What the subgraph builders (induced edges, reverse edges) read and return, and the checks they
// share: every array comes from the caller, so every index is checked before it is followed.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/int64_span.hpp"

namespace quorvix {

// One edge type's CSC: `row[colptr[v]:colptr[v + 1]]` are the sources of the edges into `v`,
// `perm[p]` the edge id of position `p`, `edge_time[p]` its time (empty: the type has no times).
struct CscView {
  Int64Span colptr;
  Int64Span row;
  Int64Span perm;
  Int64Span edge_time;
};

// The sampled nodes of one node type: global id and subgraph (batch value) per local index, and how
// many were first reached in each hop.
struct SampledNodes {
  Int64Span node;
  Int64Span batch;
  Int64Span hop_counts;
};

// Edges of one edge type in local indices, sorted by hop, with their count per hop.
struct LocalEdges {
  Int64Span row;
  Int64Span col;
  Int64Span e_id;
  Int64Span hop_counts;
};

struct SubgraphEdges {
  std::vector<int64_t> row;
  std::vector<int64_t> col;
  std::vector<int64_t> e_id;
  std::vector<int64_t> hop_counts;
};

// Collects edges in any hop order and hands them back sorted by hop, stable within a hop.
class HopOrderedEdges {
 public:
  explicit HopOrderedEdges(int64_t num_hops) : counts_(static_cast<std::size_t>(num_hops), 0) {}

  void add(int64_t row, int64_t col, int64_t e_id, int64_t hop) {
    row_.push_back(row);
    col_.push_back(col);
    e_id_.push_back(e_id);
    hop_.push_back(hop);
    // Past the last hop only where there are no hops at all: edges between seeds then make one.
    if (static_cast<std::size_t>(hop) >= counts_.size()) counts_.resize(static_cast<std::size_t>(hop) + 1, 0);
    ++counts_[static_cast<std::size_t>(hop)];
  }

  void reserve(int64_t count) {
    for (auto* values : {&row_, &col_, &e_id_, &hop_}) values->reserve(static_cast<std::size_t>(count));
  }

  // Adds the edges of another, in the order they came to it.
  void append(const HopOrderedEdges& other) {
    for (std::size_t k = 0; k < other.row_.size(); ++k) {
      add(other.row_[k], other.col_[k], other.e_id_[k], other.hop_[k]);
    }
  }

  SubgraphEdges finish() const;

 private:
  std::vector<int64_t> row_, col_, e_id_, hop_, counts_;
};

// Warms the cache for the CSC run of `node` a few iterations before it is read: first its colptr
// entry, later (once that has arrived) the run itself. Changes nothing; checks every address first.
inline void prefetch_colptr(const CscView& csc, int64_t node) {
  if (static_cast<uint64_t>(node) < static_cast<uint64_t>(csc.colptr.size - 1)) __builtin_prefetch(csc.colptr.data + node);
}
inline void prefetch_run(const CscView& csc, int64_t node) {
  if (static_cast<uint64_t>(node) >= static_cast<uint64_t>(csc.colptr.size - 1)) return;
  const int64_t start = csc.colptr[node];
  if (csc.row.contains_index(start)) {
    __builtin_prefetch(csc.row.data + start);
    __builtin_prefetch(csc.perm.data + start);
  }
}
// The same for a walk that reads the run's sources only, and their ids later.
inline void prefetch_run_rows(const CscView& csc, int64_t node) {
  if (static_cast<uint64_t>(node) >= static_cast<uint64_t>(csc.colptr.size - 1)) return;
  const int64_t start = csc.colptr[node];
  if (csc.row.contains_index(start)) __builtin_prefetch(csc.row.data + start);
}
inline constexpr int64_t kPrefetchColptrAhead = 32;
inline constexpr int64_t kPrefetchRunAhead = 16;

// The checks; each throws std::invalid_argument naming the function and the argument.
void check_csc(const char* function, const CscView& csc);
void check_run(const char* function, const CscView& csc, int64_t node);
void check_indices(const char* function, const char* argument, Int64Span values, int64_t size);
void check_same_length(const char* function, const char* first, Int64Span a, const char* second, Int64Span b);
// The hop of each of `total` items counted by `hop_counts`.
std::vector<int64_t> hops_of(const char* function, const char* argument, Int64Span hop_counts, int64_t total);

}  // namespace quorvix
