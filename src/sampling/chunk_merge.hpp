// The merge of the chunks' pieces into one result, in one-thread order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/neighbor_sampler.hpp"
#include "sampling/chunk_plan.hpp"
#include "sampling/parallel_state.hpp"

namespace quorvix {

// Where every chunk's piece of every unit goes in the result: units in walk order, and within a
// unit the chunks in seed order. Returns the node count per node slot and edge count per key slot.
void lay_out(const NeighborSampler& sampler, const SplitRequest& request, const UnitWalk& walk, std::vector<Chunk>& chunks,
             std::vector<int64_t>& node_totals, std::vector<int64_t>& edge_totals);

struct ResultColumns {
  std::vector<int64_t*> node;   // per node slot
  std::vector<int64_t*> batch;  // per node slot
  std::vector<int64_t*> row;    // per key slot
  std::vector<int64_t*> col;
  std::vector<int64_t*> edge;
};

// Writes one chunk's nodes and edges to their places in the result, local indices made global.
template <bool kEdgeIds>
void write_chunk(const NeighborSampler& sampler, const UnitWalk& walk, Chunk& chunk, const ResultColumns& out);

}  // namespace quorvix
