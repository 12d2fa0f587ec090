// Recording of one sampled edge and, the first time its seed reaches it, of the neighbour node.
#pragma once

#include <cstdint>

#include "graph/keys.hpp"
#include "sampling/call_state.hpp"

namespace quorvix {

// Throws std::runtime_error for an id of `node_type` that is negative or not below its node count.
// Out of line and cold, so that the check on the hot path stays one comparison and a branch.
[[noreturn]] __attribute__((noinline, cold)) void throw_node_id_out_of_range(const NodeType& node_type,
                                                                             int64_t node, uint64_t id_bound);

// The single unsigned comparison also catches negative ids (see id_bound).
inline void check_node_id(const NodeTypeState& state, const NodeType& node_type, int64_t node) {
  if (static_cast<uint64_t>(node) >= state.id_bound) throw_node_id_out_of_range(node_type, node, state.id_bound);
}

// Records the sampled edges of one frontier node, at most `count` of them. The edge lists are grown
// once and written through local pointers, and the edges are counted once, by finish(); until then a
// failed check leaves the edge lists and counts as they were. Inline: add runs once per sampled edge.
template <typename Edges>
class EdgeRecorder {
 public:
  __attribute__((always_inline)) EdgeRecorder(const Edges& edges, const FrontierNode& frontier, int64_t count)
      : edges_(edges),
        frontier_(frontier),
        neighbours_(*edges.neighbours),
        rows_(edges.out_row->open_tail(static_cast<std::size_t>(count))),
        cols_(edges.out_col->open_tail(static_cast<std::size_t>(count))) {
    if constexpr (Edges::kRecordsEdgeIds) ids_ = edges.out_edge->open_tail(static_cast<std::size_t>(count));
  }

  // `position` indexes the edge type's row; the neighbour inherits the frontier node's batch index.
  // Always inlined: a call would cost as much as the recording itself.
  __attribute__((always_inline)) void add(int64_t position) {
    const int64_t neighbour = edges_.row[position];
    check_node_id(neighbours_, *edges_.neighbour_type, neighbour);
    if constexpr (Edges::kRecordsCandidates) {
      rows_[added_] = neighbour;
      cols_[added_] = frontier_.local_index;
      if constexpr (Edges::kRecordsEdgeIds) ids_[added_] = position;
      ++added_;
      return;
    }
    LocalIndexMap::Insertion found;
    if (Edges::kOneSubgraph && neighbours_.node_index != nullptr) {
      found = neighbours_.node_index->insert(neighbour);
    } else {
      found = neighbours_.local_index->insert(frontier_.batch, neighbour);
    }
    if (found.inserted) {
      // Appended beyond the current frontier range: expanded in the next hop, not this one.
      neighbours_.batch->push_back(frontier_.batch);
      neighbours_.node->push_back(neighbour);
    }
    rows_[added_] = found.local_index;
    cols_[added_] = frontier_.local_index;
    if constexpr (Edges::kRecordsEdgeIds) ids_[added_] = position;
    ++added_;
  }

  void finish() {
    const auto added = static_cast<std::size_t>(added_);
    edges_.out_row->commit(added);
    edges_.out_col->commit(added);
    if constexpr (Edges::kRecordsEdgeIds) edges_.out_edge->commit(added);
    *edges_.edge_count += added_;
  }

 private:
  const Edges& edges_;
  const FrontierNode frontier_;
  NodeTypeState& neighbours_;
  int64_t* const rows_;
  int64_t* const cols_;
  int64_t* ids_ = nullptr;
  int64_t added_ = 0;
};

// Records every position of [start, end) in ascending order. Always inlined: the rules that take a
// whole run call it once per frontier node, and most runs hold one to three edges, so a call would
// cost as much as the recording.
template <typename Edges>
inline __attribute__((always_inline)) void record_run(const Edges& edges, const FrontierNode& frontier, int64_t start,
                                                      int64_t end) {
  EdgeRecorder record(edges, frontier, end - start);
  for (int64_t position = start; position < end; ++position) record.add(position);
  record.finish();
}

}  // namespace quorvix
