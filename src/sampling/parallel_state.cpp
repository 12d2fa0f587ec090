#include "sampling/parallel_state.hpp"

namespace quorvix {

namespace {

std::size_t list_bytes(const Int64List& list) { return list.capacity() * sizeof(int64_t); }

template <typename T>
std::size_t vector_bytes(const std::vector<T>& values) {
  return values.capacity() * sizeof(T);
}

}  // namespace

std::size_t ParallelState::storage_bytes() const {
  std::size_t bytes = vector_bytes(drawn) + vector_bytes(chunks);
  for (const Chunk& chunk : chunks) {
    for (const ChunkNodes& nodes : chunk.nodes) {
      bytes += list_bytes(nodes.batch) + list_bytes(nodes.node) + nodes.local_index.bytes() +
               vector_bytes(nodes.bounds) + vector_bytes(nodes.next_bounds) + vector_bytes(nodes.to_global);
    }
    for (const ChunkEdges& edges : chunk.edges) {
      bytes += list_bytes(edges.row) + list_bytes(edges.col) + list_bytes(edges.edge);
    }
    for (const std::vector<int64_t>* counters : {&chunk.unit_edges, &chunk.unit_nodes, &chunk.unit_draws,
                                                 &chunk.unit_draw_offset, &chunk.unit_node_start,
                                                 &chunk.unit_edge_start}) {
      bytes += vector_bytes(*counters);
    }
    bytes += chunk.chosen.bytes();
  }
  for (const FrontierPart& part : parts) {
    bytes += list_bytes(part.ids) + list_bytes(part.cols) + list_bytes(part.positions) + list_bytes(part.fresh_ids) + list_bytes(part.fresh_batches) +
             part.chosen.bytes();
  }
  return bytes;
}

void ParallelState::release_large_storage() {
  if (storage_bytes() <= kKeptChunkBytes) return;
  std::vector<Chunk>().swap(chunks);
  std::vector<FrontierPart>().swap(parts);
  std::vector<uint32_t>().swap(drawn);
}

}  // namespace quorvix
