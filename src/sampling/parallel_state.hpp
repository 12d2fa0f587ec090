// What a sampler keeps for calls that use several threads: the pool, and the working storage of
// every seed chunk, reused from one call to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "graph/local_index_map.hpp"
#include "sampling/call_state.hpp"
#include "sampling/index_set.hpp"
#include "sampling/thread_pool.hpp"

namespace quorvix {

// Chunks are walked by different threads at once, and every walk writes its chunk's list sizes and
// counters once per node: aligned to cache lines, no two chunks' fields share one.
inline constexpr std::size_t kCacheLine = 64;

// One node type within a chunk: the chunk's sampled nodes of the type in chunk-local order.
struct alignas(kCacheLine) ChunkNodes {
  Int64List batch;
  Int64List node;
  LocalIndexMap local_index;
  NodeTypeState state;  // views of the three members above
  // The current frontier as segments [bounds[q], bounds[q + 1]), one per path it was reached by.
  std::vector<int64_t> bounds;
  std::vector<int64_t> next_bounds;  // the next hop's, growing during this one
  std::vector<int64_t> to_global;    // chunk-local index to index in the call's result
  int64_t seed_begin = 0;  // the chunk's seeds of the type: [seed_begin, seed_end) of its seed list
  int64_t seed_end = 0;
};

// One edge-type key within a chunk: its sampled edges in chunk-local indices.
struct alignas(kCacheLine) ChunkEdges {
  Int64List row;
  Int64List col;
  Int64List edge;  // row positions, when the call records them
};

// A range of batch values, and so a contiguous run of every type's seeds, sampled through every hop
// on its own. Per unit (one hop, one edge
// type, one frontier segment; numbered in the order a one-thread call walks them) it counts what it
// recorded, so the chunks' pieces can be put in one-thread order afterwards.
struct alignas(kCacheLine) Chunk {
  int64_t batch_first = 0;  // the batch values [batch_first, batch_last]
  int64_t batch_last = 0;
  std::vector<ChunkNodes> nodes;  // per distinct node type
  std::vector<ChunkEdges> edges;  // per distinct edge-type key
  std::vector<int64_t> unit_edges;
  std::vector<int64_t> unit_nodes;
  std::vector<int64_t> unit_draws;
  std::vector<int64_t> unit_draw_offset;  // where the unit's draws start in the hop's drawn values
  std::vector<int64_t> unit_node_start;   // where the unit's new nodes go in the result
  std::vector<int64_t> unit_edge_start;   // where the unit's edges go in the result
  IndexSet chosen;
  bool started = false;
  std::size_t next_hop = 0;  // the first hop not yet sampled
  // The first failure: the unit it happened in, the error, and how many of the hop's drawn values
  // one thread would have used by then.
  bool failed = false;
  std::size_t failed_unit = 0;
  std::exception_ptr error;
  int64_t draws_used = 0;
};

// One part of a step's frontier: what its walk picked, in walk order, before numbering.
struct alignas(kCacheLine) FrontierPart {
  int64_t begin = 0;  // the frontier entries [begin, end)
  int64_t end = 0;
  Int64List ids;        // the picked neighbours' ids
  Int64List cols;       // the frontier entry's local index, per pick
  Int64List positions;  // row positions, when the call records them
  // The nodes its numbering reached first, and their batch values: added to the node lists only
  // after every walk, which may be reading those lists as its frontier.
  Int64List fresh_ids;
  Int64List fresh_batches;
  IndexSet chosen;
  int64_t picks = 0;
  int64_t draws = 0;
  int64_t draw_offset = 0;
};

// The chunk storage a sampler keeps from one call to the next, at most: enough for calls of a
// training loop's size to reuse it, while a call with a large result gives its storage back.
constexpr std::size_t kKeptChunkBytes = std::size_t{64} << 20;

struct ParallelState {
  PoolSlot pool;
  std::vector<Chunk> chunks;
  std::vector<uint32_t> drawn;  // one hop's draws, in one-thread order
  std::vector<FrontierPart> parts;  // of calls that grow one subgraph

  // The bytes the chunks and the drawn values hold.
  std::size_t storage_bytes() const;
  // Frees the chunks and the drawn values when they hold more than kKeptChunkBytes.
  void release_large_storage();
};

// Calls release_large_storage() on every way out of a call.
class StorageBound {
 public:
  explicit StorageBound(ParallelState& state) : state_(state) {}
  ~StorageBound() { state_.release_large_storage(); }
  StorageBound(const StorageBound&) = delete;
  StorageBound& operator=(const StorageBound&) = delete;

 private:
  ParallelState& state_;
};

}  // namespace quorvix
