// Map from a sampled node's identity (batch index, global id) to its local index within its node type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvix {

// Flat open-addressing table with linear probing: one insertion per sampled edge happens in the
// sampling loop, so lookups must touch as few cache lines as possible. Local indices are handed out
// densely in insertion order; nothing depends on the hash or on slot order.
//
// A slot stores its local index plus the base of the use that filled it, and bases only grow: a
// slot below the current base is free. Emptying the map for the next use then only moves the base
// past every stamp handed out, whatever the capacity.
class LocalIndexMap {
 public:
  struct Insertion {
    int64_t local_index;
    bool inserted;
  };

  LocalIndexMap();

  // Returns the pair's local index; a new pair receives next_local(), which then grows by one.
  // Defined below, always inlined: it runs once per sampled edge.
  __attribute__((always_inline)) Insertion insert(int64_t batch, int64_t node);

  int64_t next_local() const { return next_local_; }
  // The bytes the table holds.
  std::size_t bytes() const { return slots_.capacity() * sizeof(Slot); }

  // Hands out next_local() without mapping a pair to it: a seed repeated within its subgraph keeps
  // its own local index, while the map keeps pointing at the first.
  void skip_local() { ++next_local_; }

  // Makes room for `count` pairs without rehashing.
  void reserve(std::size_t count);

  // Empties the map in constant time. The storage is kept for the next use unless it is far larger
  // than this use needed, so a sampler that answers many calls neither rebuilds it each time nor
  // hoards it.
  void clear();

 private:
  // The stamp sits between the pair: stored next to each other, batch and node were written as one
  // vector, whose assembly GCC then moved ahead of the lookup, onto every hit.
  struct Slot {
    int64_t batch;
    int64_t stamp;  // base_ + local index while taken in this use; below base_ when free
    int64_t node;
  };
  static constexpr int64_t kNeverTaken = -1;

  // The first probe of the pair. Multiplicative hashing: the top bits of the product depend on every
  // bit of the key, so consecutive ids of one seed still spread over the table.
  uint64_t first_slot(int64_t batch, int64_t node) const {
    const uint64_t key = static_cast<uint64_t>(node) ^ (static_cast<uint64_t>(batch) * 0xC2B2AE3D27D4EB4Full);
    return (key * 0x9E3779B97F4A7C15ull) >> shift_;
  }
  void rehash(std::size_t capacity);
  // Grows the table, then inserts the pair in the larger table.
  __attribute__((noinline, cold)) Insertion grow_and_insert(int64_t batch, int64_t node);

  std::vector<Slot> slots_;
  uint64_t mask_ = 0;
  unsigned shift_ = 0;  // 64 minus log2 of the capacity
  int64_t grow_at_ = 0;  // next_local_ at which the load factor would pass one half
  int64_t base_ = 0;
  int64_t next_local_ = 0;
};

inline LocalIndexMap::Insertion LocalIndexMap::insert(int64_t batch, int64_t node) {
  for (uint64_t i = first_slot(batch, node);; i = (i + 1) & mask_) {
    Slot& slot = slots_[i];
    if (slot.stamp < base_) {
      // Only a new pair can pass the load limit, so only a new pair checks it; after growing, the
      // pair is probed again in the larger table.
      if (next_local_ >= grow_at_) return grow_and_insert(batch, node);
      slot = Slot{batch, base_ + next_local_, node};
      return {next_local_++, true};
    }
    if (slot.node == node && slot.batch == batch) return {slot.stamp - base_, false};
  }
}

}  // namespace quorvix
