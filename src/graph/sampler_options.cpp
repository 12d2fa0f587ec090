#include "graph/sampler_options.hpp"

#include <climits>
#include <stdexcept>

namespace quorvix {

std::string temporal_strategy_name(TemporalStrategy strategy) {
  return strategy == TemporalStrategy::kUniform ? "uniform" : "last";
}

TemporalStrategy temporal_strategy_from(py::handle value) {
  if (!PyUnicode_Check(value.ptr())) throw py::type_error("temporal_strategy must be a str.");
  const std::string name = py::cast<std::string>(value);
  if (name == "last") return TemporalStrategy::kLast;
  if (name == "uniform") return TemporalStrategy::kUniform;
  throw std::invalid_argument("temporal_strategy must be 'last' or 'uniform', not '" + name + "'.");
}

int64_t num_threads_from(py::handle value) {
  // A bool is an int to Python, but True threads is a mistake rather than a count.
  if (PyBool_Check(value.ptr()) || !PyLong_Check(value.ptr())) throw py::type_error("num_threads must be an int.");
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow > 0) return LLONG_MAX;
  if (overflow < 0 || count < 1) {
    throw std::invalid_argument("num_threads must be at least 1, not " + static_cast<std::string>(py::str(value)) +
                                ".");
  }
  return count;
}

bool disjoint_from(py::handle value) {
  if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
  const py::object numpy_bool = py::module_::import("numpy").attr("bool_");
  if (py::isinstance(value, numpy_bool)) return value.cast<bool>();
  throw py::type_error("disjoint must be a bool.");
}

}  // namespace quorvix
