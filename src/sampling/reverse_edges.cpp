#include "sampling/reverse_edges.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "sampling/grouping.hpp"

namespace quorvix {

namespace {

constexpr const char* kReverseEdges = "reverse_edges";
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

// Per sampled edge k of an indexed source, the id of the target's earliest edge reversing it (no
// later than the subgraph's time), or -1. Read in one pass in the edges' own order: the loads of
// one edge do not wait on another's, so their misses overlap, which the columns' order, one
// dependent lookup after another, would not allow.
std::vector<int64_t> indexed_ids(const ReverseSource& source, const CscView& csc, bool timed, Int64Span row_batch,
                                 Int64Span group_time) {
  // Two passes, each with its reads prefetched a few edges ahead: first the reverse positions, then
  // what sits at them.
  constexpr int64_t kAhead = 64;
  const int64_t count = source.position.size;
  std::vector<int64_t> ids(static_cast<std::size_t>(count));
  for (int64_t k = 0; k < count; ++k) {
    if (k + kAhead < count) __builtin_prefetch(source.reverse_position.data + source.position[k + kAhead]);
    ids[static_cast<std::size_t>(k)] = source.reverse_position[source.position[k]];
  }
  for (int64_t k = 0; k < count; ++k) {
    if (k + kAhead < count) {
      const int64_t ahead = ids[static_cast<std::size_t>(k + kAhead)];
      if (csc.perm.contains_index(ahead)) {
        __builtin_prefetch(csc.perm.data + ahead);
        if (timed) __builtin_prefetch(csc.edge_time.data + ahead);
      }
    }
    const int64_t position = ids[static_cast<std::size_t>(k)];
    if (position < -1 || position >= csc.row.size) {
      throw std::invalid_argument("reverse_edges: 'reverse_position' holds an index outside [-1, " +
                                  std::to_string(csc.row.size) + ").");
    }
    const bool kept = position >= 0 && !(timed && csc.edge_time[position] > group_time[row_batch[source.edges.col[k]]]);
    ids[static_cast<std::size_t>(k)] = kept ? csc.perm[position] : -1;
  }
  return ids;
}

void check_edges(const LocalEdges& edges, int64_t num_rows, int64_t num_cols, std::vector<int64_t>& hops) {
  check_same_length(kReverseEdges, "col", edges.col, "row", edges.row);
  check_same_length(kReverseEdges, "e_id", edges.e_id, "row", edges.row);
  check_indices(kReverseEdges, "row", edges.row, num_rows);
  check_indices(kReverseEdges, "col", edges.col, num_cols);
  hops = hops_of(kReverseEdges, "hop_counts", edges.hop_counts, edges.row.size);
}

}  // namespace

SubgraphEdges reverse_edges(const CscView& csc, Int64Span index_row, Int64Span index_position, Int64Span row_node,
                            Int64Span row_batch, Int64Span col_node, const LocalEdges& target,
                            const std::vector<ReverseSource>& sources, Int64Span group_time,
                            bool by_destination) {
  check_csc(kReverseEdges, csc);
  if (index_row.size != 0 || index_position.size != 0) {
    check_same_length(kReverseEdges, "index_row", index_row, "row", csc.row);
    check_same_length(kReverseEdges, "index_position", index_position, "row", csc.row);
  }
  check_same_length(kReverseEdges, "row_batch", row_batch, "row_node", row_node);
  check_indices(kReverseEdges, "col_node", col_node, csc.colptr.size - 1);
  const bool timed = group_time.size != 0 && csc.edge_time.size != 0;
  if (timed) check_indices(kReverseEdges, "row_batch", row_batch, group_time.size);
  std::vector<int64_t> target_hop;
  check_edges(target, row_node.size, col_node.size, target_hop);
  std::vector<std::vector<int64_t>> source_hop(sources.size());
  int64_t num_hops = target.hop_counts.size;
  for (std::size_t s = 0; s < sources.size(); ++s) {
    // A source runs C -> R: its rows are the target's columns.
    check_edges(sources[s].edges, col_node.size, row_node.size, source_hop[s]);
    num_hops = std::max(num_hops, sources[s].edges.hop_counts.size);
    if (sources[s].position.size != 0 || sources[s].reverse_position.size != 0) {
      check_same_length(kReverseEdges, "position", sources[s].position, "row", sources[s].edges.row);
      check_indices(kReverseEdges, "position", sources[s].position, sources[s].reverse_position.size);
    }
  }
  // Only a search reads the columns' runs.
  const bool searched = std::any_of(sources.begin(), sources.end(), [](const ReverseSource& source) {
    return source.position.size == 0 && source.edges.row.size != 0;
  });
  if (searched) {
    for (int64_t i = 0; i < col_node.size; ++i) check_run(kReverseEdges, csc, col_node[i]);
  }

  // The target's edges so far: its sampled ones, then the copies of each source in turn. The
  // sampled ones come in hop order, so a stable order by hop keeps them first within each hop.
  HopOrderedEdges out(num_hops);
  int64_t most = target.row.size;
  for (const ReverseSource& source : sources) most += source.edges.row.size;
  out.reserve(most);
  for (int64_t k = 0; k < target.row.size; ++k) {
    out.add(target.row[k], target.col[k], target.e_id[k], target_hop[static_cast<std::size_t>(k)]);
  }
  // Per row local index, within one column: how often the target joins (row, column) so far, and
  // how many of the source's edges (column, row) came by. Reset after each column.
  std::vector<int64_t> joined(static_cast<std::size_t>(row_node.size), 0), seen(joined);
  for (std::size_t s = 0; s < sources.size(); ++s) {
    const LocalEdges& edges = sources[s].edges;
    // A pair's counts all sit in one column: walk the columns, each with the target's edges into
    // it and the source's edges out of it (in their order), so the counts are plain arrays.
    const std::vector<int64_t>& row = out.row();
    const Grouping target_by_col = Grouping::of(out.col(), static_cast<int64_t>(row.size()), col_node.size);
    const Grouping source_by_row = Grouping::of(edges.row, edges.row.size, col_node.size);
    const bool indexed = sources[s].position.size != 0;
    const std::vector<int64_t> reversed_id =
        indexed ? indexed_ids(sources[s], csc, timed, row_batch, group_time) : std::vector<int64_t>{};
    for (int64_t i = 0; i < col_node.size; ++i) {
      if (!indexed) {
        if (i + kPrefetchColptrAhead < col_node.size) prefetch_colptr(csc, col_node[i + kPrefetchColptrAhead]);
        if (i + kPrefetchRunAhead < col_node.size) prefetch_run(csc, col_node[i + kPrefetchRunAhead]);
      }
      if (source_by_row.begin(i) == source_by_row.end(i)) continue;
      const int64_t target_end = target_by_col.end(i);
      for (int64_t t = target_by_col.begin(i); t < target_end; ++t) {
        ++joined[static_cast<std::size_t>(row[static_cast<std::size_t>(target_by_col[t])])];
      }
      for (int64_t at = source_by_row.begin(i); at < source_by_row.end(i); ++at) {
        const int64_t k = source_by_row[at], j = edges.col[k];
        if (++seen[static_cast<std::size_t>(j)] <= joined[static_cast<std::size_t>(j)]) continue;
        int64_t id = -1;
        if (indexed) {
          id = reversed_id[static_cast<std::size_t>(k)];
        } else {
          int64_t position = first_position(csc, index_row, index_position, col_node[i], row_node[j]);
          if (position >= 0 && !(timed && csc.edge_time[position] > group_time[row_batch[j]])) id = csc.perm[position];
        }
        if (id < 0) {
          if (!sources[s].same_type) continue;
          id = edges.e_id[k];
        }
        ++joined[static_cast<std::size_t>(j)];
        out.add(j, i, id, source_hop[s][static_cast<std::size_t>(k)]);
      }
      // The copies just added into this column are past target_end: they were counted as added.
      for (int64_t t = target_by_col.begin(i); t < target_end; ++t) {
        joined[static_cast<std::size_t>(row[static_cast<std::size_t>(target_by_col[t])])] = 0;
      }
      for (int64_t at = source_by_row.begin(i); at < source_by_row.end(i); ++at) {
        const auto j = static_cast<std::size_t>(edges.col[source_by_row[at]]);
        joined[j] = seen[j] = 0;
      }
    }
  }
  SubgraphEdges edges = out.finish();
  if (by_destination) sort_by_destination(edges, col_node.size);
  return edges;
}

}  // namespace quorvix
