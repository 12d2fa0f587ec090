#include "sampling/seed_time_units.hpp"

#include <algorithm>

namespace quorvix {

bool seed_times_in_other_units(const std::vector<int64_t>& seed_times, int64_t latest_graph_time) {
  if (seed_times.empty() || latest_graph_time <= 0) return false;
  const int64_t earliest = *std::min_element(seed_times.begin(), seed_times.end());
  if (earliest < kUnitFloor) return false;
  // Divided rather than multiplied: the product could overflow.
  return earliest / kUnitRatio >= latest_graph_time;
}

std::string seed_time_units_message(const std::vector<int64_t>& seed_times, int64_t latest_graph_time) {
  const int64_t earliest = *std::min_element(seed_times.begin(), seed_times.end());
  return "Every seed_time is at least " + std::to_string(kUnitRatio) +
         " times later than every node and edge time (earliest seed_time " + std::to_string(earliest) +
         ", latest time in the graph " + std::to_string(latest_graph_time) +
         "): seed_time seems to be in a finer unit. seed_time holds nanoseconds? node times are seconds: "
         "divide by 10**9 (by 10**6 for microseconds, 10**3 for milliseconds).";
}

}  // namespace quorvix
