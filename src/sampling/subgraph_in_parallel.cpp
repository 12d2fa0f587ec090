#include "sampling/subgraph_in_parallel.hpp"

#include <algorithm>
#include <limits>
#include <random>
#include <stdexcept>

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
// Steps with more picks than this cannot be numbered by 32-bit claims (node_index_table.hpp).
constexpr int64_t kMaxStepPicks = int64_t{1} << 30;

// What a pick's node was when the step began.
constexpr uint8_t kMapped = 0;  // numbered by an earlier step
constexpr uint8_t kFirst = 1;   // new, and this pick reached it first
constexpr uint8_t kRepeat = 2;  // new, reached first by an earlier pick of the step

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
    for (uint32_t& value : drawn) value = static_cast<uint32_t>(sampler.generator());
  }

  NodeIndexTable& table = *neighbours.node_index;
  int64_t picks = 0;
  without_gil([&] {
    pool.run(part_count, [&](std::size_t p) {
      FrontierPart& part = parts[p];
      DrawnValues values{drawn.data() + part.draw_offset};
      expand_frontier(part_edges(part, &values), frontier, part.begin, part.end, plan, seed_times);
    });
    for (std::size_t p = 0; p < part_count; ++p) {
      parts[p].pick_offset = picks;
      picks += parts[p].picks;
    }
    // Caught below as any failure is: the call starts over on one thread.
    if (picks > kMaxStepPicks) throw std::bad_alloc();
    // Claims: the smallest pick number of a node not numbered before takes it.
    table.begin_claims(picks);
    pool.run(part_count, [&](std::size_t p) {
      FrontierPart& part = parts[p];
      part.kind.resize(static_cast<std::size_t>(part.picks));
      for (int64_t j = 0; j < part.picks; ++j) {
        const int64_t node = part.ids[static_cast<std::size_t>(j)];
        const bool mapped = table.mapped(node);
        part.kind[static_cast<std::size_t>(j)] = mapped ? kMapped : kRepeat;
        if (!mapped) table.claim(node, part.pick_offset + j);
      }
    });
    pool.run(part_count, [&](std::size_t p) {
      FrontierPart& part = parts[p];
      int64_t firsts = 0;
      for (int64_t j = 0; j < part.picks; ++j) {
        uint8_t& kind = part.kind[static_cast<std::size_t>(j)];
        if (kind == kRepeat && table.claimed_by(part.ids[static_cast<std::size_t>(j)], part.pick_offset + j)) {
          kind = kFirst;
          ++firsts;
        }
      }
      part.firsts = firsts;
    });
  });

  // New nodes take local indices in the order of their first picks: part by part, pick by pick.
  int64_t new_nodes = 0;
  for (std::size_t p = 0; p < part_count; ++p) new_nodes += parts[p].firsts;
  const int64_t first_local = table.take_locals(new_nodes);
  int64_t* const node_out = neighbours.node->open_tail(static_cast<std::size_t>(new_nodes));
  int64_t* const batch_out = neighbours.batch->open_tail(static_cast<std::size_t>(new_nodes));
  int64_t* const row_out = sampler.out_row.at(sampler.edge_type_keys[i]).open_tail(static_cast<std::size_t>(picks));
  int64_t* const col_out = sampler.out_col.at(sampler.edge_type_keys[i]).open_tail(static_cast<std::size_t>(picks));
  int64_t* const edge_out =
      kEdgeIds ? sampler.out_edge.at(sampler.edge_type_keys[i]).open_tail(static_cast<std::size_t>(picks)) : nullptr;
  int64_t next = first_local;
  for (std::size_t p = 0; p < part_count; ++p) {
    parts[p].first_local = next;
    next += parts[p].firsts;
  }
  const Int64List& frontier_batch = *frontier.batch;
  without_gil([&] {
    pool.run(part_count, [&](std::size_t p) {
      const FrontierPart& part = parts[p];
      int64_t local = part.first_local;
      for (int64_t j = 0; j < part.picks; ++j) {
        if (part.kind[static_cast<std::size_t>(j)] != kFirst) continue;
        const int64_t node = part.ids[static_cast<std::size_t>(j)];
        table.map(node, local);
        // The node list holds every local index in order, from the first one this call gave.
        const int64_t at = local - first_local;
        node_out[at] = node;
        batch_out[at] = frontier_batch[static_cast<std::size_t>(part.cols[static_cast<std::size_t>(j)])];
        ++local;
      }
    });
    pool.run(part_count, [&](std::size_t p) {
      const FrontierPart& part = parts[p];
      for (int64_t j = 0; j < part.picks; ++j) {
        const auto at = static_cast<std::size_t>(part.pick_offset + j);
        row_out[at] = table.local_of(part.ids[static_cast<std::size_t>(j)]);
        col_out[at] = part.cols[static_cast<std::size_t>(j)];
        if constexpr (kEdgeIds) edge_out[at] = part.positions[static_cast<std::size_t>(j)];
      }
    });
  });
  neighbours.node->commit(static_cast<std::size_t>(new_nodes));
  neighbours.batch->commit(static_cast<std::size_t>(new_nodes));
  sampler.out_row.at(sampler.edge_type_keys[i]).commit(static_cast<std::size_t>(picks));
  sampler.out_col.at(sampler.edge_type_keys[i]).commit(static_cast<std::size_t>(picks));
  if constexpr (kEdgeIds) sampler.out_edge.at(sampler.edge_type_keys[i]).commit(static_cast<std::size_t>(picks));
  edge_count += picks;
}

}  // namespace

template <bool kEdgeIds>
bool grow_subgraph_in_parallel(NeighborSampler& sampler, ThreadPool& pool, const SplitRequest& request,
                               const std::vector<int64_t>& seed_times, std::vector<NodeTypeState>& node_states,
                               std::vector<FrontierPart>& parts, std::vector<uint32_t>& drawn) {
  using SerialEdges = EdgeSampling<std::mt19937, kEdgeIds, true>;
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
