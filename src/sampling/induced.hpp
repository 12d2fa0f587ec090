// Induced subgraphs: every edge of the graph between two nodes of the same sampled subgraph.
#pragma once

#include <cstdint>

#include "sampling/subgraph_edges.hpp"

namespace quorvix {

class ThreadPool;

// The edges of one edge type (src -> dst) between sampled nodes of one subgraph, no later than the
// subgraph's time (`group_time[batch]`, empty: no bound) when the type has edge times. A node listed
// twice in a subgraph (a repeated seed) gets the edges of each copy. An edge's hop is the later of
// its ends' hops, less one (edges between seeds count to the first hop); within a hop the edges
// follow their destination, then CSC order, then the source's copies, and the subgraphs may come
// one after another.
// `num_src_nodes` is the number of graph nodes of the source type. With `pool`, a large subgraph's
// runs are read on its threads; the edges are the same.
SubgraphEdges induced_edges(const CscView& csc, int64_t num_src_nodes, const SampledNodes& src,
                            const SampledNodes& dst, Int64Span group_time, int64_t num_hops,
                            ThreadPool* pool = nullptr);

}  // namespace quorvix
