// Registration of the module's one class.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvix {

void bind_neighbor_sampler(pybind11::module_& module);

}  // namespace quorvix
