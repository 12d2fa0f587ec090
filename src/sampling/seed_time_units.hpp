// Seed times evidently in a finer unit than the graph's times (nanoseconds against seconds): every
// such seed lies after every node and edge time, so a call samples the future without an error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvix {

// How many times later than the graph's latest time every seed time must be to count as another unit.
constexpr int64_t kUnitRatio = 1000;
// And the earliest seed time it must reach: in seconds the year 5138, in milliseconds 1973. Keeps far
// future seed times on graphs with small times (0, 1, 2, ...) from counting.
constexpr int64_t kUnitFloor = 100000000000;

// Whether every seed time is at least kUnitRatio times `latest_graph_time` (which must be positive)
// and at least kUnitFloor.
bool seed_times_in_other_units(const std::vector<int64_t>& seed_times, int64_t latest_graph_time);

// The warning's text: names seed_time and the fix.
std::string seed_time_units_message(const std::vector<int64_t>& seed_times, int64_t latest_graph_time);

}  // namespace quorvix
