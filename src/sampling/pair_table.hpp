// Map from a pair of int64 values to an int64 value, for the per-call lookups of subgraph building.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvix {

// Flat open-addressing table with linear probing, sized once for the pairs it will hold: a call
// knows its count up front, so the table never grows while it is probed.
class PairTable {
 public:
  static constexpr int64_t kMissing = -1;

  // Room for `count` pairs at a load factor of at most one half.
  explicit PairTable(std::size_t count);

  // The value of the pair, or kMissing.
  int64_t find(int64_t first, int64_t second) const {
    for (uint64_t i = first_slot(first, second);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (!slot.taken) return kMissing;
      if (slot.first == first && slot.second == second) return slot.value;
    }
  }

  // The value of the pair, inserted as `initial` when absent.
  int64_t& at(int64_t first, int64_t second, int64_t initial) {
    for (uint64_t i = first_slot(first, second);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (!slot.taken) {
        slot = Slot{first, second, initial, true};
        return slot.value;
      }
      if (slot.first == first && slot.second == second) return slot.value;
    }
  }

 private:
  struct Slot {
    int64_t first = 0;
    int64_t second = 0;
    int64_t value = 0;
    bool taken = false;
  };

  // Multiplicative hashing: the top bits of the product depend on every bit of the key.
  uint64_t first_slot(int64_t first, int64_t second) const {
    const uint64_t key =
        static_cast<uint64_t>(second) ^ (static_cast<uint64_t>(first) * 0xC2B2AE3D27D4EB4Full);
    return (key * 0x9E3779B97F4A7C15ull) >> shift_;
  }

  std::vector<Slot> slots_;
  uint64_t mask_ = 0;
  unsigned shift_ = 0;  // 64 minus log2 of the capacity
};

}  // namespace quorvix
