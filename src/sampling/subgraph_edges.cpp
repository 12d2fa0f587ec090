#include "sampling/subgraph_edges.hpp"

#include <stdexcept>
#include <string>

namespace quorvix {

SubgraphEdges HopOrderedEdges::finish() const {
  SubgraphEdges out;
  out.hop_counts = counts_;
  std::vector<int64_t> next(counts_.size(), 0);
  for (std::size_t h = 1; h < counts_.size(); ++h) next[h] = next[h - 1] + counts_[h - 1];
  out.row.resize(row_.size());
  out.col.resize(row_.size());
  out.e_id.resize(row_.size());
  for (std::size_t k = 0; k < row_.size(); ++k) {
    const auto at = static_cast<std::size_t>(next[static_cast<std::size_t>(hop_[k])]++);
    out.row[at] = row_[k];
    out.col[at] = col_[k];
    out.e_id[at] = e_id_[k];
  }
  return out;
}

namespace {

[[noreturn]] void fail(const char* function, const std::string& message) {
  throw std::invalid_argument(std::string(function) + ": " + message);
}

}  // namespace

void check_csc(const char* function, const CscView& csc) {
  if (csc.colptr.size < 1) fail(function, "'colptr' must hold at least one value.");
  check_same_length(function, "perm", csc.perm, "row", csc.row);
  if (csc.edge_time.size != 0) check_same_length(function, "edge_time", csc.edge_time, "row", csc.row);
}

void check_run(const char* function, const CscView& csc, int64_t node) {
  const int64_t start = csc.colptr[node], end = csc.colptr[node + 1];
  if (start < 0 || start > end || end > csc.row.size) {
    fail(function, "'colptr' does not describe 'row' at node " + std::to_string(node) + ".");
  }
}

void check_indices(const char* function, const char* argument, Int64Span values, int64_t size) {
  for (int64_t k = 0; k < values.size; ++k) {
    if (static_cast<uint64_t>(values[k]) >= static_cast<uint64_t>(size)) {
      fail(function, std::string("'") + argument + "' holds an index outside [0, " + std::to_string(size) + ").");
    }
  }
}

void check_same_length(const char* function, const char* first, Int64Span a, const char* second, Int64Span b) {
  if (a.size != b.size) {
    fail(function, std::string("'") + first + "' and '" + second + "' differ in length.");
  }
}

std::vector<int64_t> hops_of(const char* function, const char* argument, Int64Span hop_counts, int64_t total) {
  int64_t sum = 0;
  for (int64_t h = 0; h < hop_counts.size; ++h) {
    if (hop_counts[h] < 0 || hop_counts[h] > total - sum) break;
    sum += hop_counts[h];
    if (h == hop_counts.size - 1 && sum == total) {
      std::vector<int64_t> hops;
      hops.reserve(static_cast<std::size_t>(total));
      for (int64_t k = 0; k < hop_counts.size; ++k) hops.insert(hops.end(), static_cast<std::size_t>(hop_counts[k]), k);
      return hops;
    }
  }
  if (total == 0 && hop_counts.size == 0) return {};
  fail(function, std::string("the counts in '") + argument + "' do not add up to its number of items.");
}

}  // namespace quorvix
