// Recording of one sampled edge and, the first time its seed reaches it, of the neighbour node.
#pragma once

#include <algorithm>
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

// The edge lists of one edge type, open through a walk over many frontier nodes: each node's edges
// are written through local pointers, the lists grow as each node's own open_tail would grow them,
// and they are committed and counted once, by commit(), when the walk ends. Until then a failure
// leaves them as they were before the walk.
template <typename Edges>
class EdgeTails {
 public:
  explicit EdgeTails(const Edges& edges) : edges_(edges) { open(0); }

  // Room for `count` more edges. Inline: one comparison per frontier node.
  __attribute__((always_inline)) void reserve(int64_t count) {
    if (count > room_) open(count);
  }
  int64_t* rows() const { return rows_ + written_; }
  int64_t* cols() const { return cols_ + written_; }
  int64_t* ids() const { return ids_ + written_; }
  void wrote(int64_t count) {
    written_ += count;
    room_ -= count;
  }

  void commit() {
    const auto written = static_cast<std::size_t>(written_);
    edges_.out_row->commit(written);
    edges_.out_col->commit(written);
    if constexpr (Edges::kRecordsEdgeIds) edges_.out_edge->commit(written);
    *edges_.edge_count += written_;
  }

 private:
  void open(int64_t count) {
    const auto needed = static_cast<std::size_t>(written_ + count);
    rows_ = edges_.out_row->open_tail(needed);
    cols_ = edges_.out_col->open_tail(needed);
    room_ = std::min(free_of(*edges_.out_row), free_of(*edges_.out_col));
    if constexpr (Edges::kRecordsEdgeIds) {
      ids_ = edges_.out_edge->open_tail(needed);
      room_ = std::min(room_, free_of(*edges_.out_edge));
    }
  }
  int64_t free_of(const Int64List& list) const {
    return static_cast<int64_t>(list.capacity() - list.size()) - written_;
  }

  const Edges& edges_;
  int64_t* rows_ = nullptr;
  int64_t* cols_ = nullptr;
  int64_t* ids_ = nullptr;
  int64_t written_ = 0;
  int64_t room_ = 0;
};

// Records the sampled edges of one frontier node, at most `count` of them. The edge lists are grown
// once and written through local pointers, and the edges are counted once, by finish(); until then a
// failed check leaves the edge lists and counts as they were (with EdgeTails, as the walk found them).
// Inline: add runs once per sampled edge.
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
  // Writes into the lists a walk holds open, once tails.reserve(count) has made room; finish(tails)
  // hands the edges over to them.
  __attribute__((always_inline)) EdgeRecorder(const Edges& edges, const FrontierNode& frontier,
                                              const EdgeTails<Edges>& tails)
      : edges_(edges), frontier_(frontier), neighbours_(*edges.neighbours), rows_(tails.rows()), cols_(tails.cols()) {
    if constexpr (Edges::kRecordsEdgeIds) ids_ = tails.ids();
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
  void finish(EdgeTails<Edges>& tails) { tails.wrote(added_); }

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

// The same, into the lists a walk holds open.
template <typename Edges>
inline __attribute__((always_inline)) void record_run(const Edges& edges, const FrontierNode& frontier,
                                                      EdgeTails<Edges>& tails, int64_t start, int64_t end) {
  tails.reserve(end - start);
  EdgeRecorder record(edges, frontier, tails);
  for (int64_t position = start; position < end; ++position) record.add(position);
  record.finish(tails);
}

}  // namespace quorvix
