// Checks of a sample request against itself and against the sampler's schema.
#pragma once

#include <cstdint>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "sampling/neighbor_sampler.hpp"

namespace quorvix {

namespace py = pybind11;

// The checks that change nothing: the two dicts, the two arrays, the entity table, the seed counts.
void validate_sample_request(const NeighborSampler& sampler, const py::dict& num_neighbors,
                             const py::dict& sampling_time_offsets, const std::string& entity_table,
                             const py::array& seed_node, const py::array& seed_time);

// The per-edge-type checks; returns the number of hops, the longest fan-out list or offsets array.
uint64_t count_hops(const NeighborSampler& sampler, const py::dict& num_neighbors,
                    const py::dict& sampling_time_offsets);

}  // namespace quorvix
