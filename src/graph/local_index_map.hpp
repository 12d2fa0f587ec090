// Map from a sampled node's identity (batch index, global id) to its local index within its node type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvix {

// Flat open-addressing table with linear probing: one insertion per sampled edge happens in the
// sampling loop, so lookups must touch as few cache lines as possible. Local indices are handed out
// densely in insertion order; nothing depends on the hash or on slot order.
class LocalIndexMap {
 public:
  struct Insertion {
    int64_t local_index;
    bool inserted;
  };

  LocalIndexMap();

  // Returns the pair's local index; a new pair receives next_local(), which then grows by one.
  // Defined inline below: it runs once per sampled edge.
  Insertion insert(int64_t batch, int64_t node);

  int64_t next_local() const { return next_local_; }

  // Hands out next_local() without mapping a pair to it: a seed repeated within its subgraph keeps
  // its own local index, while the map keeps pointing at the first.
  void skip_local() { ++next_local_; }

  // Makes room for `count` pairs without rehashing.
  void reserve(std::size_t count);

  // Empties the map. The storage is kept for the next use unless it is far larger than this use
  // needed, so a sampler that answers many calls neither rebuilds it each time nor hoards it.
  void clear();

 private:
  struct Slot {
    int64_t batch;
    int64_t node;
    int64_t local_index;  // kEmpty marks a free slot
  };
  static constexpr int64_t kEmpty = -1;

  static uint64_t hash(int64_t batch, int64_t node) {
    // Two multiplicative mixes and a final avalanche: ids of one seed are often consecutive, and
    // the low bits select the slot.
    uint64_t h = static_cast<uint64_t>(node) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<uint64_t>(batch) * 0xC2B2AE3D27D4EB4Full + (h >> 29);
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
  }
  void rehash(std::size_t capacity);

  std::vector<Slot> slots_;
  uint64_t mask_ = 0;
  int64_t next_local_ = 0;
};

inline LocalIndexMap::Insertion LocalIndexMap::insert(int64_t batch, int64_t node) {
  if (static_cast<std::size_t>(next_local_) * 2 >= slots_.size()) rehash(slots_.size() * 2);
  for (uint64_t i = hash(batch, node) & mask_;; i = (i + 1) & mask_) {
    Slot& slot = slots_[i];
    if (slot.local_index == kEmpty) {
      slot = Slot{batch, node, next_local_};
      return {next_local_++, true};
    }
    if (slot.node == node && slot.batch == batch) return {slot.local_index, false};
  }
}

}  // namespace quorvix
