#include "module/error_hints.hpp"

#include <string>

namespace quorvix {

py::object call_with_hints(const py::object& function, const char* hint, const py::args& args,
                           const py::kwargs& kwargs) {
  // No Python object lives in this frame during the call: a thread the interpreter ends at exit
  // unwinds through here without the lock, and must find nothing to release.
  PyObject* result = PyObject_Call(function.ptr(), args.ptr(), kwargs.ptr());
  if (result != nullptr) return py::reinterpret_steal<py::object>(result);
  py::error_already_set error;
  try {
    py::module_::import("quorvix._hints").attr(hint)(error.value(), args, kwargs);
  } catch (py::error_already_set&) {
    // A hint that fails must not hide the error it was about.
  }
  throw error;
}

py::object method_with_hints(py::handle cls, py::object function, const char* name, const char* hint) {
  const auto doc = function.attr("__doc__").cast<std::string>();
  py::options options;
  options.disable_function_signatures();
  // Named otherwise while it is made: the name __init__ makes the binding library skip built
  // instances before the call, and the wrapped constructor decides that itself.
  py::object wrapper = py::cpp_function(
      [function, hint](const py::args& args, const py::kwargs& kwargs) {
        return call_with_hints(function, hint, args, kwargs);
      },
      py::name("with_hints"), py::is_method(cls), py::doc(doc.c_str()));
  // The binding library keeps the name's storage for the life of the function; a static string lives longer.
  reinterpret_cast<PyCFunctionObject*>(PyInstanceMethod_GET_FUNCTION(wrapper.ptr()))->m_ml->ml_name = name;
  return wrapper;
}

void add_error_hints(py::handle cls, const char* name, const char* hint) {
  py::setattr(cls, name, method_with_hints(cls, cls.attr(name), name, hint));
}

}  // namespace quorvix
