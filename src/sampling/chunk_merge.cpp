#include "sampling/chunk_merge.hpp"

namespace quorvix {

void lay_out(const NeighborSampler& sampler, const SplitRequest& request, const UnitWalk& walk, std::vector<Chunk>& chunks,
             std::vector<int64_t>& node_totals, std::vector<int64_t>& edge_totals) {
  const GraphSchema& schema = sampler.schema();
  node_totals.assign(schema.distinct_node_types.size(), 0);
  edge_totals.assign(schema.distinct_keys.size(), 0);
  for (const SeedsOfType& typed : request.seeds->types) {
    node_totals[typed.slot] = static_cast<int64_t>(typed.ids.size());
  }
  for (std::size_t unit = 0; unit < walk.units; ++unit) {
    const EdgeTypeSlots& slots = schema.edge_type_slots[walk.unit_edge_type[unit]];
    for (Chunk& chunk : chunks) {
      chunk.unit_node_start[unit] = node_totals[slots.neighbour];
      node_totals[slots.neighbour] += chunk.unit_nodes[unit];
      chunk.unit_edge_start[unit] = edge_totals[slots.key];
      edge_totals[slots.key] += chunk.unit_edges[unit];
    }
  }
}

template <bool kEdgeIds>
void write_chunk(const NeighborSampler& sampler, const UnitWalk& walk, Chunk& chunk, const ResultColumns& out) {
  const GraphSchema& schema = sampler.schema();
  for (std::size_t slot = 0; slot < chunk.nodes.size(); ++slot) {
    ChunkNodes& nodes = chunk.nodes[slot];
    nodes.to_global.resize(nodes.node.size());
    std::size_t local = 0;
    const auto place = [&](int64_t global, int64_t count) {
      for (int64_t k = 0; k < count; ++k, ++local) {
        nodes.to_global[local] = global + k;
        out.node[slot][global + k] = nodes.node[local];
        out.batch[slot][global + k] = nodes.batch[local];
      }
    };
    place(nodes.seed_begin, nodes.seed_end - nodes.seed_begin);
    for (std::size_t unit = 0; unit < walk.units; ++unit) {
      if (schema.edge_type_slots[walk.unit_edge_type[unit]].neighbour == slot) {
        place(chunk.unit_node_start[unit], chunk.unit_nodes[unit]);
      }
    }
  }
  std::vector<std::size_t> read(chunk.edges.size(), 0);
  for (std::size_t unit = 0; unit < walk.units; ++unit) {
    const EdgeTypeSlots& slots = schema.edge_type_slots[walk.unit_edge_type[unit]];
    const ChunkEdges& edges = chunk.edges[slots.key];
    const std::vector<int64_t>& rows = chunk.nodes[slots.neighbour].to_global;
    const std::vector<int64_t>& cols = chunk.nodes[slots.frontier].to_global;
    std::size_t& from = read[slots.key];
    const int64_t start = chunk.unit_edge_start[unit];
    for (int64_t k = 0; k < chunk.unit_edges[unit]; ++k, ++from) {
      out.row[slots.key][start + k] = rows[static_cast<std::size_t>(edges.row[from])];
      out.col[slots.key][start + k] = cols[static_cast<std::size_t>(edges.col[from])];
      if constexpr (kEdgeIds) out.edge[slots.key][start + k] = edges.edge[from];
    }
  }
}

template void write_chunk<false>(const NeighborSampler&, const UnitWalk&, Chunk&, const ResultColumns&);
template void write_chunk<true>(const NeighborSampler&, const UnitWalk&, Chunk&, const ResultColumns&);

}  // namespace quorvix
