#include "sampling/answer_merge.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

namespace quorvix {

namespace {

[[noreturn]] void refuse(const std::string& what) {
  throw std::invalid_argument("An owner's answer does not fit the frontier: " + what + ".");
}

}  // namespace

MergedEdges merge_answers(const std::vector<OwnerAnswer>& answers, Int64Span frontier_batch, int64_t frontier_begin,
                          NodeRecorder& neighbours) {
  const int64_t n = frontier_batch.size;
  // Each entry's edge count, -1 for an entry no answer covers; then where its edges start.
  std::vector<int64_t> start(static_cast<std::size_t>(n) + 1, -1);
  int64_t total = 0;
  for (const OwnerAnswer& answer : answers) {
    if (answer.counts.size != answer.entries.size) refuse("its counts and entries differ in length");
    if (answer.neighbour.size != answer.edge.size) refuse("its neighbours and edges differ in length");
    int64_t edges = 0;
    for (int64_t i = 0; i < answer.entries.size; ++i) {
      const int64_t entry = answer.entries[i];
      const int64_t count = answer.counts[i];
      if (!frontier_batch.contains_index(entry) || start[static_cast<std::size_t>(entry)] != -1 || count < 0) {
        refuse("entry " + std::to_string(entry) + " is outside the frontier, given twice, or has a negative count");
      }
      start[static_cast<std::size_t>(entry)] = count;
      edges += count;
    }
    if (edges != answer.neighbour.size) refuse("its counts do not add up to its edges");
    total += edges;
  }
  int64_t offset = 0;
  for (int64_t entry = 0; entry < n; ++entry) {
    const int64_t count = start[static_cast<std::size_t>(entry)];
    start[static_cast<std::size_t>(entry)] = offset;
    if (count > 0) offset += count;
  }

  MergedEdges merged;
  const auto size = static_cast<std::size_t>(total);
  int64_t* neighbour = merged.row.open_tail(size);  // ids first, replaced by local indices below
  int64_t* col = merged.col.open_tail(size);
  int64_t* edge = merged.edge.open_tail(size);
  for (const OwnerAnswer& answer : answers) {
    int64_t read = 0;
    for (int64_t i = 0; i < answer.entries.size; ++i) {
      const int64_t entry = answer.entries[i];
      const int64_t count = answer.counts[i];
      if (count == 0) continue;  // nothing to copy, from lists that may hold no storage at all
      const auto at = static_cast<std::size_t>(start[static_cast<std::size_t>(entry)]);
      std::memcpy(neighbour + at, answer.neighbour.data + read, static_cast<std::size_t>(count) * sizeof(int64_t));
      std::memcpy(edge + at, answer.edge.data + read, static_cast<std::size_t>(count) * sizeof(int64_t));
      for (int64_t k = 0; k < count; ++k) col[at + static_cast<std::size_t>(k)] = entry;
      read += count;
    }
  }
  // The subgraph of each edge's frontier entry, then the entries become local indices.
  std::vector<int64_t> batch(size);
  for (std::size_t j = 0; j < size; ++j) {
    batch[j] = frontier_batch[col[j]];
    col[j] += frontier_begin;
  }
  neighbours.record(Int64Span{batch.data(), total}, Int64Span{neighbour, total}, neighbour);
  merged.row.commit(size);
  merged.col.commit(size);
  merged.edge.commit(size);
  return merged;
}

}  // namespace quorvix
