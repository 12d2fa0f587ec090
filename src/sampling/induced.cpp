#include "sampling/induced.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "sampling/pair_table.hpp"

namespace quorvix {

namespace {

constexpr const char* kFunction = "induced_edges";

}  // namespace

SubgraphEdges induced_edges(const CscView& csc, int64_t num_src_nodes, const SampledNodes& src,
                            const SampledNodes& dst, Int64Span group_time, int64_t num_hops) {
  check_csc(kFunction, csc);
  if (num_src_nodes < 0) throw std::invalid_argument("induced_edges: 'num_src_nodes' must not be negative.");
  if (num_hops < 0) throw std::invalid_argument("induced_edges: 'num_hops' must not be negative.");
  check_same_length(kFunction, "src_batch", src.batch, "src_node", src.node);
  check_same_length(kFunction, "dst_batch", dst.batch, "dst_node", dst.node);
  check_indices(kFunction, "src_node", src.node, num_src_nodes);
  check_indices(kFunction, "dst_node", dst.node, csc.colptr.size - 1);
  const bool timed = group_time.size != 0 && csc.edge_time.size != 0;
  if (timed) {
    check_indices(kFunction, "src_batch", src.batch, group_time.size);
    check_indices(kFunction, "dst_batch", dst.batch, group_time.size);
  }
  const std::vector<int64_t> src_hop = hops_of(kFunction, "src_hop_counts", src.hop_counts, src.node.size);
  const std::vector<int64_t> dst_hop = hops_of(kFunction, "dst_hop_counts", dst.hop_counts, dst.node.size);
  const auto edge_hop = [&](int64_t i, int64_t j) {
    return std::max(std::max(src_hop[static_cast<std::size_t>(i)], dst_hop[static_cast<std::size_t>(j)]),
                    int64_t{1}) - 1;
  };

  int64_t candidates = 0;
  for (int64_t j = 0; j < dst.node.size; ++j) {
    check_run(kFunction, csc, dst.node[j]);
    candidates += csc.colptr[dst.node[j] + 1] - csc.colptr[dst.node[j]];
  }

  // First local index of each (subgraph, node) of the source type, and the next copy of it.
  PairTable first_copy(static_cast<std::size_t>(src.node.size));
  std::vector<int64_t> next_copy(static_cast<std::size_t>(src.node.size));
  for (int64_t i = src.node.size - 1; i >= 0; --i) {
    int64_t& head = first_copy.at(src.batch[i], src.node[i], PairTable::kMissing);
    next_copy[static_cast<std::size_t>(i)] = head;
    head = i;
  }
  // Most candidates lead outside the subgraph: one bit per graph node drops them before the table
  // is probed, when the bits are few beside the candidates.
  std::vector<uint64_t> sampled_bits;
  const bool use_bits = num_src_nodes / 64 <= candidates;
  if (use_bits) {
    sampled_bits.assign(static_cast<std::size_t>(num_src_nodes / 64 + 1), 0);
    for (int64_t i = 0; i < src.node.size; ++i) {
      sampled_bits[static_cast<std::size_t>(src.node[i] >> 6)] |= uint64_t{1} << (src.node[i] & 63);
    }
  }

  HopOrderedEdges out(num_hops);
  for (int64_t j = 0; j < dst.node.size; ++j) {
    const int64_t v = dst.node[j], group = dst.batch[j];
    const int64_t end = csc.colptr[v + 1];
    for (int64_t p = csc.colptr[v]; p < end; ++p) {
      if (timed && csc.edge_time[p] > group_time[group]) continue;
      const int64_t u = csc.row[p];
      if (static_cast<uint64_t>(u) >= static_cast<uint64_t>(num_src_nodes)) {
        throw std::invalid_argument("induced_edges: 'row' holds an index outside [0, " + std::to_string(num_src_nodes) +
                                    ").");
      }
      if (use_bits && !(sampled_bits[static_cast<std::size_t>(u >> 6)] >> (u & 63) & 1)) continue;
      for (int64_t i = first_copy.find(group, u); i != PairTable::kMissing; i = next_copy[static_cast<std::size_t>(i)]) {
        out.add(i, j, csc.perm[p], edge_hop(i, j));
      }
    }
  }
  return out.finish();
}

}  // namespace quorvix
