// How one edge type chooses neighbours in one hop, read from the request's dicts once per hop.
#pragma once

#include <cstdint>

#include <pybind11/pybind11.h>

#include "graph/keys.hpp"
#include "sampling/window.hpp"

namespace quorvix {

namespace py = pybind11;

struct HopRule {
  enum class Kind {
    kNothing,  // the edge type's list or offsets array has no entry for this hop
    kFanOut,
    kTimeWindow,
  };
  Kind kind = Kind::kNothing;
  int64_t fan_out = 0;
  TimeOffsets offsets;
};

// Python errors of the lookups and conversions propagate; a float offset raises the cast error.
HopRule fetch_hop_rule(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                       const EdgeTypeKey& key, uint64_t hop);

}  // namespace quorvix
