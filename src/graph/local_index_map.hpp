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
  Insertion insert(int64_t batch, int64_t node);

  int64_t next_local() const { return next_local_; }

  // Makes room for `count` pairs without rehashing.
  void reserve(std::size_t count);

 private:
  struct Slot {
    int64_t batch;
    int64_t node;
    int64_t local_index;  // kEmpty marks a free slot
  };
  static constexpr int64_t kEmpty = -1;

  static uint64_t hash(int64_t batch, int64_t node);
  void rehash(std::size_t capacity);

  std::vector<Slot> slots_;
  uint64_t mask_ = 0;
  int64_t next_local_ = 0;
};

}  // namespace quorvix
