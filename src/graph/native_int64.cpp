#include "graph/native_int64.hpp"

namespace quorvix {

NativeInt64Array native_int64(const py::array& array) { return NativeInt64Array(array); }

Int64Span span_of(const NativeInt64Array& array) {
  return Int64Span{array.data(), static_cast<int64_t>(array.size())};
}

}  // namespace quorvix
