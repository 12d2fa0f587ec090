#include "sampling/result.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace quorvix {

namespace {

py::array_t<int64_t> to_numpy(const int64_t* first, const int64_t* last) {
  py::array_t<int64_t> array(static_cast<py::ssize_t>(last - first));
  std::copy(first, last, array.mutable_data());
  return array;
}

// Each list's own array goes to the caller. A name that appears twice shares one list, and its
// second entry would only replace the first with equal values, so it is skipped.
template <typename Names>
void hand_over(ResultListTable& table, const Names& names, py::dict& out) {
  for (const auto& name : names) {
    const py::str key(name);
    if (!out.contains(key)) out[key] = table.at(name).release_array();
  }
}

}  // namespace

SampleResult assemble_result(NeighborSampler& sampler, py::dict* out_edge) {
  sampler.remember_result_sizes();
  py::dict node_counts;
  py::dict nodes;
  py::dict batches;
  for (const NodeType& name : sampler.node_types) {
    const std::vector<int64_t>& counts = sampler.num_sampled_nodes.at(name);
    node_counts[py::str(name)] = to_numpy(counts.data(), counts.data() + counts.size());
  }
  hand_over(sampler.out_node, sampler.node_types, nodes);
  hand_over(sampler.out_batch, sampler.node_types, batches);
  py::dict edge_counts;
  py::dict rows;
  py::dict cols;
  for (const EdgeTypeKey& key : sampler.edge_type_keys) {
    const std::vector<int64_t>& counts = sampler.num_sampled_edges.at(key);
    // The leading 0 only anchors the per-hop counters; it never reaches the caller.
    edge_counts[py::str(key)] = to_numpy(counts.data() + 1, counts.data() + counts.size());
  }
  hand_over(sampler.out_row, sampler.edge_type_keys, rows);
  hand_over(sampler.out_col, sampler.edge_type_keys, cols);
  if (out_edge != nullptr) hand_over(sampler.out_edge, sampler.edge_type_keys, *out_edge);
  sampler.clear_call_tables();
  return SampleResult{rows, cols, nodes, batches, node_counts, edge_counts};
}

}  // namespace quorvix
