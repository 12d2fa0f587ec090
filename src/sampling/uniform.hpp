// Choice of neighbours from a window of row positions: all of them, or k at random without replacement.
#pragma once

#include <cstdint>

#include "sampling/call_state.hpp"

namespace quorvix {

// Records every position of [start, end) in ascending order when k < 0 or k >= end - start;
// otherwise k distinct positions by Floyd's algorithm, one engine draw each, in the order drawn.
void sample_uniform(const EdgeSampling& edges, const FrontierNode& frontier, int64_t start, int64_t end,
                    int64_t k);

}  // namespace quorvix
