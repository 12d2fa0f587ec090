// Rows of arrays gathered by index: a loader's batch takes every feature of every node and edge
// type in one call, split across threads by rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvix {

class ThreadPool;

// out[i] = source[index[i]] for i in [0, count), rows of `row_bytes` bytes.
struct RowGather {
  const char* source = nullptr;
  int64_t source_rows = 0;
  const int64_t* index = nullptr;
  int64_t count = 0;
  char* out = nullptr;
  std::size_t row_bytes = 0;
};

// Copies every gather's rows, on `pool` when it is given and the work is worth several threads.
// Throws std::out_of_range naming the gather (its position in `gathers`) and the first index
// outside its source; the outputs then hold partial rows.
void gather_rows(const std::vector<RowGather>& gathers, ThreadPool* pool);

}  // namespace quorvix
