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
      .def("sample", &NeighborSampler::sample, py::arg("num_neighbors"), py::arg("sampling_time_offsets"),
           py::arg("entity_table"), py::arg("seed_node"), py::arg("seed_time"));
}

}  // namespace quorvix
