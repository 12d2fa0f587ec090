// A random fan-out over a run of eligible row positions: uniform or by weight, without replacement or
// with it, as the edge type and the call's settings say.
#pragma once

#include <cstdint>

#include "sampling/call_state.hpp"
#include "sampling/uniform.hpp"

namespace quorvix {

// Records what a random fan-out k takes from [start, end) (non-empty): every position when k < 0;
// otherwise, without weights and without replacement, sample_uniform's choice. With weights, a weight
// in the range that is negative, NaN or infinite throws std::runtime_error first.
//   Weights, no replacement: when at most k positions have a positive weight, all of those in
//   ascending order, without draws; else k picks by successive sampling, two draws each.
//   No weights, replacement: k picks, one draw each, the draw's remainder modulo the run's length.
//   Weights, replacement: k picks, two draws each, by weight; nothing when no weight is positive.
// The weighted and with-replacement cases of the two below, out of line.
template <typename Edges>
void sample_weighted_or_replaced(const Edges& edges, const FrontierNode& frontier, int64_t start, int64_t end,
                                 int64_t k);
template <typename Edges>
int64_t weighted_or_replaced_draws(const Edges& edges, int64_t start, int64_t end, int64_t k);

// Inline, so that the plain case costs what a direct call of sample_uniform costs.
template <typename Edges>
inline void sample_random(const Edges& edges, const FrontierNode& frontier, int64_t start, int64_t end, int64_t k) {
  if (k < 0 || (edges.weights == nullptr && !edges.replace)) {
    sample_uniform(edges, frontier, start, end, k);
  } else {
    sample_weighted_or_replaced(edges, frontier, start, end, k);
  }
}

// The number of engine values sample_random consumes for the same arguments, after the same checks.
template <typename Edges>
inline int64_t random_draws(const Edges& edges, int64_t start, int64_t end, int64_t k) {
  if (edges.weights == nullptr && !edges.replace) return draws_for(end - start, k);
  return weighted_or_replaced_draws(edges, start, end, k);
}

}  // namespace quorvix
