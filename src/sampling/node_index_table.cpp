#include "sampling/node_index_table.hpp"

#include <limits>

namespace quorvix {

namespace {

constexpr int64_t kSlotLimit = std::numeric_limits<uint32_t>::max();

}  // namespace

bool NodeIndexTable::fits(int64_t node_count, int64_t seeds) {
  return node_count >= 0 && seeds >= 0 && node_count < kSlotLimit / 2 && seeds < kSlotLimit / 2;
}

void NodeIndexTable::start(int64_t node_count, int64_t seeds) {
  finish();
  if (slots_.size() != static_cast<std::size_t>(node_count)) {
    // A table made for another node count (another sampler's graph never reaches here; a type's
    // count is fixed) starts over.
    slots_.assign(static_cast<std::size_t>(node_count), 0);
    base_ = 1;
  }
  // Past the last base a use could reach, every slot is cleared and the bases start again.
  if (static_cast<int64_t>(base_) + node_count + seeds >= kSlotLimit) {
    slots_.assign(slots_.size(), 0);
    base_ = 1;
  }
}

void NodeIndexTable::finish() {
  base_ += static_cast<uint32_t>(next_local_);
  next_local_ = 0;
}

}  // namespace quorvix
