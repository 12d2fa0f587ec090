// Contiguous, aligned, native-order int64 copies of arrays whose data is read directly.
#pragma once

#include <cstdint>

#include <pybind11/numpy.h>

#include "graph/int64_span.hpp"

namespace quorvix {

namespace py = pybind11;

using NativeInt64Array =
    py::array_t<int64_t, py::array::c_style | py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_>;

// The array itself when it already is contiguous native int64, otherwise a converted copy. Callers
// check the dtype first; the conversion only changes layout and byte order (and the dtype of empty
// arrays, which may be anything).
NativeInt64Array native_int64(const py::array& array);

// A view of the data; valid while `array` is alive.
Int64Span span_of(const NativeInt64Array& array);

}  // namespace quorvix
