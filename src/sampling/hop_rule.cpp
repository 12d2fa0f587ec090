#include "sampling/hop_rule.hpp"

#include "graph/array_dict.hpp"
#include "graph/native_int64.hpp"

namespace quorvix {

HopRule fetch_hop_rule(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                       const EdgeTypeKey& key, uint64_t hop) {
  HopRule rule;
  const auto index = static_cast<py::ssize_t>(hop);
  if (dict_contains(num_neighbors, key)) {
    const NativeInt64Array fan_outs = native_int64(read_array_item(num_neighbors, key));
    if (index < fan_outs.size()) {
      rule.kind = HopRule::Kind::kFanOut;
      rule.fan_out = fan_outs.at(index);
    }
    return rule;
  }
  const py::array offsets = read_array_item(sampling_time_offsets, key);
  if (index >= offsets.shape(0)) return rule;
  const py::object hop_row = offsets[py::int_(hop)];
  const py::object lower = hop_row[py::int_(0)];
  const py::object upper = hop_row[py::int_(1)];
  rule.kind = HopRule::Kind::kTimeWindow;
  rule.offsets.has_lower = !lower.is_none();
  if (rule.offsets.has_lower) rule.offsets.lower = to_int64(lower);
  rule.offsets.upper = to_int64(upper);
  return rule;
}

}  // namespace quorvix
