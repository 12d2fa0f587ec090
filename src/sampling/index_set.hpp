// The set of candidate offsets already chosen during one random draw without replacement.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvix {

// A dense byte map below kDenseLimit candidates and a small hash set of the chosen offsets at or
// above it, so that huge neighbourhoods never cost memory per candidate. Both give the same answers.
// One instance is reused for every draw of a call: only the entries a draw touched are cleared.
class IndexSet {
 public:
  static constexpr int64_t kDenseLimit = 100000;

  // Prepares an empty set for offsets in [0, candidates), of which at most `draws` will be inserted.
  void start(int64_t candidates, int64_t draws);

  bool contains(int64_t offset) const;
  void insert(int64_t offset);
  // The bytes the set holds.
  std::size_t bytes() const {
    return bytes_.capacity() + (touched_.capacity() + sparse_.capacity()) * sizeof(int64_t);
  }

 private:
  void clear_touched();
  std::size_t sparse_slot(int64_t offset) const;

  bool dense_ = true;
  std::vector<uint8_t> bytes_;     // all 0 between draws
  std::vector<int64_t> touched_;   // offsets inserted since start()
  std::vector<int64_t> sparse_;    // open addressing, kFree marks a free slot
  uint64_t sparse_mask_ = 0;
};

}  // namespace quorvix
