#include "sampling/reverse_edges.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "sampling/grouping.hpp"
#include "sampling/thread_pool.hpp"

namespace quorvix {

namespace {

constexpr const char* kReverseEdges = "reverse_edges";
// Runs up to this long are scanned: a few cache lines, cheaper than a search in the index.
constexpr int64_t kScanLimit = 64;
// Calls with at least this many columns walk them on several threads, in one range per thread.
constexpr int64_t kSplitColumnsLeast = 4096;

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

// What reads the id of a copy: from the source's reverse map when it has one, else by a search
// of the target's run.
struct CopyIds {
  const CscView& csc;
  Int64Span index_row, index_position, row_node, row_batch, col_node, group_time;
  bool timed;

  // The id of the graph's earliest edge j -> i (no later than j's subgraph), or -1.
  int64_t searched(int64_t i, int64_t j) const {
    const int64_t position = first_position(csc, index_row, index_position, col_node[i], row_node[j]);
    if (position < 0 || (timed && csc.edge_time[position] > group_time[row_batch[j]])) return -1;
    return csc.perm[position];
  }
};

// Items laid out by a small key, moved themselves rather than their indices, so that a walk over
// the keys reads each key's items side by side.
template <class Item>
struct GroupedItems {
  std::vector<int64_t> offsets;
  std::vector<Item> items;

