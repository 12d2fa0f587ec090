// Checks and reads of the dict-of-array and array arguments that cross from Python.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace quorvix {

namespace py = pybind11;

// What numpy.asarray does: an ndarray (or subclass) is returned unchanged, anything else converted.
py::array as_array(py::handle value);

// Any signed integer dtype of eight bytes, whatever its byte order.
bool has_int64_dtype(const py::array& array);

// Checks every entry of `dict`, in insertion order, against the allowed names, the dimension count and
// (when `check_dtype`) the int64 dtype. Throws std::runtime_error naming the first offending entry.
void validate_array_dict(const py::dict& dict, const std::string& name,
                         const std::vector<std::string>& allowed_names, int ndim, bool check_dtype);

// The same checks on a single array argument.
void validate_array(const py::array& array, const std::string& name, int ndim, bool check_dtype);

// Throws std::runtime_error naming the first key of `dict`, in insertion order, that is not a str (or a
// subclass of str). Such a key can pass validate_array_dict through its str() and then match no lookup.
void require_str_keys(const py::dict& dict, const std::string& name);

// dict[name] coerced to an array; a missing key raises KeyError, a name that is not UTF-8 raises
// UnicodeDecodeError.
py::array read_array_item(const py::dict& dict, const std::string& name);

// Whether `dict` holds `name` as a str key. The name is decoded up to its first NUL byte.
bool dict_contains(const py::dict& dict, const std::string& name);

// An integer value: a Python int or anything with __index__ (NumPy integers). Everything else (floats of
// any width, Decimal, Fraction) is refused with the binding library's cast error rather than truncated.
int64_t to_int64(py::handle value);

}  // namespace quorvix
