// Map from a sampled node's global id to its local index, for calls that grow one subgraph.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/local_index_map.hpp"

namespace quorvix {

// One slot per id of the node type, so a lookup is one load with no hashing and no probing: when
// every node of a call belongs to one subgraph, its identity is its id alone. A slot holds the
// base of the use that filled it plus the local index, and bases only grow, so a slot below the
// current base is free and starting the next use only moves the base. 32-bit slots keep the table
// at 4 bytes per node, a quarter of the slots a hash table holds per sampled node at load one half.
class NodeIndexTable {
 public:
  using Insertion = LocalIndexMap::Insertion;

  // Whether a node type of `node_count` ids fits the 32-bit slots, with room for `seeds` repeated
  // seeds: a use hands out at most one local index per id and one per seed.
  static bool fits(int64_t node_count, int64_t seeds);

  // Prepares an empty table over the ids [0, node_count), for a use that hands out at most
  // node_count + seeds local indices (fits() holds).
  void start(int64_t node_count, int64_t seeds);

  // Returns the id's local index; a new id receives the next one. Always inlined: it runs once per
  // sampled edge. `node` is within [0, node_count): the caller has checked it.
  __attribute__((always_inline)) Insertion insert(int64_t node) {
    uint32_t& slot = slots_[static_cast<std::size_t>(node)];
    if (slot >= base_) return {static_cast<int64_t>(slot - base_), false};
    slot = base_ + static_cast<uint32_t>(next_local_);
    return {next_local_++, true};
  }

  // Warms the cache for the id's slot a few inserts ahead, where the ids are known in advance.
  void prefetch(int64_t node) const {
    if (static_cast<uint64_t>(node) < slots_.size()) __builtin_prefetch(slots_.data() + node);
  }

  // Hands out the next local index without mapping an id to it: a seed repeated within its subgraph
  // keeps its own place, while the table keeps pointing at the first.
  void skip_local() { ++next_local_; }

  // Ends the use: the next start() finds every slot free.
  void finish();

  // The bytes the table holds.
  std::size_t bytes() const { return slots_.capacity() * sizeof(uint32_t); }

 private:
  std::vector<uint32_t> slots_;
  uint32_t base_ = 1;  // slots start at 0, below every base
  int64_t next_local_ = 0;
};

}  // namespace quorvix
