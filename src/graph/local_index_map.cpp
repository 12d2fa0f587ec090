#include "graph/local_index_map.hpp"

#include <algorithm>
#include <limits>

namespace quorvix {

namespace {

constexpr std::size_t kMinSlots = 16;

std::size_t capacity_for(std::size_t count) {
  // Keep the load factor at or below one half so probe runs stay short.
  std::size_t capacity = kMinSlots;
  while (capacity < 2 * count) capacity *= 2;
  return capacity;
}

}  // namespace

LocalIndexMap::LocalIndexMap() { rehash(kMinSlots); }

void LocalIndexMap::reserve(std::size_t count) {
  const std::size_t capacity = capacity_for(count);
  if (capacity > slots_.size()) rehash(capacity);
}

void LocalIndexMap::clear() {
  const std::size_t wanted = capacity_for(static_cast<std::size_t>(next_local_));
  // Far out of reach in practice; past it the stamps start again from a cleared table.
  const bool base_exhausted = base_ > std::numeric_limits<int64_t>::max() / 2;
  base_ += next_local_;
  next_local_ = 0;
  if (slots_.size() > 8 * wanted || base_exhausted) {
    slots_ = std::vector<Slot>();
    base_ = 0;
    rehash(wanted);
  }
}

LocalIndexMap::Insertion LocalIndexMap::grow_and_insert(int64_t batch, int64_t node) {
  rehash(slots_.size() * 2);
  return insert(batch, node);
}

void LocalIndexMap::rehash(std::size_t capacity) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(capacity, Slot{0, kNeverTaken, 0});
  mask_ = capacity - 1;
  shift_ = 64;
  for (std::size_t c = capacity; c > 1; c /= 2) --shift_;
  grow_at_ = static_cast<int64_t>(capacity / 2);
  for (const Slot& slot : old) {
    if (slot.stamp < base_) continue;
    uint64_t i = first_slot(slot.batch, slot.node);
    while (slots_[i].stamp >= base_) i = (i + 1) & mask_;
    slots_[i] = slot;
  }
}

}  // namespace quorvix
