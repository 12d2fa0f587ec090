#include "sampling/call_setup.hpp"

#include <stdexcept>
#include <string>

#include "graph/native_int64.hpp"
#include "graph/node_counts.hpp"
#include "sampling/seed_time_units.hpp"

namespace quorvix {

namespace {

// A warning, not an error: a seed time far after every graph time is also how a caller asks for
// everything. Raises what the warning filter turns it into.
void warn_of_seed_time_units(const std::vector<int64_t>& seed_times, int64_t latest_graph_time) {
  const py::object category = py::module_::import("quorvix._warnings").attr("SeedTimeWarning");
  const std::string message = seed_time_units_message(seed_times, latest_graph_time);
  if (PyErr_WarnEx(category.ptr(), message.c_str(), 1) != 0) throw py::error_already_set();
}

}  // namespace

void describe_node_type(const NeighborSampler& sampler, std::size_t slot, NodeTypeState& state) {
  state.id_bound = id_bound(sampler.node_counts()[slot]);
  const auto time = sampler.node_time.find(sampler.schema().distinct_node_types[slot]);
  if (time != sampler.node_time.end()) {
    state.node_time = time->second;
    state.has_node_time = true;
  }
}

std::vector<int64_t> seed_times_of(const NeighborSampler& sampler, const NodeTypeState& seeds,
                                   const NodeType& entity_table, Int64Span seed_ids, const py::array& seed_time) {
  std::vector<int64_t> seed_times;
  if (!sampler.has_time()) return seed_times;
  if (seed_time.size() > 0) {
    const NativeInt64Array time_array = native_int64(seed_time);
    const Int64Span times = span_of(time_array);
    seed_times.assign(times.data, times.data + times.size);
    const int64_t latest = sampler.graph->latest_time();
    if (seed_times_in_other_units(seed_times, latest)) warn_of_seed_time_units(seed_times, latest);
  } else if (seeds.has_node_time) {
    seed_times.reserve(static_cast<std::size_t>(seed_ids.size));
    for (int64_t i = 0; i < seed_ids.size; ++i) {
      if (!seeds.node_time.contains_index(seed_ids[i])) {
        throw std::runtime_error("Node " + std::to_string(seed_ids[i]) + " of type '" + entity_table +
                                 "' is out of range of 'node_time'.");
      }
      seed_times.push_back(seeds.node_time[seed_ids[i]]);
    }
  }
  return seed_times;
}

}  // namespace quorvix
