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

py::array_t<int64_t> to_numpy(const std::vector<int64_t>& list) {
  return to_numpy(list.data(), list.data() + list.size());
}

}  // namespace

SampleResult assemble_result(NeighborSampler& sampler, py::dict* out_edge) {
  py::dict node_counts;
  py::dict nodes;
  py::dict batches;
  for (const NodeType& name : sampler.node_types) {
    nodes[py::str(name)] = to_numpy(sampler.out_node.at(name));
    node_counts[py::str(name)] = to_numpy(sampler.num_sampled_nodes.at(name));
    batches[py::str(name)] = to_numpy(sampler.out_batch.at(name));
  }
  py::dict edge_counts;
  py::dict rows;
  py::dict cols;
  for (const EdgeTypeKey& key : sampler.edge_type_keys) {
    const std::vector<int64_t>& counts = sampler.num_sampled_edges.at(key);
    // The leading 0 only anchors the per-hop counters; it never reaches the caller.
    edge_counts[py::str(key)] = to_numpy(counts.data() + 1, counts.data() + counts.size());
    rows[py::str(key)] = to_numpy(sampler.out_row.at(key));
    cols[py::str(key)] = to_numpy(sampler.out_col.at(key));
  }
  if (out_edge != nullptr) {
    for (const EdgeTypeKey& key : sampler.edge_type_keys) (*out_edge)[py::str(key)] = to_numpy(sampler.out_edge.at(key));
  }
  sampler.clear_call_tables();
  return SampleResult{rows, cols, nodes, batches, node_counts, edge_counts};
}

}  // namespace quorvix
