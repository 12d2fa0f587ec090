// Entry point of the compiled module `quorvix._core`, which the package `quorvix` re-exports.
#include <Python.h>

#include <pybind11/pybind11.h>

#include "module/bindings.hpp"
#include "module/version_guard.hpp"

#ifndef QUORVIX_PYTHON_VERSION
#error "QUORVIX_PYTHON_VERSION must name the major.minor version the module is built for"
#endif

extern "C" PYBIND11_EXPORT PyObject* PyInit__core();

extern "C" PYBIND11_EXPORT PyObject* PyInit__core() {
  const char* running = Py_GetVersion();
  if (!quorvix::interpreter_version_matches(QUORVIX_PYTHON_VERSION, running)) {
    PyErr_Format(PyExc_ImportError,
                 "Python version mismatch: module was compiled for Python %s, but the interpreter version is "
                 "incompatible: %s.",
                 QUORVIX_PYTHON_VERSION, running);
    return nullptr;
  }
  pybind11::detail::get_internals();
  static pybind11::module_::module_def definition;
  auto module = pybind11::module_::create_extension_module("quorvix._core", nullptr, &definition);
  try {
    // Classes take their qualified name from the module's name as they are registered: under the
    // package's name they are quorvix.Graph and quorvix.NeighborSampler, in signatures, docstrings
    // and pickles alike, wherever the compiled module sits inside the package.
    module.attr("__name__") = "quorvix";
    quorvix::bind_graph(module);
    quorvix::bind_neighbor_sampler(module);
    quorvix::bind_subgraphs(module);
    quorvix::bind_expand(module);
    quorvix::bind_node_recorder(module);
    module.attr("__name__") = "quorvix._core";
    return module.release().ptr();
  } catch (pybind11::error_already_set& error) {
    pybind11::raise_from(error, PyExc_ImportError, "initialization failed");
    return nullptr;
  } catch (const std::exception& error) {
    pybind11::set_error(PyExc_ImportError, error.what());
    return nullptr;
  }
}