  template <class Keys, class Make>
  GroupedItems(const Keys& keys, int64_t count, int64_t num_keys, const Make& make) {
    group_by_key(keys, count, num_keys, make, offsets, items);
  }
  const Item* begin(int64_t key) const { return items.data() + offsets[static_cast<std::size_t>(key)]; }
  const Item* end(int64_t key) const { return items.data() + offsets[static_cast<std::size_t>(key) + 1]; }
};

// One column's edges, as the target's sampled edges and the copies come into it.
struct ColumnEdge {
  int64_t row, e_id, hop;
};

// A source's edge out of a column: where it leads, its id and hop, and the id of its reverse
// (kSearched: to be searched in the target's run).
struct SourceEdge {
  int64_t col, e_id, hop, reversed;
};
constexpr int64_t kSearched = -2;

// The target's columns in turn, each with the target's edges into it and each source's edges out
// of it: a pair's counts all sit in one column, so they are plain arrays, reset after each column.
// A source's edge (column i, row j) gains a copy j -> i once the column already holds as many
// edges j -> i as the source's edges (i, j) so far. Calls copy(piece, s, j, i, e_id, hop) for each
// copy, in the column's order, and then column(piece, i, edges) with the column's edges: the
// target's, then each source's copies in turn. The columns are walked in `pieces` consecutive
// ranges, on `pool` when there are several, each with counts of its own.
template <class Copy, class Column>
void walk_columns(const CopyIds& copy_id, int64_t num_rows, const LocalEdges& target,
                  const std::vector<int64_t>& target_hop, const std::vector<ReverseSource>& sources,
                  const std::vector<std::vector<int64_t>>& source_hop, ThreadPool* pool, std::size_t pieces,
                  const Copy& copy, const Column& column_done) {
  const CscView& csc = copy_id.csc;
  const Int64Span col_node = copy_id.col_node;
  // The sampler hands its edges over by destination already, frontier after frontier: then they
  // are read where they lie.
  const bool target_by_col_already = std::is_sorted(target.col.data, target.col.data + target.col.size);
  const auto make_column_edge = [&](int64_t k) {
    return ColumnEdge{target.row[k], target.e_id[k], target_hop[static_cast<std::size_t>(k)]};
  };
  const GroupedItems<ColumnEdge> target_by_col(target.col, target_by_col_already ? 0 : target.row.size,
                                               col_node.size, make_column_edge);
  std::vector<int64_t> target_start;
  if (target_by_col_already) {
    target_start.assign(static_cast<std::size_t>(col_node.size) + 1, 0);
    for (int64_t k = 0; k < target.col.size; ++k) ++target_start[static_cast<std::size_t>(target.col[k]) + 1];
    for (std::size_t g = 1; g < target_start.size(); ++g) target_start[g] += target_start[g - 1];
  }
  std::vector<GroupedItems<SourceEdge>> source_by_row;
  bool searched = false;
  for (std::size_t s = 0; s < sources.size(); ++s) {
    const LocalEdges& edges = sources[s].edges;
    const std::vector<int64_t> reversed = sources[s].position.size != 0
                                              ? indexed_ids(sources[s], csc, copy_id.timed, copy_id.row_batch,
                                                            copy_id.group_time)
                                              : std::vector<int64_t>{};
    searched = searched || (reversed.empty() && edges.row.size != 0);
    source_by_row.emplace_back(edges.row, edges.row.size, col_node.size, [&](int64_t k) {
      return SourceEdge{edges.col[k], edges.e_id[k], source_hop[s][static_cast<std::size_t>(k)],
                        reversed.empty() ? kSearched : reversed[static_cast<std::size_t>(k)]};
    });
  }
  // Per row: how often the column joins (row, column) so far, and how many of a source's edges
  // (column, row) came by, side by side in one line; 32-bit counts while a call's edges fit them.
  int64_t most = target.row.size;
  for (const ReverseSource& source : sources) most += source.edges.row.size;
  // Always inlined: called once per piece, it would otherwise read every capture through its closure.
  const auto walk = [&](auto zero, std::size_t piece) __attribute__((always_inline)) {
    using Count = decltype(zero);
    const int64_t first_col = col_node.size * static_cast<int64_t>(piece) / static_cast<int64_t>(pieces);
    const int64_t last_col = col_node.size * static_cast<int64_t>(piece + 1) / static_cast<int64_t>(pieces);
    struct PairCounts {
      Count joined = 0, seen = 0;
    };
    std::vector<PairCounts> counts(static_cast<std::size_t>(num_rows));
    std::vector<ColumnEdge> column;
    for (int64_t i = first_col; i < last_col; ++i) {
      if (searched) {
        if (i + kPrefetchColptrAhead < last_col) prefetch_colptr(csc, col_node[i + kPrefetchColptrAhead]);
        if (i + kPrefetchRunAhead < last_col) prefetch_run(csc, col_node[i + kPrefetchRunAhead]);
      }
      if (target_by_col_already) {
        column.clear();
        const int64_t end = target_start[static_cast<std::size_t>(i) + 1];
        for (int64_t k = target_start[static_cast<std::size_t>(i)]; k < end; ++k) column.push_back(make_column_edge(k));
      } else {
        column.assign(target_by_col.begin(i), target_by_col.end(i));
      }
      for (std::size_t s = 0; s < sources.size(); ++s) {
        const SourceEdge* first = source_by_row[s].begin(i);
        const SourceEdge* last = source_by_row[s].end(i);
        if (first == last) continue;
        for (const ColumnEdge& edge : column) ++counts[static_cast<std::size_t>(edge.row)].joined;
        const std::size_t had = column.size();
        for (const SourceEdge* edge = first; edge < last; ++edge) {
          const int64_t j = edge->col;
          PairCounts& pair = counts[static_cast<std::size_t>(j)];
          if (++pair.seen <= pair.joined) continue;
          int64_t id = edge->reversed == kSearched ? copy_id.searched(i, j) : edge->reversed;
          if (id < 0) {
            if (!sources[s].same_type) continue;
            id = edge->e_id;
          }
          ++pair.joined;
          column.push_back({j, id, edge->hop});
          copy(piece, s, j, i, id, edge->hop);
        }
        // The copies just added are past `had`: they were counted as they came.
        for (std::size_t c = 0; c < had; ++c) counts[static_cast<std::size_t>(column[c].row)].joined = 0;
        for (const SourceEdge* edge = first; edge < last; ++edge) {
          counts[static_cast<std::size_t>(edge->col)] = PairCounts{};
        }
      }
      column_done(piece, i, column);
    }
  };
  const auto walk_piece = [&](std::size_t piece) {
    if (most <= int64_t{UINT32_MAX}) {
      walk(uint32_t{0}, piece);
    } else {
      walk(uint64_t{0}, piece);
    }
  };
  if (pieces < 2) {
    walk_piece(0);
    return;
  }
  const PoolCall call(*pool, pieces);
  pool->run(pieces, walk_piece);
}

// The ranges of columns to walk: one per thread of `pool` when the columns are many.
std::size_t column_pieces(ThreadPool* pool, int64_t num_cols) {
  if (pool == nullptr || pool->threads() < 2 || num_cols < kSplitColumnsLeast) return 1;
  return pool->threads();
}

// The edges sorted by destination, then source, without laying them out by hop first: each
// column's edges sorted by source, then hop, then the order they came in, which is the order a
// stable sort by destination and source of the edges laid out by hop gives.
SubgraphEdges edges_by_destination(const CopyIds& copy_id, int64_t num_rows, const LocalEdges& target,
                                   const std::vector<int64_t>& target_hop, const std::vector<ReverseSource>& sources,
                                   const std::vector<std::vector<int64_t>>& source_hop, int64_t num_hops,
                                   ThreadPool* pool) {
  const std::size_t pieces = column_pieces(pool, copy_id.col_node.size);
  std::vector<SubgraphEdges> parts(pieces);
  int64_t most = target.row.size;
  for (const ReverseSource& source : sources) most += source.edges.row.size;
  for (SubgraphEdges& part : parts) {
    part.hop_counts.assign(static_cast<std::size_t>(num_hops), 0);
    for (auto* values : {&part.row, &part.col, &part.e_id}) {
      values->reserve(static_cast<std::size_t>(most) / pieces + 1);
    }
  }
  const auto before = [](const ColumnEdge& a, const ColumnEdge& b) {
    return a.row != b.row ? a.row < b.row : a.hop < b.hop;
  };
  const auto no_copy = [](std::size_t, std::size_t, int64_t, int64_t, int64_t, int64_t) {};
  walk_columns(copy_id, num_rows, target, target_hop, sources, source_hop, pool, pieces, no_copy,
               [&](std::size_t piece, int64_t i, std::vector<ColumnEdge>& column) {
    SubgraphEdges& out = parts[piece];
    // Columns hold a few edges: an insertion sort (stable) serves, and a stable sort where many.
    if (column.size() > 32) {
      std::stable_sort(column.begin(), column.end(), before);
    } else {
      for (std::size_t at = 1; at < column.size(); ++at) {
        const ColumnEdge edge = column[at];
        std::size_t hole = at;
        for (; hole > 0 && before(edge, column[hole - 1]); --hole) column[hole] = column[hole - 1];
        column[hole] = edge;
      }
    }
    for (const ColumnEdge& edge : column) {
      out.row.push_back(edge.row);
      out.col.push_back(i);
      out.e_id.push_back(edge.e_id);
      if (static_cast<std::size_t>(edge.hop) >= out.hop_counts.size()) {
        out.hop_counts.resize(static_cast<std::size_t>(edge.hop) + 1, 0);
      }
      ++out.hop_counts[static_cast<std::size_t>(edge.hop)];
    }
  });
  // The pieces' columns follow one another.
  SubgraphEdges out = std::move(parts[0]);
  for (std::size_t piece = 1; piece < pieces; ++piece) {
    const SubgraphEdges& part = parts[piece];
    out.row.insert(out.row.end(), part.row.begin(), part.row.end());
    out.col.insert(out.col.end(), part.col.begin(), part.col.end());
    out.e_id.insert(out.e_id.end(), part.e_id.begin(), part.e_id.end());
    if (part.hop_counts.size() > out.hop_counts.size()) out.hop_counts.resize(part.hop_counts.size(), 0);
    for (std::size_t h = 0; h < part.hop_counts.size(); ++h) out.hop_counts[h] += part.hop_counts[h];
  }
  return out;
}

// The edges laid out by hop: in each hop the target's sampled edges, then each source's copies in
// turn, in the order of the columns.
SubgraphEdges edges_by_hop(const CopyIds& copy_id, int64_t num_rows, const LocalEdges& target,
                           const std::vector<int64_t>& target_hop, const std::vector<ReverseSource>& sources,
                           const std::vector<std::vector<int64_t>>& source_hop, int64_t num_hops,
                           ThreadPool* pool) {
  // Per piece and source, the copies.
  const std::size_t pieces = column_pieces(pool, copy_id.col_node.size);
  const std::vector<HopOrderedEdges> none(sources.size(), HopOrderedEdges(num_hops));
  std::vector<std::vector<HopOrderedEdges>> copies(pieces, none);
  walk_columns(copy_id, num_rows, target, target_hop, sources, source_hop, pool, pieces,
               [&](std::size_t piece, std::size_t s, int64_t j, int64_t i, int64_t e_id, int64_t hop) {
                 copies[piece][s].add(j, i, e_id, hop);
               },
               [](std::size_t, int64_t, const std::vector<ColumnEdge>&) {});
  // The sampled edges come in hop order, so a stable order by hop keeps them first within each hop.
  HopOrderedEdges out(num_hops);
  int64_t most = target.row.size;
  for (const ReverseSource& source : sources) most += source.edges.row.size;
  out.reserve(most);
  for (int64_t k = 0; k < target.row.size; ++k) {
    out.add(target.row[k], target.col[k], target.e_id[k], target_hop[static_cast<std::size_t>(k)]);
  }
  for (std::size_t s = 0; s < sources.size(); ++s) {
    for (std::size_t piece = 0; piece < pieces; ++piece) out.append(copies[piece][s]);
  }
  return out.finish();
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
                            bool by_destination, ThreadPool* pool) {
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

  const CopyIds copy_id{csc, index_row, index_position, row_node, row_batch, col_node, group_time, timed};
  if (by_destination) {
    return edges_by_destination(copy_id, row_node.size, target, target_hop, sources, source_hop, num_hops, pool);
  }
  return edges_by_hop(copy_id, row_node.size, target, target_hop, sources, source_hop, num_hops, pool);
}

}  // namespace quorvix
