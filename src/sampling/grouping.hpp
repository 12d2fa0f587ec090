// Items grouped by a small non-negative key (a local index): a counting sort that keeps the items'
// order within a group.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvix {

// Lays out make(0) .. make(count - 1) by key (keys[k] below num_keys), in their order within a key:
// key g's items land in items[offsets[g]:offsets[g + 1]].
template <class Keys, class Item, class Make>
void group_by_key(const Keys& keys, int64_t count, int64_t num_keys, const Make& make, std::vector<int64_t>& offsets,
                  std::vector<Item>& items) {
  offsets.assign(static_cast<std::size_t>(num_keys) + 1, 0);
  for (int64_t k = 0; k < count; ++k) ++offsets[static_cast<std::size_t>(keys[k]) + 1];
  for (std::size_t g = 1; g < offsets.size(); ++g) offsets[g] += offsets[g - 1];
  std::vector<int64_t> next(offsets.begin(), offsets.end() - 1);
  items.resize(static_cast<std::size_t>(count));
  for (int64_t k = 0; k < count; ++k) {
    items[static_cast<std::size_t>(next[static_cast<std::size_t>(keys[k])]++)] = make(k);
  }
}

struct Grouping {
  std::vector<int64_t> offsets;  // group g holds items[offsets[g]:offsets[g + 1]]
  std::vector<int64_t> items;

  // Groups 0..num_groups-1 of the items 0..keys.size()-1 by key; every key is below num_groups.
  template <class Keys>
  static Grouping of(const Keys& keys, int64_t count, int64_t num_groups) {
    Grouping grouping;
    group_by_key(keys, count, num_groups, [](int64_t k) { return k; }, grouping.offsets, grouping.items);
    return grouping;
  }

  int64_t begin(int64_t group) const { return offsets[static_cast<std::size_t>(group)]; }
  int64_t end(int64_t group) const { return offsets[static_cast<std::size_t>(group) + 1]; }
  int64_t operator[](int64_t at) const { return items[static_cast<std::size_t>(at)]; }
};

}  // namespace quorvix
