#include "sampling/index_set.hpp"

namespace quorvix {

namespace {

constexpr int64_t kFree = -1;

}  // namespace

void IndexSet::start(int64_t candidates, int64_t draws) {
  clear_touched();
  dense_ = candidates < kDenseLimit;
  if (dense_) {
    if (bytes_.size() < static_cast<std::size_t>(candidates)) bytes_.resize(static_cast<std::size_t>(candidates), 0);
    return;
  }
  std::size_t capacity = 16;
  while (capacity < 2 * static_cast<std::size_t>(draws)) capacity *= 2;
  if (sparse_.size() < capacity) sparse_.assign(capacity, kFree);
  sparse_mask_ = sparse_.size() - 1;
}

std::size_t IndexSet::sparse_slot(int64_t offset) const {
  uint64_t h = static_cast<uint64_t>(offset) * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  std::size_t slot = h & sparse_mask_;
  while (sparse_[slot] != kFree && sparse_[slot] != offset) slot = (slot + 1) & sparse_mask_;
  return slot;
}

bool IndexSet::contains(int64_t offset) const {
  if (dense_) return bytes_[static_cast<std::size_t>(offset)] != 0;
  return sparse_[sparse_slot(offset)] == offset;
}

void IndexSet::insert(int64_t offset) {
  touched_.push_back(offset);
  if (dense_) {
    bytes_[static_cast<std::size_t>(offset)] = 1;
  } else {
    sparse_[sparse_slot(offset)] = offset;
  }
}

void IndexSet::clear_touched() {
  // Entries left by an earlier draw, including one that ended with an exception. Sparse entries are
  // removed newest first: an entry's probe run only passes slots taken before it, so every run stays
  // intact while the newer ones go.
  for (auto it = touched_.rbegin(); it != touched_.rend(); ++it) {
    if (dense_) {
      bytes_[static_cast<std::size_t>(*it)] = 0;
    } else {
      sparse_[sparse_slot(*it)] = kFree;
    }
  }
  touched_.clear();
}

}  // namespace quorvix
