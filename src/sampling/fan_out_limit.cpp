#include "sampling/fan_out_limit.hpp"

#include <stdexcept>
#include <string>

#include "graph/array_dict.hpp"
#include "graph/native_int64.hpp"

namespace quorvix {

void check_replaced_fan_outs(const py::dict& num_neighbors, const std::vector<EdgeTypeKey>& keys) {
  for (const EdgeTypeKey& key : keys) {
    if (!dict_contains(num_neighbors, key)) continue;
    const NativeInt64Array fan_outs = native_int64(read_array_item(num_neighbors, key));
    for (py::ssize_t hop = 0; hop < fan_outs.size(); ++hop) {
      const int64_t k = fan_outs.at(hop);
      if (k > kMaxReplacedFanOut) {
        throw std::invalid_argument("'num_neighbors' for '" + key + "' at hop " + std::to_string(hop) + " is " +
                                    std::to_string(k) + ", above " + std::to_string(kMaxReplacedFanOut) +
                                    ", the largest fan-out drawn with replacement.");
      }
    }
  }
}

}  // namespace quorvix
