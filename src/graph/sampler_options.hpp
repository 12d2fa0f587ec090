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

// The most threads one call may use. A call starts no more threads than it has seed chunks, so the
// count only bounds what a sampler may start; larger values are refused.
inline constexpr int64_t kMaxThreads = 256;

// An int from 1 to kMaxThreads (a bool is refused): TypeError or ValueError otherwise.
int64_t num_threads_from(py::handle value);

// A bool (Python's or NumPy's) for the setting `name`; anything else raises TypeError, as 0 or None
// would silently mean False.
bool bool_setting_from(py::handle value, const char* name);

}  // namespace quorvix
