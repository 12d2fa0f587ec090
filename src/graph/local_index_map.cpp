#include "graph/local_index_map.hpp"

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

uint64_t LocalIndexMap::hash(int64_t batch, int64_t node) {
  // Two multiplicative mixes and a final avalanche: ids of one seed are often consecutive, and the
  // low bits select the slot.
  uint64_t h = static_cast<uint64_t>(node) * 0x9E3779B97F4A7C15ull;
  h ^= static_cast<uint64_t>(batch) * 0xC2B2AE3D27D4EB4Full + (h >> 29);
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  return h;
}

LocalIndexMap::Insertion LocalIndexMap::insert(int64_t batch, int64_t node) {
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

void LocalIndexMap::reserve(std::size_t count) {
  const std::size_t capacity = capacity_for(count);
  if (capacity > slots_.size()) rehash(capacity);
}

void LocalIndexMap::rehash(std::size_t capacity) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(capacity, Slot{0, 0, kEmpty});
  mask_ = capacity - 1;
  for (const Slot& slot : old) {
    if (slot.local_index == kEmpty) continue;
    uint64_t i = hash(slot.batch, slot.node) & mask_;
    while (slots_[i].local_index != kEmpty) i = (i + 1) & mask_;
    slots_[i] = slot;
  }
}

}  // namespace quorvix
