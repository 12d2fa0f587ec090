#include "graph/local_index_map.hpp"

#include <algorithm>

namespace quorvix {

namespace {

constexpr std::size_t kMinCapacity = 16;

std::size_t capacity_for(std::size_t count) {
  // Keep the load factor at or below one half so probe runs stay short.
  std::size_t capacity = kMinCapacity;
  while (capacity < 2 * count) capacity *= 2;
  return capacity;
}

}  // namespace

LocalIndexMap::LocalIndexMap() { rehash(kMinCapacity); }

void LocalIndexMap::reserve(std::size_t count) {
  const std::size_t capacity = capacity_for(count);
  if (capacity > slots_.size()) rehash(capacity);
}

void LocalIndexMap::clear() {
  const std::size_t wanted = capacity_for(static_cast<std::size_t>(next_local_));
  if (slots_.size() > 8 * wanted) {
    slots_ = std::vector<Slot>();
    filled_ = std::vector<uint64_t>();
    rehash(wanted);
  } else {
    for (const uint64_t i : filled_) slots_[i].local_index = kEmpty;
    filled_.clear();
  }
  next_local_ = 0;
}

void LocalIndexMap::rehash(std::size_t capacity) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(capacity, Slot{0, 0, kEmpty});
  mask_ = capacity - 1;
  filled_.clear();
  for (const Slot& slot : old) {
    if (slot.local_index == kEmpty) continue;
    uint64_t i = hash(slot.batch, slot.node) & mask_;
    while (slots_[i].local_index != kEmpty) i = (i + 1) & mask_;
    slots_[i] = slot;
    filled_.push_back(i);
  }
}

}  // namespace quorvix
