// The random draws of expansions given from outside a call: one counter-based stream per frontier entry,
// keyed by the full 64 bits of its draw key, so that no two entries of a hop share a stream.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvix {

// An entry's stream is Philox4x64-10 under the key (stream, node), counter (block, subgraph, 0, 0) for
// blocks 1, 2, ...: each block's four 64-bit words in order, each word's low 32 bits before its high 32.
// `stream` identifies the call, hop and edge type; `node` and `subgraph` the entry.
struct DrawKey {
  uint64_t stream = 0;
  uint64_t node = 0;
  uint64_t subgraph = 0;
};

// Appends the first `count` 32-bit values of the stream of `key` to `out`.
void append_keyed_draws(const DrawKey& key, int64_t count, std::vector<uint32_t>& out);

}  // namespace quorvix
