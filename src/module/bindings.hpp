// Registration of the module's classes and functions, one file each.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvix {

class NeighborSampler;

void bind_graph(pybind11::module_& module);
void bind_neighbor_sampler(pybind11::module_& module);
void bind_subgraphs(pybind11::module_& module);
void bind_expand(pybind11::module_& module);
void bind_node_recorder(pybind11::module_& module);

// Refuses (TypeError) a sampler whose __init__ has not run.
void require_constructed(NeighborSampler& self);

}  // namespace quorvix
