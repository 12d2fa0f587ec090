// A sample call split over contiguous ranges of batch values and run on several threads, with
// results, errors and random draws identical to a one-thread call.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <type_traits>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "sampling/neighbor_sampler.hpp"
#include "sampling/parallel_state.hpp"
#include "sampling/seeds.hpp"

namespace quorvix {

namespace py = pybind11;

template <bool kEdgeIds>
using SampleOutput = std::conditional_t<kEdgeIds, SampleWithEdgeIdsResult, SampleResult>;

// Runs a checked request on up to `threads` threads. Every Python object is read before the
// interpreter lock is released, and the result dicts are built after it is taken back. Returns
// nothing, before sampling or drawing anything, when the request is not worth splitting (fewer than
// two batch values), when some type's batch values decrease along its seeds (the merge needs every
// chunk's nodes in one run), or when the schema gives it too many paths to track; the caller then
// samples on one thread.
template <bool kEdgeIds>
std::optional<SampleOutput<kEdgeIds>> sample_in_parallel(NeighborSampler& sampler, ParallelState& state,
                                                         std::size_t threads, TemporalStrategy strategy,
                                                         const py::dict& num_neighbors,
                                                         const py::dict& sampling_time_offsets, uint64_t num_hops,
                                                         const SeedSet& seeds);

}  // namespace quorvix
