// The largest fan-out a call may draw with replacement, checked before a call allocates anything.
#pragma once

#include <cstdint>
#include <vector>

#include <pybind11/pybind11.h>

#include "graph/keys.hpp"

namespace quorvix {

namespace py = pybind11;

// With replacement a fan-out k records k edges per frontier node whatever its degree, and draws one
// or two values per edge. Up to this bound every count derived from k (draws per node, their sums
// over a frontier, list capacities in bytes) fits its type; beyond it the request cannot be met.
constexpr int64_t kMaxReplacedFanOut = (int64_t{1} << 31) - 1;

// Throws std::invalid_argument naming the first edge type (in `keys` order) and hop whose fan-out in
// `num_neighbors` exceeds kMaxReplacedFanOut. Only called when the call draws with replacement.
void check_replaced_fan_outs(const py::dict& num_neighbors, const std::vector<EdgeTypeKey>& keys);

}  // namespace quorvix
