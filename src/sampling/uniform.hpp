// Choice of neighbours from a window of row positions: all of them, or k at random without replacement.
#pragma once

#include <cstdint>

#include "sampling/call_state.hpp"

namespace quorvix {

// Records every position of [start, end) in ascending order when k < 0 or k >= end - start;
// otherwise k distinct positions by Floyd's algorithm, one engine draw each, in the order drawn.
template <typename Edges>
void sample_uniform(const Edges& edges, const FrontierNode& frontier, int64_t start, int64_t end, int64_t k);

// The number of draws sample_uniform makes for a window of `candidates` positions.
inline int64_t draws_for(int64_t candidates, int64_t k) { return k > 0 && k < candidates ? k : 0; }

}  // namespace quorvix
