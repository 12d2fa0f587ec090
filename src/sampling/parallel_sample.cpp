#include "sampling/parallel_sample.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "graph/without_gil.hpp"
#include "sampling/call_setup.hpp"
#include "sampling/expand.hpp"
#include "sampling/recording.hpp"

namespace quorvix {

namespace {

// The (unit, chunk) counters a call may track: a few nanoseconds each, against some tens per seed
// for the cheapest call that samples anything. Beyond this a schema's paths cost more to track than
// splitting the call can save, and the call runs on one thread.
constexpr std::size_t kMinCounterBudget = 1024;
constexpr std::size_t kCountersPerSeed = 1;
constexpr std::size_t kMaxChunks = 256;
// Chunks per thread: the cost of a seed varies widely, and small chunks let threads even it out.
constexpr std::size_t kChunksPerThread = 8;
// But a chunk has a fixed cost too: a small call gets fewer, larger chunks.
constexpr int64_t kMinSeedsPerChunk = 32;
// Result entries (nodes and edges) below which the calling thread writes the result alone.
constexpr int64_t kMinParallelWrite = 1 << 12;

// Frees storage that a much larger earlier call left behind, and empties the list.
void reuse(Int64List& list) {
  if (list.capacity() > 4 * list.size() + 1024) {
    list = Int64List();
  } else {
    list.clear();
  }
}

// The walk order of a call over units: hop, then edge type, then frontier segment. A segment of a
// node type's frontier holds the nodes first reached along one path of edge types from the seeds,
// so every chunk has the same segments, and one thread walks them segment by segment, each
// segment chunk by chunk.
struct Walk {
  std::size_t hops = 0;            // hops sampled: all, or up to the one with a deferred failure
  std::size_t last_hop_edge_types = 0;  // edge types sampled in the last of them
  std::vector<std::vector<std::size_t>> segments;   // [hop][node slot]
  std::vector<std::vector<std::size_t>> first_unit;  // [hop][edge type]
  std::vector<std::size_t> hop_first_unit;  // [hop], and the unit count at the end
  std::vector<std::size_t> unit_edge_type;
  std::vector<std::size_t> unit_hop;
  std::size_t units = 0;

