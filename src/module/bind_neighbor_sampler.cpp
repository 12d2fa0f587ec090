#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "graph/graph.hpp"
#include "graph/without_gil.hpp"
#include "module/bindings.hpp"
#include "module/error_hints.hpp"
#include "module/graph_arguments.hpp"
#include "sampling/neighbor_sampler.hpp"

namespace quorvix {

namespace py = pybind11;

// An instance made by NeighborSampler.__new__ alone has no native sampler, and the binding library
// would hand a method uninitialised storage in its place. Constructed samplers are the registered
// instances.
void require_constructed(NeighborSampler& self) {
  if (!py::detail::get_object_handle(&self, py::detail::get_type_info(typeid(NeighborSampler)))) {
    throw py::type_error("NeighborSampler.__init__() has not been called on this instance.");
  }
}

namespace {

bool is_built(py::handle self) {
  if (!py::isinstance<NeighborSampler>(self)) return false;
  auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
  return instance->get_value_and_holder(py::detail::get_type_info(typeid(NeighborSampler)))
      .instance_registered();
}

// The gathers of a gather_rows call, over the caller's arrays, which must stay alive meanwhile.
std::vector<RowGather> row_gathers(const py::list& sources, const py::list& indices, const py::list& outputs) {
  if (sources.size() != indices.size() || sources.size() != outputs.size()) {
    throw py::value_error("gather_rows takes lists of one length: " + std::to_string(sources.size()) +
                          " sources, " + std::to_string(indices.size()) + " indices, " +
                          std::to_string(outputs.size()) + " outputs.");
  }
  std::vector<RowGather> gathers(sources.size());
  for (std::size_t k = 0; k < gathers.size(); ++k) {
    const std::string which = "Gather " + std::to_string(k) + ": ";
    const auto source = py::reinterpret_borrow<py::object>(sources[k]);
    const auto index = py::reinterpret_borrow<py::object>(indices[k]);
    const auto out = py::reinterpret_borrow<py::object>(outputs[k]);
    if (!py::isinstance<py::array>(source) || !py::isinstance<py::array>(index) || !py::isinstance<py::array>(out)) {
      throw py::type_error(which + "sources, indices and outputs must be NumPy arrays.");
    }
    const auto source_array = py::reinterpret_borrow<py::array>(source);
    const auto index_array = py::reinterpret_borrow<py::array>(index);
    auto out_array = py::reinterpret_borrow<py::array>(out);
    constexpr int kContiguous = py::array::c_style;
    if (source_array.ndim() < 1 || !(source_array.flags() & kContiguous)) {
      throw py::value_error(which + "the source must be a C-contiguous array of at least one dimension.");
    }
    if (!(out_array.flags() & kContiguous) || !out_array.writeable()) {
      throw py::value_error(which + "the output must be a writable C-contiguous array.");
    }
    if (index_array.ndim() != 1 || !index_array.dtype().is(py::dtype::of<int64_t>()) ||
        !(index_array.flags() & kContiguous)) {
      throw py::value_error(which + "the index must be a C-contiguous one-dimensional int64 array.");
    }
    bool same_rows = out_array.ndim() == source_array.ndim() && out_array.dtype().is(source_array.dtype());
    for (py::ssize_t d = 1; same_rows && d < source_array.ndim(); ++d) {
      same_rows = out_array.shape(d) == source_array.shape(d);
    }
    if (!same_rows) throw py::value_error(which + "the output's dtype or row shape differs from the source's.");
    if (out_array.shape(0) != index_array.shape(0)) {
      throw py::value_error(which + "the output has " + std::to_string(out_array.shape(0)) + " rows for " +
                            std::to_string(index_array.shape(0)) + " indices.");
    }
    RowGather& g = gathers[k];
    g.source = static_cast<const char*>(source_array.data());
    g.source_rows = source_array.shape(0);
    g.index = static_cast<const int64_t*>(index_array.data());
    g.count = index_array.shape(0);
    g.out = static_cast<char*>(out_array.mutable_data());
    g.row_bytes = static_cast<std::size_t>(source_array.itemsize());
    for (py::ssize_t d = 1; d < source_array.ndim(); ++d) g.row_bytes *= static_cast<std::size_t>(source_array.shape(d));
    if (g.row_bytes == 0) g.count = 0;  // rows of nothing: the output is complete as it is
  }
  return gathers;
}

// Whether a constructor call is NeighborSampler(graph, seed=123): a Graph first, or by keyword.
bool is_graph_call(const py::args& args, const py::kwargs& kwargs) {
  if (args.size() >= 2) return py::isinstance<Graph>(args[1]);
  return args.size() == 1 && kwargs.contains("graph");
}

// The binding library answers a second __init__ on a built instance with None and keeps the old graph.
// This wrapper, put in its place, refuses that call and hands every other one to one of the two
// constructors unchanged. The two are separate functions, not overloads of one, so the specified
// constructor's signature, docstring and errors stay its own.
void install_init(py::class_<NeighborSampler>& cls, const py::object& graph_constructor) {
  const py::object constructor = cls.attr("__init__");
  const auto doc = constructor.attr("__doc__").cast<std::string>();
  py::object wrapper;
  {
    py::options options;
    options.disable_function_signatures();
    // Not named __init__ here: that name makes the binding library skip built instances before the call.
    wrapper = py::cpp_function(
        [constructor, graph_constructor](const py::args& args, const py::kwargs& kwargs) -> py::object {
          if (!args.empty() && is_built(args[0])) {
            throw py::type_error("NeighborSampler.__init__() was called on a sampler that is already built.");
          }
          return call_with_hints(is_graph_call(args, kwargs) ? graph_constructor : constructor, "constructor", args,
                                 kwargs);
        },
        py::name("init_once"), py::is_method(cls), py::doc(doc.c_str()));
  }
  reinterpret_cast<PyCFunctionObject*>(PyInstanceMethod_GET_FUNCTION(wrapper.ptr()))->m_ml->ml_name = "__init__";
  cls.attr("__init__") = wrapper;
}

}  // namespace

void bind_neighbor_sampler(py::module_& module) {
  module.def(
      "gather_rows",
      [](const py::list& sources, const py::list& indices, const py::list& outputs) {
        const std::vector<RowGather> gathers = row_gathers(sources, indices, outputs);
        without_gil([&] { gather_rows(gathers, nullptr); });
      },
      py::arg("sources"), py::arg("indices"), py::arg("outputs"),
      "NeighborSampler.gather_rows on the calling thread, without a sampler: copies\n"
      "sources[k][indices[k]] into outputs[k] for every k, with the same checks and errors.");
  py::class_<NeighborSampler> cls(module, "NeighborSampler");
  cls.def(py::init([](std::shared_ptr<Graph> graph, int seed) {
            return std::make_unique<NeighborSampler>(std::move(graph), seed);
          }),
          py::arg("graph"), py::arg("seed") = 123);
  const py::object graph_constructor = cls.attr("__init__");
  // Removed, so that the specified constructor below starts a function of its own.
  py::delattr(cls, "__init__");
  cls
      .def(py::init([](std::vector<NodeType> node_types, std::vector<EdgeType> edge_types, const py::dict& colptr,
                       const py::dict& row, const py::object& node_time, int seed, const py::object& edge_time,
                       const py::object& edge_weight) {
             // Any node_time that is not a dict goes through dict(...), whose error propagates; so do
             // edge_time and edge_weight unless they are None.
             const auto optional_dict = [](const py::object& value) {
               return value.is_none() ? py::dict() : py::dict(value);
             };
             std::shared_ptr<Graph> graph =
                 graph_from_arguments(std::move(node_types), std::move(edge_types), colptr, row, py::dict(node_time),
                                      optional_dict(edge_time), optional_dict(edge_weight));
             return std::make_unique<NeighborSampler>(std::move(graph), seed);
           }),
           py::arg("node_types"), py::arg("edge_types"), py::arg("colptr"), py::arg("row"), py::arg("node_time"),
           py::arg("seed") = 123, py::kw_only(), py::arg("edge_time") = py::none(),
           py::arg("edge_weight") = py::none())
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
      .def("sample_groups",
           [](NeighborSampler& self, const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
              const py::dict& seed_nodes, const py::dict& seed_groups, const py::array& group_time) {
             require_constructed(self);
             return self.sample_groups(num_neighbors, sampling_time_offsets, seed_nodes, seed_groups, group_time);
           },
           py::arg("num_neighbors"), py::arg("sampling_time_offsets"), py::arg("seed_nodes"), py::arg("seed_groups"),
           py::arg("group_time"),
           "Draws one subgraph per group of seeds; seeds may be of several node types.\n"
           "\n"
           "seed_nodes maps node types to int64 arrays of seed ids, seed_groups maps the same types to\n"
           "arrays of the same lengths holding each seed's group (a non-negative int), and group_time holds\n"
           "one time per group (indexed by group), or is empty for no time rule. The seeds of a type take\n"
           "local indices 0..n-1 of the type in the given order and are all expanded in the first hop;\n"
           "any other node is recorded once per group, and a seed id repeated within a group keeps its own\n"
           "index while later edges to the id point at its first occurrence.\n"
           "\n"
           "Returns the seven dicts of sample_with_edge_ids; out_batch holds the group of every node and\n"
           "element 0 of num_sampled_nodes the number of seeds of the type.")
      .def_property(
          "disjoint",
          [](NeighborSampler& self) {
            require_constructed(self);
            return self.disjoint;
          },
          [](NeighborSampler& self, const py::object& value) {
            require_constructed(self);
            self.disjoint = bool_setting_from(value, "disjoint");
          },
          "True (the default): sample and sample_with_edge_ids grow one subgraph per seed. False: one\n"
          "subgraph per distinct seed time (one for all seeds when the call has no seed times); seeds keep\n"
          "their places, any other node is recorded once per subgraph, and out_batch holds for every node\n"
          "the index of the first seed of its subgraph.")
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
          "The most threads a call may use, from 1 to 256 (others are refused; it reads back as set);\n"
          "results do not depend on it. A call uses at most one thread per chunk of its seeds and starts\n"
          "no thread it has no chunk for.")
      .def_property(
          "replace",
          [](NeighborSampler& self) {
            require_constructed(self);
            return self.replace;
          },
          [](NeighborSampler& self, const py::object& value) {
            require_constructed(self);
            self.replace = bool_setting_from(value, "replace");
          },
          "Whether a random fan-out k draws its k edges with replacement (a drawn edge may be drawn\n"
          "again, and is then recorded again) rather than k distinct ones.")
      .def_property_readonly(
          "graph",
          [](NeighborSampler& self) {
            require_constructed(self);
            return std::const_pointer_cast<Graph>(self.graph);
          },
          "The graph the sampler draws from, shared with every other holder of it.")
      .def(
          "gather_rows",
          [](NeighborSampler& self, const py::list& sources, const py::list& indices, const py::list& outputs) {
            require_constructed(self);
            self.gather_rows(row_gathers(sources, indices, outputs));
          },
          py::arg("sources"), py::arg("indices"), py::arg("outputs"),
          "Copies sources[k][indices[k]] into outputs[k] for every k, on the sampler's threads.\n"
          "\n"
          "Sources and outputs are C-contiguous arrays of one dtype and row shape, indices C-contiguous\n"
          "int64 arrays, each output with one row per index; an index outside its source raises\n"
          "IndexError. A loader gathers a batch's features with it in one call.")
      .def("check", [](NeighborSampler& self) {
        require_constructed(self);
        // Reads only the graph arrays, which the sampler keeps alive and nothing here changes.
        without_gil([&] { self.check(); });
      });
  install_init(cls, graph_constructor);
  add_error_hints(cls, "sample", "sample");
  add_error_hints(cls, "sample_with_edge_ids", "sample");
}

}  // namespace quorvix
