#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "graph/neighbor_sampler.hpp"
#include "module/bindings.hpp"

namespace quorvix {

namespace py = pybind11;

namespace {

// An instance made by NeighborSampler.__new__ alone has no native sampler, and the binding library
// would hand a method uninitialised storage in its place. Constructed samplers are the registered
// instances.
void require_constructed(NeighborSampler& self) {
  if (!py::detail::get_object_handle(&self, py::detail::get_type_info(typeid(NeighborSampler)))) {
    throw py::type_error("NeighborSampler.__init__() has not been called on this instance.");
  }
}

}  // namespace

void bind_neighbor_sampler(py::module_& module) {
  py::class_<NeighborSampler>(module, "NeighborSampler")
      .def(py::init([](std::vector<NodeType> node_types, std::vector<EdgeType> edge_types, const py::dict& colptr,
                       const py::dict& row, const py::object& node_time, int seed) {
             // Any node_time that is not a dict goes through dict(...), whose error propagates.
             return std::make_unique<NeighborSampler>(std::move(node_types), std::move(edge_types), colptr, row,
                                                      py::dict(node_time), seed);
           }),
           py::arg("node_types"), py::arg("edge_types"), py::arg("colptr"), py::arg("row"), py::arg("node_time"),
           py::arg("seed") = 123)
      .def("sample",
           [](NeighborSampler& self, const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
              const std::string& entity_table, const py::array& seed_node, const py::array& seed_time) {
             require_constructed(self);
             return self.sample(num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time);
           },
           py::arg("num_neighbors"), py::arg("sampling_time_offsets"), py::arg("entity_table"), py::arg("seed_node"),
           py::arg("seed_time"))
      .def("sample_with_edge_ids",
           [](NeighborSampler& self, const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
              const std::string& entity_table, const py::array& seed_node, const py::array& seed_time) {
             require_constructed(self);
             return self.sample_with_edge_ids(num_neighbors, sampling_time_offsets, entity_table, seed_node,
                                              seed_time);
           },
           py::arg("num_neighbors"), py::arg("sampling_time_offsets"), py::arg("entity_table"), py::arg("seed_node"),
           py::arg("seed_time"),
           "Like sample, with a seventh dict out_edge: per edge type, aligned with out_row, the position in\n"
           "row of every sampled edge.")
      .def_property(
          "temporal_strategy",
          [](NeighborSampler& self) {
            require_constructed(self);
            return temporal_strategy_name(self.temporal_strategy);
          },
          [](NeighborSampler& self, const py::object& value) {
            require_constructed(self);
            self.temporal_strategy = temporal_strategy_from(value);
          },
          "How a fan-out k chooses among the neighbours not later than the seed time: 'last' takes the k\n"
          "latest, 'uniform' k at random without replacement.")
      .def_property(
          "num_threads",
          [](NeighborSampler& self) {
            require_constructed(self);
            return self.num_threads;
          },
          [](NeighborSampler& self, const py::object& value) {
            require_constructed(self);
            self.num_threads = num_threads_from(value);
          },
          "The most threads a call may use; results do not depend on it.");
}

}  // namespace quorvix
