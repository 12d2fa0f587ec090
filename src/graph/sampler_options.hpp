// Settings of a sampler that a caller may change between calls: how temporal fan-outs choose, and
// how many threads a call may use.
#pragma once

#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

namespace quorvix {

namespace py = pybind11;

enum class TemporalStrategy {
  kLast,     // the k latest admissible neighbours
  kUniform,  // k admissible neighbours at random, without replacement
};

// "last" or "uniform"; anything else raises TypeError (not a str) or ValueError.
TemporalStrategy temporal_strategy_from(py::handle value);
std::string temporal_strategy_name(TemporalStrategy strategy);

// An int of at least 1 (a bool is refused): TypeError or ValueError otherwise. Values beyond int64
// are taken as the largest int64.
int64_t num_threads_from(py::handle value);

// A bool (Python's or NumPy's); anything else raises TypeError, as 0 or None would silently mean False.
bool disjoint_from(py::handle value);

}  // namespace quorvix
