// A read-only view of int64 data that knows its length, so every index can be checked where it is used.
#pragma once

#include <cstdint>

namespace quorvix {

struct Int64Span {
  const int64_t* data = nullptr;
  int64_t size = 0;

  // One unsigned comparison: a negative index is past every size.
  bool contains_index(int64_t index) const { return static_cast<uint64_t>(index) < static_cast<uint64_t>(size); }
  int64_t operator[](int64_t index) const { return data[index]; }
};

}  // namespace quorvix
