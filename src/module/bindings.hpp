// Registration of the module's class and functions.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvix {

void bind_neighbor_sampler(pybind11::module_& module);
void bind_subgraphs(pybind11::module_& module);

}  // namespace quorvix
