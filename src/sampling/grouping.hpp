// Items grouped by a small non-negative key (a local index): a counting sort that keeps the items'
// order within a group.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvix {

struct Grouping {
  std::vector<int64_t> offsets;  // group g holds items[offsets[g]:offsets[g + 1]]
  std::vector<int64_t> items;

  // Groups 0..num_groups-1 of the items 0..keys.size()-1 by key; every key is below num_groups.
  template <class Keys>
  static Grouping of(const Keys& keys, int64_t count, int64_t num_groups) {
    Grouping grouping;
    grouping.offsets.assign(static_cast<std::size_t>(num_groups) + 1, 0);
    for (int64_t k = 0; k < count; ++k) ++grouping.offsets[static_cast<std::size_t>(keys[k]) + 1];
    for (std::size_t g = 1; g < grouping.offsets.size(); ++g) grouping.offsets[g] += grouping.offsets[g - 1];
    std::vector<int64_t> next(grouping.offsets.begin(), grouping.offsets.end() - 1);
    grouping.items.resize(static_cast<std::size_t>(count));
    for (int64_t k = 0; k < count; ++k) grouping.items[static_cast<std::size_t>(next[static_cast<std::size_t>(keys[k])]++)] = k;
    return grouping;
  }

  int64_t begin(int64_t group) const { return offsets[static_cast<std::size_t>(group)]; }
  int64_t end(int64_t group) const { return offsets[static_cast<std::size_t>(group) + 1]; }
  int64_t operator[](int64_t at) const { return items[static_cast<std::size_t>(at)]; }
};

}  // namespace quorvix
