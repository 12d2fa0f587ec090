#include "sampling/subgraph_in_parallel.hpp"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "graph/int64_list.hpp"
#include "graph/without_gil.hpp"
#include "sampling/call_setup.hpp"
#include "sampling/expand.hpp"

namespace quorvix {

namespace {

// A step whose frontier is smaller than this runs on the calling thread: waking the others and the
// extra numbering passes cost more than the picks of so few nodes.
constexpr int64_t kMinParallelFrontier = 512;
// Frontier entries per part at least, and parts per thread at most: the cost of a node varies
// widely, and small parts let threads even it out.
constexpr int64_t kMinPartEntries = 128;
constexpr std::size_t kPartsPerThread = 8;
// How many picks ahead a part's numbering warms the table slot it will insert: the ids are known,
// so the slots' cache misses overlap instead of coming one after another.
constexpr std::size_t kPrefetchInsertAhead = 16;

// Values copied into the call's lists at least, before the copy is shared by the pool's threads.
constexpr std::size_t kMinParallelCopy = 1 << 16;

template <typename Edges>
Edges step_edges(NeighborSampler& sampler, std::size_t i, NodeTypeState& neighbours, IndexSet* chosen) {
  const EdgeTypeKey& key = sampler.edge_type_keys[i];
  Edges edges{&key,
              &frontier_type(sampler.edge_types[i]),
              &neighbour_type(sampler.edge_types[i]),
              sampler.colptr.at(key),
              sampler.row.at(key),
              neighbours.node_time,
              &neighbours,
              nullptr,
              nullptr,
              nullptr,
              nullptr,
              nullptr,
              chosen};
  describe_edge_type(sampler, i, edges);
  return edges;
}

template <bool kEdgeIds>
void sample_step_in_parallel(NeighborSampler& sampler, ThreadPool& pool, std::size_t i, const HopPlan& plan,
                             const std::vector<int64_t>& seed_times, const NodeTypeState& frontier,
                             NodeTypeState& neighbours, std::vector<FrontierPart>& parts,
                             std::vector<uint32_t>& drawn, int64_t& edge_count) {
  using Edges = EdgeSampling<DrawnValues, kEdgeIds, true, true>;
  const int64_t begin = frontier.frontier_begin;
  const int64_t count = frontier.frontier_end - begin;
  const std::size_t part_count = static_cast<std::size_t>(
      std::min<int64_t>(static_cast<int64_t>(pool.threads() * kPartsPerThread), count / kMinPartEntries));
  parts.resize(std::max<std::size_t>(parts.size(), part_count));
  const auto part_count_i = static_cast<int64_t>(part_count);
  for (std::size_t p = 0; p < part_count; ++p) {
    FrontierPart& part = parts[p];
    const auto at = static_cast<int64_t>(p);
    part.begin = begin + at * count / part_count_i;
    part.end = begin + (at + 1) * count / part_count_i;
    part.ids.clear_or_release(4096);
    part.cols.clear_or_release(4096);
    part.positions.clear_or_release(4096);
    part.fresh_ids.clear_or_release(4096);
    part.fresh_batches.clear_or_release(4096);
    part.picks = 0;
    part.draws = 0;
  }
  const auto part_edges = [&](FrontierPart& part, DrawnValues* values) {
    Edges edges = step_edges<Edges>(sampler, i, neighbours, &part.chosen);
    edges.out_row = &part.ids;
    edges.out_col = &part.cols;
    edges.out_edge = kEdgeIds ? &part.positions : nullptr;
    edges.edge_count = &part.picks;
    edges.generator = values;
    return edges;
  };

  // The draws, made from the one engine in one-thread order: a part's start after every part before it.
  if (plan.draws()) {
    without_gil([&] {
      pool.run(part_count, [&](std::size_t p) {
        FrontierPart& part = parts[p];
        count_frontier_draws(part_edges(part, nullptr), frontier, part.begin, part.end, plan, seed_times, part.draws);
      });
    });
    int64_t total = 0;
    for (std::size_t p = 0; p < part_count; ++p) {
      parts[p].draw_offset = total;
      if (__builtin_add_overflow(total, parts[p].draws, &total)) throw std::bad_alloc();
    }
    if (static_cast<uint64_t>(total) > drawn.max_size()) throw std::bad_alloc();
    drawn.resize(static_cast<std::size_t>(total));
    sampler.generator.fill(drawn.data(), drawn.size());
  }

  // Each part, once walked, is numbered in order by whichever thread finds it next in line and the
  // numbering free: the ids are inserted into the table in one thread's order, so the local
  // indices are one thread's, while other threads walk the parts after it.
  // A part's picks become local indices in its own list: the call's edge lists are NumPy arrays,
  // which grow only under the interpreter lock, so they take the parts after the walks.
  NodeIndexTable& table = *neighbours.node_index;
  const Int64List& frontier_batch = *frontier.batch;
  const std::unique_ptr<std::atomic<bool>[]> walked(new std::atomic<bool>[part_count]);
  for (std::size_t p = 0; p < part_count; ++p) walked[p].store(false, std::memory_order_relaxed);
  std::mutex numbering;
  std::atomic<std::size_t> next_part{0};  // the next part to number; written under `numbering`
  int64_t picks = 0;                      // under `numbering`
  const auto number_part = [&](FrontierPart& part) {
    const auto part_picks = static_cast<std::size_t>(part.picks);
    for (std::size_t j = 0; j < part_picks; ++j) {
      if (j + kPrefetchInsertAhead < part_picks) table.prefetch(part.ids[j + kPrefetchInsertAhead]);
      const int64_t node = part.ids[j];
      const NodeIndexTable::Insertion found = table.insert(node);
      if (found.inserted) {
        part.fresh_ids.push_back(node);
        part.fresh_batches.push_back(frontier_batch[static_cast<std::size_t>(part.cols[j])]);
      }
      part.ids[j] = found.local_index;
    }
    picks += part.picks;
  };
  const auto number_walked = [&] {
    for (;;) {
      {
        const std::unique_lock<std::mutex> lock(numbering, std::try_to_lock);
        if (!lock.owns_lock()) return;  // its holder looks again once it lets go
        std::size_t next = next_part.load(std::memory_order_relaxed);
        while (next < part_count && walked[next].load(std::memory_order_acquire)) {
          number_part(parts[next]);
          next_part.store(++next, std::memory_order_release);
        }
      }
      // A part walked while the lock was held found it taken: look once more.
      const std::size_t next = next_part.load(std::memory_order_acquire);
      if (next >= part_count || !walked[next].load(std::memory_order_acquire)) return;
    }
  };
  without_gil([&] {
    pool.run(part_count, [&](std::size_t p) {
      FrontierPart& part = parts[p];
      DrawnValues values{drawn.data() + part.draw_offset};
      expand_frontier(part_edges(part, &values), frontier, part.begin, part.end, plan, seed_times);
      walked[p].store(true, std::memory_order_release);
      number_walked();
    });
    // Every part is walked now; any still unnumbered are numbered here.
    for (std::size_t next = next_part.load(); next < part_count; ++next) number_part(parts[next]);
  });
  // The new nodes, in the order they took their local indices, and the edges, part by part. Each
  // list grows once, here under the lock, and the parts are copied into the room made on the pool,
  // where one thread copying them all would keep the others waiting.
  const EdgeTypeKey& key = sampler.edge_type_keys[i];
  const std::pair<Int64List FrontierPart::*, Int64List*> pieces[] = {
      {&FrontierPart::fresh_ids, neighbours.node},
      {&FrontierPart::fresh_batches, neighbours.batch},
      {&FrontierPart::ids, &sampler.out_row.at(key)},
      {&FrontierPart::cols, &sampler.out_col.at(key)},
      {&FrontierPart::positions, kEdgeIds ? &sampler.out_edge.at(key) : nullptr}};
  int64_t* tails[std::size(pieces)] = {};
  std::size_t totals[std::size(pieces)] = {};
  std::vector<std::size_t> offsets(std::size(pieces) * part_count, 0);
  for (std::size_t k = 0; k < std::size(pieces); ++k) {
    if (pieces[k].second == nullptr) continue;
    for (std::size_t p = 0; p < part_count; ++p) {
      offsets[k * part_count + p] = totals[k];
      totals[k] += (parts[p].*pieces[k].first).size();
    }
    tails[k] = pieces[k].second->open_tail(totals[k]);
  }
  const auto copy_part = [&](std::size_t p) {
    for (std::size_t k = 0; k < std::size(pieces); ++k) {
      if (tails[k] == nullptr) continue;
      const Int64List& from = parts[p].*pieces[k].first;
      std::copy(from.data(), from.data() + from.size(), tails[k] + offsets[k * part_count + p]);
    }
  };
  std::size_t copied = 0;
  for (const std::size_t total : totals) copied += total;
  if (copied < kMinParallelCopy) {
    for (std::size_t p = 0; p < part_count; ++p) copy_part(p);
  } else {
    without_gil([&] { pool.run(part_count, copy_part); });
  }
  for (std::size_t k = 0; k < std::size(pieces); ++k) {
    if (tails[k] != nullptr) pieces[k].second->commit(totals[k]);
  }
  edge_count += picks;
}

}  // namespace

template <bool kEdgeIds>
bool grow_subgraph_in_parallel(NeighborSampler& sampler, ThreadPool& pool, const SplitRequest& request,
                               const std::vector<int64_t>& seed_times, std::vector<NodeTypeState>& node_states,
                               std::vector<FrontierPart>& parts, std::vector<uint32_t>& drawn) {
  using SerialEdges = EdgeSampling<MersenneTwister, kEdgeIds, true>;
  const GraphSchema& schema = sampler.schema();
  IndexSet chosen;
  try {
    for (std::size_t hop = 0; hop < request.plans.size(); ++hop) {
      for (std::size_t i = 0; i < sampler.edge_types.size(); ++i) {
        const EdgeTypeKey& key = sampler.edge_type_keys[i];
        const EdgeTypeSlots& slots = schema.edge_type_slots[i];
        std::vector<int64_t>& edge_counts = sampler.num_sampled_edges.at(key);
        edge_counts.push_back(0);
        NodeTypeState& neighbours = node_states[slots.neighbour];
        const NodeTypeState& frontier = node_states[slots.frontier];
        const HopPlan& plan = request.plans[hop][i];
        if (frontier.frontier_end - frontier.frontier_begin < kMinParallelFrontier) {
          SerialEdges edges = step_edges<SerialEdges>(sampler, i, neighbours, &chosen);
          edges.out_row = &sampler.out_row.at(key);
          edges.out_col = &sampler.out_col.at(key);
          edges.out_edge = kEdgeIds ? &sampler.out_edge.at(key) : nullptr;
          edges.edge_count = &edge_counts.back();
          edges.generator = &sampler.generator;
          expand_frontier(edges, frontier, frontier.frontier_begin, frontier.frontier_end, plan, seed_times);
        } else {
          sample_step_in_parallel<kEdgeIds>(sampler, pool, i, plan, seed_times, frontier, neighbours, parts, drawn,
                                            edge_counts.back());
        }
      }
      // The nodes each type gained in this hop become its next frontier. A repeated name finds its
      // range already moved on and counts 0.
      for (const std::size_t slot : schema.node_type_slots) {
        NodeTypeState& state = node_states[slot];
        state.frontier_begin = state.frontier_end;
        state.frontier_end = static_cast<int64_t>(state.node->size());
        state.counts->push_back(state.frontier_end - state.frontier_begin);
      }
    }
  } catch (...) {
    return false;
  }
  return true;
}

template bool grow_subgraph_in_parallel<false>(NeighborSampler&, ThreadPool&, const SplitRequest&,
                                               const std::vector<int64_t>&, std::vector<NodeTypeState>&,
                                               std::vector<FrontierPart>&, std::vector<uint32_t>&);
template bool grow_subgraph_in_parallel<true>(NeighborSampler&, ThreadPool&, const SplitRequest&,
                                              const std::vector<int64_t>&, std::vector<NodeTypeState>&,
                                              std::vector<FrontierPart>&, std::vector<uint32_t>&);

}  // namespace quorvix
