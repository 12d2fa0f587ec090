// Exceptions that say how to fix the call: the message stays as raised, and the pure-Python
// quorvix._hints adds notes (PEP 678) naming the argument, the key and the fix.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvix {

namespace py = pybind11;

// Calls `function`; when it raises, hands the exception and the call's arguments to
// quorvix._hints.<hint> before the exception propagates unchanged.
py::object call_with_hints(const py::object& function, const char* hint, const py::args& args,
                           const py::kwargs& kwargs);

// Replaces the method `name` of `cls` by one that calls it through call_with_hints, under the same
// name and docstring.
void add_error_hints(py::handle cls, const char* name, const char* hint);

// The wrapper add_error_hints makes, for callers that install it themselves.
py::object method_with_hints(py::handle cls, py::object function, const char* name, const char* hint);

}  // namespace quorvix
