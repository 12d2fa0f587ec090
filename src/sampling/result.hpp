// The six result dicts of a sample call: the per-call tables' lists, handed over as NumPy arrays.
#pragma once

#include "sampling/neighbor_sampler.hpp"

namespace quorvix {

// Builds (out_row, out_col, out_node, out_batch, num_sampled_nodes, num_sampled_edges without its
// leading 0), keyed in node_types and edge_types order, then empties the per-call tables. With
// `out_edge`, also fills it from the sampler's out_edge table, keyed in edge_types order.
SampleResult assemble_result(NeighborSampler& sampler, py::dict* out_edge = nullptr);

}  // namespace quorvix
