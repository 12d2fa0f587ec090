// The sampled nodes of one node type across the hops of a call that runs outside the sampler (the
// distributed sampler expands each hop on the parts' owners and records here).
#pragma once

#include <cstdint>
#include <vector>

#include "graph/int64_span.hpp"
#include "graph/local_index_map.hpp"

namespace quorvix {

// (subgraph, node id) pairs in local-index order, each found again in constant time.
class NodeRecorder {
 public:
  // Appends the seeds: each takes its own local index, and a seed repeated in its subgraph is
  // found at its first copy.
  void add_seeds(Int64Span batch, Int64Span node);
  // Writes the local index of each pair to `local` (as long as `node`), appending the pairs not
  // recorded before in the order they first occur. `local` may be `node` itself.
  void record(Int64Span batch, Int64Span node, int64_t* local);

  const std::vector<int64_t>& nodes() const { return nodes_; }
  const std::vector<int64_t>& batches() const { return batches_; }

 private:
  LocalIndexMap map_;
  std::vector<int64_t> nodes_, batches_;
};

}  // namespace quorvix
