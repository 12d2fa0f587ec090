#include "sampling/induced.hpp"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sampling/grouping.hpp"
#include "sampling/pair_table.hpp"
#include "sampling/thread_pool.hpp"

namespace quorvix {

namespace {

constexpr const char* kInducedEdges = "induced_edges";

// A marked source node's entry: the local index of its first copy (low bits), that copy's hop
// (capped: the cap sends the read to the full hop), and a bit set when more copies follow.
constexpr int kEntryIndexBits = 40;
constexpr int64_t kEntryIndexMask = (int64_t{1} << kEntryIndexBits) - 1;
constexpr int64_t kEntryHopCap = (int64_t{1} << 22) - 1;
constexpr uint64_t kEntryMoreCopies = uint64_t{1} << 63;
// A subgraph with at least this many destinations has its runs read on several threads, in pieces
// of consecutive destinations, a few per thread so that uneven runs balance out.
constexpr int64_t kSplitLeast = 4096;
constexpr int64_t kPiecesPerThread = 4;

// The edges as found, each with its CSC position in place of its id: the ids are read in a pass
// of their own, prefetched ahead, so that their misses overlap rather than stall the walk.
SubgraphEdges with_edge_ids(const CscView& csc, const HopOrderedEdges& found, ThreadPool* pool) {
  SubgraphEdges edges = found.finish();
  std::vector<int64_t>& e_id = edges.e_id;
  const auto read_ids = [&](std::size_t begin, std::size_t end) {
    constexpr std::size_t kAhead = 32;
    for (std::size_t k = begin; k < end; ++k) {
      if (k + kAhead < end) __builtin_prefetch(csc.perm.data + e_id[k + kAhead]);
      e_id[k] = csc.perm[e_id[k]];
    }
  };
  const std::size_t threads = pool == nullptr ? 1 : pool->threads();
  if (threads < 2 || e_id.size() < static_cast<std::size_t>(kSplitLeast) * 4) {
    read_ids(0, e_id.size());
    return edges;
  }
  const PoolCall call(*pool, threads);
  pool->run(threads, [&](std::size_t t) { read_ids(e_id.size() * t / threads, e_id.size() * (t + 1) / threads); });
  return edges;
}

}  // namespace

SubgraphEdges induced_edges(const CscView& csc, int64_t num_src_nodes, const SampledNodes& src,
                            const SampledNodes& dst, Int64Span group_time, int64_t num_hops, ThreadPool* pool) {
  check_csc(kInducedEdges, csc);
  if (num_src_nodes < 0) throw std::invalid_argument("induced_edges: 'num_src_nodes' must not be negative.");
  if (num_hops < 0) throw std::invalid_argument("induced_edges: 'num_hops' must not be negative.");
  check_same_length(kInducedEdges, "src_batch", src.batch, "src_node", src.node);
  check_same_length(kInducedEdges, "dst_batch", dst.batch, "dst_node", dst.node);
  check_indices(kInducedEdges, "src_node", src.node, num_src_nodes);
  check_indices(kInducedEdges, "dst_node", dst.node, csc.colptr.size - 1);
  const bool timed = group_time.size != 0 && csc.edge_time.size != 0;
  if (timed) {
    check_indices(kInducedEdges, "src_batch", src.batch, group_time.size);
    check_indices(kInducedEdges, "dst_batch", dst.batch, group_time.size);
  }
  const std::vector<int64_t> src_hop = hops_of(kInducedEdges, "src_hop_counts", src.hop_counts, src.node.size);
  const std::vector<int64_t> dst_hop = hops_of(kInducedEdges, "dst_hop_counts", dst.hop_counts, dst.node.size);
  const auto edge_hop = [&](int64_t i, int64_t j) {
    return std::max(std::max(src_hop[static_cast<std::size_t>(i)], dst_hop[static_cast<std::size_t>(j)]),
                    int64_t{1}) - 1;
  };

  int64_t candidates = 0;
  for (int64_t j = 0; j < dst.node.size; ++j) {
    check_run(kInducedEdges, csc, dst.node[j]);
    candidates += csc.colptr[dst.node[j] + 1] - csc.colptr[dst.node[j]];
  }

  HopOrderedEdges out(num_hops);
  out.reserve(candidates);
  std::vector<int64_t> next_copy(static_cast<std::size_t>(src.node.size));
  const auto emit_run = [&](int64_t j, const auto& first_copy_of) {
    const int64_t v = dst.node[j], group = dst.batch[j];
    const int64_t end = csc.colptr[v + 1];
    for (int64_t p = csc.colptr[v]; p < end; ++p) {
      if (timed && csc.edge_time[p] > group_time[group]) continue;
      const int64_t u = csc.row[p];
      if (static_cast<uint64_t>(u) >= static_cast<uint64_t>(num_src_nodes)) {
        throw std::invalid_argument("induced_edges: 'row' holds an index outside [0, " + std::to_string(num_src_nodes) +
                                    ").");
      }
      for (int64_t i = first_copy_of(group, u); i >= 0; i = next_copy[static_cast<std::size_t>(i)]) {
        out.add(i, j, p, edge_hop(i, j));
      }
    }
  };

  int64_t num_groups = 0;
  bool batches_small = true;
  for (const Int64Span batch : {src.batch, dst.batch}) {
    for (int64_t k = 0; k < batch.size; ++k) {
      batches_small = batches_small && batch[k] >= 0 && batch[k] <= src.node.size + dst.node.size;
      if (batches_small) num_groups = std::max(num_groups, batch[k] + 1);
    }
  }
  if (batches_small && num_src_nodes <= 16 * (candidates + src.node.size) && src.node.size <= kEntryIndexMask) {
    // The graph's source nodes are few beside the work: one subgraph at a time, its nodes marked in
    // a bit per node that fits in cache and turns most candidates away, and an entry per marked
    // node holding its first copy, that copy's hop and whether more copies follow: a sampled
    // candidate costs one random read, not a chain of them. Entries of unmarked nodes are never read.
    const Grouping src_by_group = Grouping::of(src.batch, src.batch.size, num_groups);
    const Grouping dst_by_group = Grouping::of(dst.batch, dst.batch.size, num_groups);
    // The marks of one subgraph at a time, per thread that reads subgraphs of its own.
    struct Marks {
      std::unique_ptr<uint64_t[]> entry;
      std::vector<uint64_t> marked;
      bool has(int64_t u) const { return (marked[static_cast<std::size_t>(u >> 6)] >> (u & 63) & 1) != 0; }
    };
    const auto make_marks = [&] {
      return Marks{std::unique_ptr<uint64_t[]>(new uint64_t[static_cast<std::size_t>(num_src_nodes)]),
                   std::vector<uint64_t>(static_cast<std::size_t>(num_src_nodes / 64 + 1), 0)};
    };
    const auto mark_group = [&](Marks& marks, int64_t g) {
      for (int64_t at = src_by_group.end(g) - 1; at >= src_by_group.begin(g); --at) {
        const int64_t i = src_by_group[at], u = src.node[i];
        const bool more = marks.has(u);  // a later copy of u in this subgraph came first here
        const int64_t later =
            more ? static_cast<int64_t>(marks.entry[static_cast<std::size_t>(u)] & kEntryIndexMask) : -1;
        next_copy[static_cast<std::size_t>(i)] = later;
        const auto hop = static_cast<uint64_t>(std::min(src_hop[static_cast<std::size_t>(i)], kEntryHopCap));
        marks.entry[static_cast<std::size_t>(u)] =
            static_cast<uint64_t>(i) | hop << kEntryIndexBits | (more ? kEntryMoreCopies : 0);
        marks.marked[static_cast<std::size_t>(u >> 6)] |= uint64_t{1} << (u & 63);
      }
    };
    const auto unmark_group = [&](Marks& marks, int64_t g) {
      for (int64_t at = src_by_group.begin(g); at < src_by_group.end(g); ++at) {
        marks.marked[static_cast<std::size_t>(src.node[src_by_group[at]] >> 6)] = 0;
      }
    };
    // The hot loop: always inlined, so that what it reads sits in registers, not behind a closure.
    const auto emit_marked_run = [&](const Marks& marks, int64_t j,
                                     HopOrderedEdges& into) __attribute__((always_inline)) {
      // Read through locals: the appends could otherwise make the compiler read the marks' pointers
      // again for every candidate.
      const uint64_t* const marked = marks.marked.data();
      const uint64_t* const entry = marks.entry.get();
      const int64_t v = dst.node[j], group = dst.batch[j];
      const int64_t to_hop = dst_hop[static_cast<std::size_t>(j)];
      const int64_t end = csc.colptr[v + 1];
      for (int64_t p = csc.colptr[v]; p < end; ++p) {
        if (timed && csc.edge_time[p] > group_time[group]) continue;
        const int64_t u = csc.row[p];
        if (static_cast<uint64_t>(u) >= static_cast<uint64_t>(num_src_nodes)) {
          throw std::invalid_argument("induced_edges: 'row' holds an index outside [0, " +
                                      std::to_string(num_src_nodes) + ").");
        }
        if ((marked[static_cast<std::size_t>(u >> 6)] >> (u & 63) & 1) == 0) continue;
        const uint64_t found = entry[static_cast<std::size_t>(u)];
        const auto i = static_cast<int64_t>(found & kEntryIndexMask);
        if ((found & kEntryMoreCopies) == 0) {
          int64_t from_hop = static_cast<int64_t>(found >> kEntryIndexBits & kEntryHopCap);
          if (from_hop == kEntryHopCap) from_hop = src_hop[static_cast<std::size_t>(i)];
          into.add(i, j, p, std::max(std::max(from_hop, to_hop), int64_t{1}) - 1);
        } else {
          for (int64_t k = i; k >= 0; k = next_copy[static_cast<std::size_t>(k)]) {
            into.add(k, j, p, edge_hop(k, j));
          }
        }
      }
    };
    // The runs of the destinations dst_by_group[begin:end], in that order.
    const auto emit_runs = [&](const Marks& marks, int64_t begin, int64_t end,
                               HopOrderedEdges& into) __attribute__((always_inline)) {
      for (int64_t at = begin; at < end; ++at) {
        if (at + kPrefetchColptrAhead < end) prefetch_colptr(csc, dst.node[dst_by_group[at + kPrefetchColptrAhead]]);
        if (at + kPrefetchRunAhead < end) prefetch_run_rows(csc, dst.node[dst_by_group[at + kPrefetchRunAhead]]);
        emit_marked_run(marks, dst_by_group[at], into);
      }
    };
    // The subgraphs groups[first:last] one after another.
    const auto emit_groups = [&](Marks& marks, int64_t first, int64_t last, HopOrderedEdges& into) {
      for (int64_t g = first; g < last; ++g) {
        if (dst_by_group.begin(g) == dst_by_group.end(g)) continue;
        mark_group(marks, g);
        emit_runs(marks, dst_by_group.begin(g), dst_by_group.end(g), into);
        unmark_group(marks, g);
      }
    };

    const std::size_t threads = pool == nullptr ? 1 : pool->threads();
    if (threads < 2 || dst.node.size < kSplitLeast) {
      Marks marks = make_marks();
      emit_groups(marks, 0, num_groups, out);
    } else if (num_groups == 1) {
      // One subgraph: marked once, its destinations read in pieces, the marks only read meanwhile.
      Marks marks = make_marks();
      mark_group(marks, 0);
      const auto pieces = static_cast<int64_t>(threads) * kPiecesPerThread;
      const int64_t begin = dst_by_group.begin(0), end = dst_by_group.end(0);
      std::vector<HopOrderedEdges> found(static_cast<std::size_t>(pieces), HopOrderedEdges(num_hops));
      const PoolCall call(*pool, threads);
      pool->run(static_cast<std::size_t>(pieces), [&](std::size_t k) {
        const auto piece = static_cast<int64_t>(k);
        emit_runs(marks, begin + (end - begin) * piece / pieces, begin + (end - begin) * (piece + 1) / pieces,
                  found[k]);
      });
      for (const HopOrderedEdges& piece : found) out.append(piece);
    } else {
      // Many subgraphs: each thread takes consecutive ones, about as many destinations each, with
      // marks of its own; a subgraph's sources are chained by one thread only.
      std::vector<int64_t> first_group(threads + 1, num_groups);
      first_group[0] = 0;
      for (int64_t g = 0, t = 1; g < num_groups && t < static_cast<int64_t>(threads); ++g) {
        if (dst_by_group.begin(g) * static_cast<int64_t>(threads) >= dst.node.size * t) first_group[t++] = g;
      }
      for (std::size_t t = 1; t < threads; ++t) first_group[t] = std::max(first_group[t], first_group[t - 1]);
      std::vector<HopOrderedEdges> found(threads, HopOrderedEdges(num_hops));
      const PoolCall call(*pool, threads);
      pool->run(threads, [&](std::size_t t) {
        Marks marks = make_marks();
        emit_groups(marks, first_group[t], first_group[t + 1], found[t]);
      });
      for (const HopOrderedEdges& piece : found) out.append(piece);
    }
    return with_edge_ids(csc, out, pool);
  }

  // Else a table of (subgraph, node) pairs, and one bit per graph node to drop most candidates,
  // which lead outside the subgraph, before the table is probed, when the bits are few.
  PairTable first_copy(static_cast<std::size_t>(src.node.size));
  for (int64_t i = src.node.size - 1; i >= 0; --i) {
    int64_t& head = first_copy.at(src.batch[i], src.node[i], PairTable::kMissing);
    next_copy[static_cast<std::size_t>(i)] = head;
    head = i;
  }
  std::vector<uint64_t> sampled_bits;
  const bool use_bits = num_src_nodes / 64 <= candidates;
  if (use_bits) {
    sampled_bits.assign(static_cast<std::size_t>(num_src_nodes / 64 + 1), 0);
    for (int64_t i = 0; i < src.node.size; ++i) {
      sampled_bits[static_cast<std::size_t>(src.node[i] >> 6)] |= uint64_t{1} << (src.node[i] & 63);
    }
  }
  const auto first_copy_of = [&](int64_t group, int64_t u) {
    if (use_bits && !(sampled_bits[static_cast<std::size_t>(u >> 6)] >> (u & 63) & 1)) return PairTable::kMissing;
    return first_copy.find(group, u);
  };
  for (int64_t j = 0; j < dst.node.size; ++j) {
    if (j + kPrefetchColptrAhead < dst.node.size) prefetch_colptr(csc, dst.node[j + kPrefetchColptrAhead]);
    if (j + kPrefetchRunAhead < dst.node.size) prefetch_run_rows(csc, dst.node[j + kPrefetchRunAhead]);
    emit_run(j, first_copy_of);
  }
  return with_edge_ids(csc, out, pool);
}

}  // namespace quorvix
