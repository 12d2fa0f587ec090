#include "sampling/reverse_edges.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "sampling/pair_table.hpp"

namespace quorvix {

namespace {

constexpr const char* kFunction = "reverse_edges";
// Runs up to this long are scanned: a few cache lines, cheaper than a search in the index.
constexpr int64_t kScanLimit = 64;

// The CSC position of the earliest edge src -> dst, or -1.
int64_t first_position(const CscView& csc, Int64Span index_row, Int64Span index_position, int64_t dst, int64_t src) {
  const int64_t start = csc.colptr[dst], end = csc.colptr[dst + 1];
  if (end - start > kScanLimit && index_row.size != 0) {
    const int64_t* found = std::lower_bound(index_row.data + start, index_row.data + end, src);
    if (found == index_row.data + end || *found != src) return -1;
    const int64_t position = index_position[found - index_row.data];
    if (!csc.row.contains_index(position)) {
      throw std::invalid_argument("reverse_edges: 'index_position' holds an index outside [0, " +
                                  std::to_string(csc.row.size) + ").");
    }
    return position;
  }
  for (int64_t p = start; p < end; ++p) {
    if (csc.row[p] == src) return p;
  }
  return -1;
}

void check_edges(const LocalEdges& edges, int64_t num_rows, int64_t num_cols, std::vector<int64_t>& hops) {
  check_same_length(kFunction, "col", edges.col, "row", edges.row);
  check_same_length(kFunction, "e_id", edges.e_id, "row", edges.row);
  check_indices(kFunction, "row", edges.row, num_rows);
  check_indices(kFunction, "col", edges.col, num_cols);
  hops = hops_of(kFunction, "hop_counts", edges.hop_counts, edges.row.size);
}

}  // namespace

SubgraphEdges reverse_edges(const CscView& csc, Int64Span index_row, Int64Span index_position, Int64Span row_node,
                            Int64Span row_batch, Int64Span col_node, const LocalEdges& target,
                            const std::vector<ReverseSource>& sources, Int64Span group_time) {
  check_csc(kFunction, csc);
  if (index_row.size != 0 || index_position.size != 0) {
    check_same_length(kFunction, "index_row", index_row, "row", csc.row);
    check_same_length(kFunction, "index_position", index_position, "row", csc.row);
  }
  check_same_length(kFunction, "row_batch", row_batch, "row_node", row_node);
  check_indices(kFunction, "col_node", col_node, csc.colptr.size - 1);
  for (int64_t i = 0; i < col_node.size; ++i) check_run(kFunction, csc, col_node[i]);
  const bool timed = group_time.size != 0 && csc.edge_time.size != 0;
  if (timed) check_indices(kFunction, "row_batch", row_batch, group_time.size);
  std::vector<int64_t> target_hop;
  check_edges(target, row_node.size, col_node.size, target_hop);
  std::vector<std::vector<int64_t>> source_hop(sources.size());
  int64_t num_hops = target.hop_counts.size, num_edges = target.row.size;
  for (std::size_t s = 0; s < sources.size(); ++s) {
    // A source runs C -> R: its rows are the target's columns.
    check_edges(sources[s].edges, col_node.size, row_node.size, source_hop[s]);
    num_hops = std::max(num_hops, sources[s].edges.hop_counts.size);
    num_edges += sources[s].edges.row.size;
  }

  HopOrderedEdges out(num_hops);
  // How often the target joins each (row, col) pair, its reverse copies counted as they come.
  PairTable total(static_cast<std::size_t>(num_edges));
  for (int64_t k = 0; k < target.row.size; ++k) {
    ++total.at(target.row[k], target.col[k], 0);
    out.add(target.row[k], target.col[k], target.e_id[k], target_hop[static_cast<std::size_t>(k)]);
  }
  for (std::size_t s = 0; s < sources.size(); ++s) {
    const LocalEdges& edges = sources[s].edges;
    PairTable seen(static_cast<std::size_t>(edges.row.size));
    for (int64_t k = 0; k < edges.row.size; ++k) {
      const int64_t row = edges.col[k], col = edges.row[k];
      int64_t& joined = total.at(row, col, 0);
      if (++seen.at(row, col, 0) <= joined) continue;
      int64_t position = first_position(csc, index_row, index_position, col_node[col], row_node[row]);
      if (position >= 0 && timed && csc.edge_time[position] > group_time[row_batch[row]]) position = -1;
      int64_t e_id;
      if (position >= 0) {
        e_id = csc.perm[position];
      } else if (sources[s].same_type) {
        e_id = edges.e_id[k];
      } else {
        continue;
      }
      ++joined;
      out.add(row, col, e_id, source_hop[s][static_cast<std::size_t>(k)]);
    }
  }
  return out.finish();
}

}  // namespace quorvix
