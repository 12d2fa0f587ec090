#include "sampling/parallel_sample.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "graph/without_gil.hpp"
#include "sampling/chunk_merge.hpp"
#include "sampling/chunk_plan.hpp"
#include "sampling/chunk_walk.hpp"

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
  UnitWalk walk;
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
  SplitRequest request;
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
    MersenneTwister before_draws = sampler.generator;
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
      sampler.generator.fill(drawn.data(), drawn.size());
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
