#include "graph/array_dict.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace quorvix {

py::array as_array(py::handle value) {
  return py::array(py::reinterpret_borrow<py::object>(value));
}

bool has_int64_dtype(const py::array& array) {
  const py::dtype dtype = array.dtype();
  return dtype.kind() == 'i' && dtype.itemsize() == 8;
}

namespace {

std::string text_form(py::handle key) {
  // str() may run arbitrary code; its failure, and a failure to encode, propagate as they are.
  return static_cast<std::string>(py::str(key));
}

std::string type_name(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

}  // namespace

void validate_array_dict(const py::dict& dict, const std::string& name,
                         const std::vector<std::string>& allowed_names, int ndim, bool check_dtype) {
  // A snapshot with owned references: str(key) may run Python code that mutates the dict, and a
  // borrowed key or value could then be freed under us.
  const auto entries = py::reinterpret_steal<py::list>(PyDict_Items(dict.ptr()));
  if (!entries) throw py::error_already_set();
  for (py::handle entry : entries) {
    const auto pair = py::reinterpret_borrow<py::tuple>(entry);
    const std::string key = text_form(pair[0]);
    if (std::find(allowed_names.begin(), allowed_names.end(), key) == allowed_names.end()) {
      throw std::runtime_error("Invalid type '" + key + "' found in " + name + ".");
    }
    const py::array value = as_array(pair[1]);
    const std::string label = "Type '" + key + "' in " + name;
    if (value.ndim() != ndim) {
      throw std::runtime_error(label + " is not " + std::to_string(ndim) + "D.");
    }
    if (value.size() == 0) continue;
    if (check_dtype && !has_int64_dtype(value)) {
      throw std::runtime_error(label + " must have dtype int64.");
    }
  }
}

void validate_array(const py::array& array, const std::string& name, int ndim, bool check_dtype) {
  if (array.ndim() != ndim) throw std::runtime_error(name + " is not " + std::to_string(ndim) + "D.");
  if (array.size() == 0) return;
  if (check_dtype && !has_int64_dtype(array)) throw std::runtime_error(name + " must have dtype int64.");
}

void require_str_keys(const py::dict& dict, const std::string& name) {
  const auto entries = py::reinterpret_steal<py::list>(PyDict_Items(dict.ptr()));
  if (!entries) throw py::error_already_set();
  for (py::handle entry : entries) {
    const py::handle key = py::reinterpret_borrow<py::tuple>(entry)[0];
    if (PyUnicode_Check(key.ptr())) continue;
    throw std::runtime_error("Type '" + text_form(key) + "' in " + name + " has a key of type " + type_name(key) +
                             ", not str.");
  }
}

py::array read_array_item(const py::dict& dict, const std::string& name) {
  const py::str key(name);
  PyObject* value = PyObject_GetItem(dict.ptr(), key.ptr());
  if (value == nullptr) throw py::error_already_set();
  return as_array(py::reinterpret_steal<py::object>(value));
}

bool dict_contains(const py::dict& dict, const std::string& name) {
  const char* bytes = name.c_str();
  const auto key = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(std::strlen(bytes)), nullptr));
  if (!key) throw py::error_already_set();
  const int found = PyDict_Contains(dict.ptr(), key.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

int64_t to_int64(py::handle value) {
  if (!PyIndex_Check(value.ptr())) {
    // The conversion alone would truncate through __int__; the text is the one it gives a float.
    throw py::cast_error("Unable to cast Python instance of type " + text_form(py::type::handle_of(value)) +
                         " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode "
                         "for details)");
  }
  return py::cast<int64_t>(value);
}

}  // namespace quorvix
