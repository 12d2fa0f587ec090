#include "sampling/row_gather.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "sampling/thread_pool.hpp"

namespace quorvix {

namespace {

// A task copies about this many bytes: enough to outweigh handing it out, small enough that a
// batch of a few megabytes spreads over every thread.
constexpr std::size_t kTaskBytes = std::size_t{1} << 16;
// Below this a call stays on the calling thread: waking a worker costs more than the copy.
constexpr std::size_t kParallelBytes = std::size_t{1} << 18;

template <typename Row>
void copy_rows(const RowGather& g, int64_t begin, int64_t end) {
  const auto* source = reinterpret_cast<const Row*>(g.source);
  auto* out = reinterpret_cast<Row*>(g.out);
  for (int64_t i = begin; i < end; ++i) out[i] = source[g.index[i]];
}

void check_rows(const RowGather& g, std::size_t which, int64_t begin, int64_t end) {
  for (int64_t i = begin; i < end; ++i) {
    const int64_t at = g.index[i];
    if (at < 0 || at >= g.source_rows) {
      throw std::out_of_range("Gather " + std::to_string(which) + ": the index " + std::to_string(at) +
                              " is outside [0, " + std::to_string(g.source_rows) + ").");
    }
  }
}

bool aligned(const RowGather& g) {
  const auto bits = reinterpret_cast<std::uintptr_t>(g.source) | reinterpret_cast<std::uintptr_t>(g.out);
  return bits % g.row_bytes == 0;
}

void gather_range(const RowGather& g, std::size_t which, int64_t begin, int64_t end) {
  check_rows(g, which, begin, end);
  switch (aligned(g) ? g.row_bytes : 0) {
    case 1: copy_rows<uint8_t>(g, begin, end); return;
    case 2: copy_rows<uint16_t>(g, begin, end); return;
    case 4: copy_rows<uint32_t>(g, begin, end); return;
    case 8: copy_rows<uint64_t>(g, begin, end); return;
    default:
      for (int64_t i = begin; i < end; ++i) {
        std::memcpy(g.out + static_cast<std::size_t>(i) * g.row_bytes,
                    g.source + static_cast<std::size_t>(g.index[i]) * g.row_bytes, g.row_bytes);
      }
  }
}

struct Task {
  std::size_t gather;
  int64_t begin, end;
};

}  // namespace

void gather_rows(const std::vector<RowGather>& gathers, ThreadPool* pool) {
  std::size_t total_bytes = 0;
  for (const RowGather& g : gathers) total_bytes += static_cast<std::size_t>(g.count) * g.row_bytes;
  if (pool == nullptr || pool->threads() < 2 || total_bytes < kParallelBytes) {
    for (std::size_t k = 0; k < gathers.size(); ++k) gather_range(gathers[k], k, 0, gathers[k].count);
    return;
  }
  std::vector<Task> tasks;
  for (std::size_t k = 0; k < gathers.size(); ++k) {
    const RowGather& g = gathers[k];
    const auto step = static_cast<int64_t>(std::max<std::size_t>(1, kTaskBytes / std::max<std::size_t>(1, g.row_bytes)));
    for (int64_t begin = 0; begin < g.count; begin += step) tasks.push_back({k, begin, std::min(g.count, begin + step)});
  }
  const PoolCall call(*pool, std::min(tasks.size(), pool->threads()));
  pool->run(tasks.size(), [&](std::size_t t) {
    const Task& task = tasks[t];
    gather_range(gathers[task.gather], task.gather, task.begin, task.end);
  });
}

}  // namespace quorvix