  std::size_t edge_types_in(std::size_t hop, std::size_t edge_types) const {
    return hop + 1 == hops ? last_hop_edge_types : edge_types;
  }
};

struct Request {
  std::vector<std::vector<HopPlan>> plans;  // [hop][edge type]
  std::exception_ptr deferred;  // a failure at the first edge type the walk does not reach
  const SeedSet* seeds = nullptr;
};

// Reads every hop's rule in one-thread order. The first failure (an unknown frontier type, a Python
// error of a lookup or conversion) is kept, not raised: a one-thread call meets it only after
// sampling everything before it, which may fail first.
void read_plans(const NeighborSampler& sampler, const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                uint64_t num_hops, bool has_seed_times, TemporalStrategy strategy, Request& request, Walk& walk) {
  const GraphSchema& schema = sampler.schema();
  const std::size_t edge_types = sampler.edge_types.size();
  walk.hops = static_cast<std::size_t>(num_hops);
  walk.last_hop_edge_types = edge_types;
  for (std::size_t hop = 0; hop < num_hops && !request.deferred; ++hop) {
    request.plans.emplace_back();
    for (std::size_t i = 0; i < edge_types; ++i) {
      try {
        const EdgeTypeKey& key = sampler.edge_type_keys[i];
        if (schema.edge_type_slots[i].frontier == kNoSlot) {
          throw std::out_of_range("Frontier type '" + frontier_type(sampler.edge_types[i]) + "' of '" + key +
                                  "' is not in 'node_types'.");
        }
        request.plans.back().push_back(HopPlan{fetch_hop_rule(num_neighbors, sampling_time_offsets, key, hop),
                                               sampler.edge_type_timed(i) && has_seed_times, strategy});
      } catch (...) {
        request.deferred = std::current_exception();
        walk.hops = hop + 1;
        walk.last_hop_edge_types = i;
        break;
      }
    }
  }
}

// Numbers the units; false, as soon as it knows, when `chunks` chunks would need more than `budget`
// counters to track them.
bool number_units(const GraphSchema& schema, std::size_t edge_types, const SeedSet& seeds, std::size_t chunks,
                  std::size_t budget, Walk& walk) {
  const std::size_t slots = schema.distinct_node_types.size();
  walk.segments.assign(walk.hops + 1, std::vector<std::size_t>(slots, 0));
  for (const SeedsOfType& typed : seeds.types) walk.segments[0][typed.slot] = 1;
  walk.first_unit.assign(walk.hops, std::vector<std::size_t>(edge_types, 0));
  walk.hop_first_unit.clear();
  walk.unit_edge_type.clear();
  walk.unit_hop.clear();
  walk.units = 0;
  for (std::size_t hop = 0; hop < walk.hops; ++hop) {
    walk.hop_first_unit.push_back(walk.units);
    for (std::size_t i = 0; i < walk.edge_types_in(hop, edge_types); ++i) {
      const EdgeTypeSlots& slot = schema.edge_type_slots[i];
      // An unknown frontier type ends the walk here: reading the rules defers its failure, and the
      // units are numbered again up to it.
      if (slot.frontier == kNoSlot) {
        walk.hop_first_unit.push_back(walk.units);
        return true;
      }
      const std::size_t segments = walk.segments[hop][slot.frontier];
      walk.first_unit[hop][i] = walk.units;
      walk.units += segments;
      walk.segments[hop + 1][slot.neighbour] += segments;
      // Stopping at once also keeps the count (which may grow geometrically) from overflowing.
      if (walk.units * chunks > budget) return false;
      walk.unit_edge_type.insert(walk.unit_edge_type.end(), segments, i);
      walk.unit_hop.insert(walk.unit_hop.end(), segments, hop);
    }
  }
  walk.hop_first_unit.push_back(walk.units);
  return true;
}

void start_chunk(const NeighborSampler& sampler, const Request& request, const Walk& walk, Chunk& chunk) {
  const GraphSchema& schema = sampler.schema();
  chunk.nodes.resize(schema.distinct_node_types.size());
  chunk.edges.resize(schema.distinct_keys.size());
  for (std::size_t slot = 0; slot < chunk.nodes.size(); ++slot) {
    ChunkNodes& nodes = chunk.nodes[slot];
    reuse(nodes.batch);
    reuse(nodes.node);
    nodes.local_index.clear();
    NodeTypeState& state = nodes.state;
    state = NodeTypeState{};
    state.batch = &nodes.batch;
    state.node = &nodes.node;
    state.local_index = &nodes.local_index;
    describe_node_type(sampler, slot, state);
    nodes.bounds.assign(1, 0);
    nodes.seed_begin = 0;
    nodes.seed_end = 0;
  }
  for (ChunkEdges& edges : chunk.edges) {
    reuse(edges.row);
    reuse(edges.col);
    reuse(edges.edge);
  }
  // The seeds whose batch values fall in the chunk's range, a contiguous run of every type's seeds,
  // seeded as one thread seeds them.
  for (const SeedsOfType& typed : request.seeds->types) {
    ChunkNodes& seeds = chunk.nodes[typed.slot];
    const auto first = std::lower_bound(typed.batch.begin(), typed.batch.end(), chunk.batch_first);
    seeds.seed_begin = first - typed.batch.begin();
    seeds.seed_end = std::upper_bound(first, typed.batch.end(), chunk.batch_last) - typed.batch.begin();
    const std::size_t count = static_cast<std::size_t>(seeds.seed_end - seeds.seed_begin);
    seeds.batch.reserve(count);
    seeds.node.reserve(count);
    seeds.local_index.reserve(count);
    for (int64_t i = seeds.seed_begin; i < seeds.seed_end; ++i) {
      const auto at = static_cast<std::size_t>(i);
      if (!seeds.local_index.insert(typed.batch[at], typed.ids[at]).inserted) seeds.local_index.skip_local();
      seeds.batch.push_back(typed.batch[at]);
      seeds.node.push_back(typed.ids[at]);
    }
    seeds.bounds.push_back(static_cast<int64_t>(count));
  }
  for (std::vector<int64_t>* counters : {&chunk.unit_edges, &chunk.unit_nodes, &chunk.unit_draws,
                                         &chunk.unit_draw_offset, &chunk.unit_node_start, &chunk.unit_edge_start}) {
    counters->assign(walk.units, 0);
  }
  chunk.failed = false;
  chunk.error = nullptr;
  chunk.draws_used = 0;
}

template <bool kEdgeIds>
EdgeSampling<DrawnValues, kEdgeIds> edge_sampling(const NeighborSampler& sampler, Chunk& chunk, std::size_t i,
                                                  DrawnValues* drawn) {
  const EdgeTypeKey& key = sampler.edge_type_keys[i];
  const EdgeTypeSlots& slots = sampler.schema().edge_type_slots[i];
  ChunkNodes& neighbours = chunk.nodes[slots.neighbour];
  ChunkEdges& edges = chunk.edges[slots.key];
  EdgeSampling<DrawnValues, kEdgeIds> sampling{&key,
                                             &frontier_type(sampler.edge_types[i]),
                                             &neighbour_type(sampler.edge_types[i]),
                                             sampler.colptr.at(key),
                                             sampler.row.at(key),
                                             neighbours.state.node_time,
                                             &neighbours.state,
                                             &edges.row,
                                             &edges.col,
                                             kEdgeIds ? &edges.edge : nullptr,
                                             nullptr,
                                             drawn,
                                             &chunk.chosen};
  describe_edge_type(sampler, i, sampling);
  return sampling;
}

// Counts the draws of every unit of the hop, stopping at the chunk's first failure: the sampling
// pass meets that failure again (or an earlier one) and never needs the draws beyond it.
template <bool kEdgeIds>
void count_hop_draws(const NeighborSampler& sampler, const Request& request, const Walk& walk, std::size_t hop,
                     Chunk& chunk) {
  try {
    for (std::size_t i = 0; i < walk.edge_types_in(hop, sampler.edge_types.size()); ++i) {
      const HopPlan& plan = request.plans[hop][i];
      if (!plan.draws()) continue;
      const auto edges = edge_sampling<kEdgeIds>(sampler, chunk, i, nullptr);
      const ChunkNodes& frontier = chunk.nodes[sampler.schema().edge_type_slots[i].frontier];
      for (std::size_t q = 0; q + 1 < frontier.bounds.size(); ++q) {
        int64_t& draws = chunk.unit_draws[walk.first_unit[hop][i] + q];
        count_frontier_draws(edges, frontier.state, frontier.bounds[q], frontier.bounds[q + 1], plan,
                             request.seeds->time_of_batch, draws);
      }
    }
  } catch (...) {
  }
}

template <bool kEdgeIds>
void sample_hop(const NeighborSampler& sampler, const Request& request, const Walk& walk, std::size_t hop,
                const uint32_t* drawn_values, Chunk& chunk) {
  const GraphSchema& schema = sampler.schema();
  for (ChunkNodes& nodes : chunk.nodes) nodes.next_bounds.assign(1, static_cast<int64_t>(nodes.node.size()));
  DrawnValues drawn{drawn_values};
  std::size_t unit = walk.hop_first_unit[hop];
  try {
    for (std::size_t i = 0; i < walk.edge_types_in(hop, sampler.edge_types.size()); ++i) {
      auto edges = edge_sampling<kEdgeIds>(sampler, chunk, i, &drawn);
      const EdgeTypeSlots& slots = schema.edge_type_slots[i];
      const ChunkNodes& frontier = chunk.nodes[slots.frontier];
      ChunkNodes& neighbours = chunk.nodes[slots.neighbour];
      for (std::size_t q = 0; q + 1 < frontier.bounds.size(); ++q) {
        unit = walk.first_unit[hop][i] + q;
        drawn.next = drawn_values + chunk.unit_draw_offset[unit];
        edges.edge_count = &chunk.unit_edges[unit];
        const std::size_t before = neighbours.node.size();
        expand_frontier(edges, frontier.state, frontier.bounds[q], frontier.bounds[q + 1], request.plans[hop][i],
                        request.seeds->time_of_batch);
        chunk.unit_nodes[unit] = static_cast<int64_t>(neighbours.node.size() - before);
        neighbours.next_bounds.push_back(static_cast<int64_t>(neighbours.node.size()));
      }
    }
  } catch (...) {
    chunk.failed = true;
    chunk.failed_unit = unit;
    chunk.error = std::current_exception();
    chunk.draws_used = drawn.next - drawn_values;
    return;
  }
  for (ChunkNodes& nodes : chunk.nodes) nodes.bounds.swap(nodes.next_bounds);
}

// Takes the chunk as far as it can go on its own: every hop up to the next one whose draws are not
// made yet, whose draws it then counts. `drawn_hop` is the hop the values in `drawn_values` are for.
template <bool kEdgeIds>
void advance_chunk(const NeighborSampler& sampler, const Request& request, const Walk& walk,
                   const std::vector<bool>& hop_draws, std::size_t drawn_hop, const uint32_t* drawn_values,
                   Chunk& chunk) {
  if (!chunk.started) {
    start_chunk(sampler, request, walk, chunk);
    chunk.started = true;
  }
  while (chunk.next_hop < walk.hops) {
    const std::size_t hop = chunk.next_hop;
    if (hop_draws[hop] && hop != drawn_hop) {
      count_hop_draws<kEdgeIds>(sampler, request, walk, hop, chunk);
      return;
    }
    sample_hop<kEdgeIds>(sampler, request, walk, hop, hop == drawn_hop ? drawn_values : nullptr, chunk);
    if (chunk.failed) return;
    ++chunk.next_hop;
  }
}

// Where every chunk's piece of every unit goes in the result: units in walk order, and within a
// unit the chunks in seed order. Returns the node count per node slot and edge count per key slot.
void lay_out(const NeighborSampler& sampler, const Request& request, const Walk& walk, std::vector<Chunk>& chunks,
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

struct ResultColumns {
  std::vector<int64_t*> node;   // per node slot
  std::vector<int64_t*> batch;  // per node slot
  std::vector<int64_t*> row;    // per key slot
  std::vector<int64_t*> col;
  std::vector<int64_t*> edge;
};

// Writes one chunk's nodes and edges to their places in the result, local indices made global.
template <bool kEdgeIds>
void write_chunk(const NeighborSampler& sampler, const Walk& walk, Chunk& chunk, const ResultColumns& out) {
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

py::array_t<int64_t> int64_array(int64_t size) { return py::array_t<int64_t>(static_cast<py::ssize_t>(size)); }

py::array_t<int64_t> int64_array(const std::vector<int64_t>& values) {
  py::array_t<int64_t> array = int64_array(static_cast<int64_t>(values.size()));
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

}  // namespace

template <bool kEdgeIds>
std::optional<SampleOutput<kEdgeIds>> sample_in_parallel(NeighborSampler& sampler, ParallelState& state,
                                                         std::size_t threads, TemporalStrategy strategy,
                                                         const py::dict& num_neighbors,
                                                         const py::dict& sampling_time_offsets, uint64_t num_hops,
                                                         const SeedSet& seeds) {
  const GraphSchema& schema = sampler.schema();
  const std::size_t edge_types = sampler.edge_types.size();
  // Chunks are ranges of batch values; a node's batch value is its seed's, so every frontier segment
  // holds the chunks' nodes one chunk after the other, as long as the seeds do.
  if (!seeds.batches_sorted()) return std::nullopt;
  std::vector<int64_t> batch_values;
  for (const SeedsOfType& typed : seeds.types) {
    batch_values.insert(batch_values.end(), typed.batch.begin(), typed.batch.end());
  }
  std::sort(batch_values.begin(), batch_values.end());
  const auto seed_count = static_cast<int64_t>(batch_values.size());
  if (seed_count < 2 || batch_values.front() == batch_values.back()) return std::nullopt;

  // Chunk c starts at the batch value of the seed at its share of the sorted seeds; shares that
  // start inside one batch value merge.
  const auto chunk_firsts = [&](std::size_t wanted) {
    std::vector<int64_t> firsts;
    const auto count = static_cast<int64_t>(wanted);
    for (int64_t c = 0; c < count; ++c) {
      const int64_t first = batch_values[static_cast<std::size_t>(c * seed_count / count)];
      if (firsts.empty() || first != firsts.back()) firsts.push_back(first);
    }
    return firsts;
  };
  const std::size_t wanted = std::min({static_cast<std::size_t>(seed_count),
                                       std::max(static_cast<std::size_t>(seed_count / kMinSeedsPerChunk), threads),
                                       threads * kChunksPerThread, kMaxChunks});
  std::vector<int64_t> firsts = chunk_firsts(wanted);

  // Whether the paths are worth tracking is decided from the schema alone, before anything else is
  // read or any thread woken: with too many, first fewer chunks, then one thread.
  const std::size_t budget = std::max(kMinCounterBudget, kCountersPerSeed * static_cast<std::size_t>(seed_count));
  Walk walk;
  walk.hops = static_cast<std::size_t>(num_hops);
  walk.last_hop_edge_types = edge_types;
  if (!number_units(schema, edge_types, seeds, firsts.size(), budget, walk)) {
    firsts = chunk_firsts(std::min(wanted, threads));
    if (!number_units(schema, edge_types, seeds, firsts.size(), budget, walk)) return std::nullopt;
  }
  const std::size_t chunk_count = firsts.size();
  const StorageBound bound(state);
  ThreadPool& pool = state.pool.get(threads);
  // The workers wake while the rules are read.
  const PoolCall call(pool, chunk_count);

  // Everything Python first, in one-thread order: every rule.
  Request request;
  request.seeds = &seeds;
  read_plans(sampler, num_neighbors, sampling_time_offsets, num_hops, !seeds.time_of_batch.empty(), strategy,
             request, walk);
  // A deferred failure ends the walk early: fewer units than counted above.
  if (request.deferred) number_units(schema, edge_types, seeds, chunk_count, budget, walk);

  std::vector<Chunk>& chunks = state.chunks;
  chunks.resize(chunk_count);
  for (std::size_t c = 0; c < chunk_count; ++c) {
    chunks[c].batch_first = firsts[c];
    chunks[c].batch_last = c + 1 < chunk_count ? firsts[c + 1] - 1 : batch_values.back();
  }
  std::vector<uint32_t>& drawn = state.drawn;
  const Chunk* failed = nullptr;
  std::vector<int64_t> node_totals;
  std::vector<int64_t> edge_totals;
  without_gil([&] {
    // Rounds: each takes every chunk to the next hop that draws, or to the end. Between rounds the
    // hop's draws are made from the one generator in one-thread order: a chunk's share of a unit
    // starts after the draws of every unit before it and of the chunks before it in that unit.
    std::vector<bool> hop_draws(walk.hops, false);
    for (std::size_t hop = 0; hop < walk.hops; ++hop) {
      for (std::size_t i = 0; i < walk.edge_types_in(hop, edge_types); ++i) {
        if (request.plans[hop][i].draws()) hop_draws[hop] = true;
      }
    }
    for (Chunk& chunk : chunks) {
      chunk.started = false;
      chunk.next_hop = 0;
    }
    std::size_t drawn_hop = walk.hops;  // none yet
    std::mt19937 before_draws = sampler.generator;
    drawn.clear();
    for (;;) {
      pool.run(chunk_count, [&](std::size_t c) {
        advance_chunk<kEdgeIds>(sampler, request, walk, hop_draws, drawn_hop, drawn.data(), chunks[c]);
      });
      for (const Chunk& chunk : chunks) {
        if (chunk.failed && (failed == nullptr || chunk.failed_unit < failed->failed_unit)) failed = &chunk;
      }
      if (failed != nullptr) {
        // Only the draws a one-thread call makes before the failure stay consumed. A failure in a
        // later hop than the drawn one comes after all of its draws.
        if (walk.unit_hop[failed->failed_unit] == drawn_hop) {
          sampler.generator = before_draws;
          sampler.generator.discard(static_cast<unsigned long long>(failed->draws_used));
        }
        break;
      }
      const std::size_t hop = chunks.front().next_hop;  // every chunk stops at the same hop
      if (hop == walk.hops) break;
      int64_t total = 0;
      for (std::size_t unit = walk.hop_first_unit[hop]; unit < walk.hop_first_unit[hop + 1]; ++unit) {
        for (Chunk& chunk : chunks) {
          chunk.unit_draw_offset[unit] = total;
          // A total past int64 could never be held in memory: it fails as a failed allocation.
          if (__builtin_add_overflow(total, chunk.unit_draws[unit], &total)) throw std::bad_alloc();
        }
      }
      if (static_cast<uint64_t>(total) > drawn.max_size()) throw std::bad_alloc();
      before_draws = sampler.generator;
      drawn.resize(static_cast<std::size_t>(total));
      for (uint32_t& value : drawn) value = static_cast<uint32_t>(sampler.generator());
      drawn_hop = hop;
    }
    if (failed == nullptr && !request.deferred) {
      lay_out(sampler, request, walk, chunks, node_totals, edge_totals);
    }
  });
  if (failed != nullptr) std::rethrow_exception(failed->error);
  if (request.deferred) std::rethrow_exception(request.deferred);

  // The result arrays, filled in place without the interpreter lock.
  std::vector<py::array_t<int64_t>> nodes;
  std::vector<py::array_t<int64_t>> batches;
  std::vector<py::array_t<int64_t>> rows;
  std::vector<py::array_t<int64_t>> cols;
  std::vector<py::array_t<int64_t>> edge_ids;
  ResultColumns out;
  for (const int64_t total : node_totals) {
    nodes.push_back(int64_array(total));
    batches.push_back(int64_array(total));
    out.node.push_back(nodes.back().mutable_data());
    out.batch.push_back(batches.back().mutable_data());
  }
  for (const int64_t total : edge_totals) {
    rows.push_back(int64_array(total));
    cols.push_back(int64_array(total));
    out.row.push_back(rows.back().mutable_data());
    out.col.push_back(cols.back().mutable_data());
    if constexpr (kEdgeIds) {
      edge_ids.push_back(int64_array(total));
      out.edge.push_back(edge_ids.back().mutable_data());
    }
  }
  try {
    without_gil([&] {
      const auto write = [&](std::size_t c) { write_chunk<kEdgeIds>(sampler, walk, chunks[c], out); };
      int64_t result_size = 0;
      for (const int64_t total : node_totals) result_size += total;
      for (const int64_t total : edge_totals) result_size += total;
      // A small result is written faster than the threads can be woken to share it.
      if (result_size < kMinParallelWrite) {
        for (std::size_t c = 0; c < chunk_count; ++c) write(c);
      } else {
        pool.run(chunk_count, write);
      }
    });
  } catch (abi::__forced_unwind&) {
    // The interpreter is ending this thread as it finalizes, and the lock is not ours: the arrays
    // are left to the process's exit rather than released without it.
    for (auto* arrays : {&nodes, &batches, &rows, &cols, &edge_ids}) {
      for (py::array_t<int64_t>& array : *arrays) static_cast<void>(array.release());
    }
    throw;
  }

  // Per-hop counts, as one thread appends them: a repeated node type name counts 0 at its later
  // places, and a repeated key gets one count per edge type that has it.
  std::vector<std::vector<int64_t>> hop_nodes(walk.hops, std::vector<int64_t>(node_totals.size(), 0));
  std::vector<std::vector<int64_t>> hop_edges(walk.hops, std::vector<int64_t>(edge_types, 0));
  for (std::size_t unit = 0; unit < walk.units; ++unit) {
    const std::size_t i = walk.unit_edge_type[unit];
    for (const Chunk& chunk : chunks) {
      hop_nodes[walk.unit_hop[unit]][schema.edge_type_slots[i].neighbour] += chunk.unit_nodes[unit];
      hop_edges[walk.unit_hop[unit]][i] += chunk.unit_edges[unit];
    }
  }
  std::vector<std::vector<int64_t>> node_counts(node_totals.size());
  for (std::vector<int64_t>& counts : node_counts) counts.push_back(0);
  for (const SeedsOfType& typed : seeds.types) node_counts[typed.slot].front() = static_cast<int64_t>(typed.ids.size());
  for (std::size_t hop = 0; hop < walk.hops; ++hop) {
    std::vector<bool> counted(node_totals.size(), false);
    for (const std::size_t slot : schema.node_type_slots) {
      node_counts[slot].push_back(counted[slot] ? 0 : hop_nodes[hop][slot]);
      counted[slot] = true;
    }
  }
  std::vector<std::vector<int64_t>> edge_counts(edge_totals.size());
  for (std::size_t hop = 0; hop < walk.hops; ++hop) {
    for (std::size_t i = 0; i < edge_types; ++i) {
      edge_counts[schema.edge_type_slots[i].key].push_back(hop_edges[hop][i]);
    }
  }

  py::dict node_dict;
  py::dict node_count_dict;
  py::dict batch_dict;
  for (std::size_t n = 0; n < sampler.node_types.size(); ++n) {
    const std::size_t slot = schema.node_type_slots[n];
    const py::str name(sampler.node_types[n]);
    node_dict[name] = nodes[slot];
    node_count_dict[name] = int64_array(node_counts[slot]);
    batch_dict[name] = batches[slot];
  }
  py::dict edge_count_dict;
  py::dict row_dict;
  py::dict col_dict;
  py::dict edge_dict;
  for (std::size_t i = 0; i < edge_types; ++i) {
    const std::size_t slot = schema.edge_type_slots[i].key;
    const py::str key(sampler.edge_type_keys[i]);
    edge_count_dict[key] = int64_array(edge_counts[slot]);
    row_dict[key] = rows[slot];
    col_dict[key] = cols[slot];
    if constexpr (kEdgeIds) edge_dict[key] = edge_ids[slot];
  }
  if constexpr (kEdgeIds) {
    return SampleWithEdgeIdsResult{row_dict, col_dict, node_dict, batch_dict, node_count_dict, edge_count_dict,
                                   edge_dict};
  } else {
    return SampleResult{row_dict, col_dict, node_dict, batch_dict, node_count_dict, edge_count_dict};
  }
}

template std::optional<SampleOutput<false>> sample_in_parallel<false>(NeighborSampler&, ParallelState&, std::size_t,
                                                                     TemporalStrategy, const py::dict&, const py::dict&,
                                                                     uint64_t, const SeedSet&);
template std::optional<SampleOutput<true>> sample_in_parallel<true>(NeighborSampler&, ParallelState&, std::size_t,
                                                                   TemporalStrategy, const py::dict&, const py::dict&,
                                                                   uint64_t, const SeedSet&);

}  // namespace quorvix
