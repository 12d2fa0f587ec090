// Registration of quorvix.Graph: the constructor, read-only views of the arrays, the per-type counts,
// check(), save and load (through the pure-Python quorvix._graph_files), pickling, and the table
// constructors of quorvix.tables.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "graph/graph.hpp"
#include "module/bindings.hpp"
#include "module/error_hints.hpp"
#include "module/graph_arguments.hpp"
#include "graph/without_gil.hpp"

namespace quorvix {

namespace py = pybind11;

namespace {

// An instance made by Graph.__new__ alone has no native graph, and the binding library would hand a
// method uninitialised storage in its place. Built graphs are the registered instances; the handle of
// one is what views of its memory keep alive.
py::handle handle_of(const Graph& graph) {
  const py::handle handle = py::detail::get_object_handle(&graph, py::detail::get_type_info(typeid(Graph)));
  if (!handle) throw py::type_error("Graph.__init__() has not been called on this instance.");
  return handle;
}

py::dict optional_dict(const py::object& value) { return value.is_none() ? py::dict() : py::dict(value); }

// A read-only array over graph memory; `base` keeps the graph, and so the memory, alive.
template <typename T>
py::array read_only_view(const T* data, int64_t size, py::handle base) {
  py::array_t<T> view({static_cast<py::ssize_t>(size)}, {static_cast<py::ssize_t>(sizeof(T))}, data, base);
  view.attr("setflags")(py::arg("write") = false);
  return std::move(view);
}

py::dict views_of(const ArrayTable& table, const std::vector<std::string>& order, py::handle base) {
  py::dict views;
  for (const std::string& key : order) {
    const auto found = table.find(key);
    if (found != table.end()) views[py::str(key)] = read_only_view(found->second.data, found->second.size, base);
  }
  return views;
}

py::dict edge_weight_views(const Graph& graph, py::handle base) {
  py::dict views;
  for (std::size_t i = 0; i < graph.edge_types.size(); ++i) {
    const Float64Span weights = graph.edge_weight(i);
    if (weights.data != nullptr) {
      views[py::str(graph.edge_type_keys[i])] = read_only_view(weights.data, weights.size, base);
    }
  }
  return views;
}

py::object graph_files() { return py::module_::import("quorvix._graph_files"); }

constexpr const char* SCHEMA_FILE_NAME = "graph.json";

// `expected_id`: the id the directory's graph.json must record (unpickling), or None.
std::shared_ptr<Graph> load_expecting(const py::object& path, bool mmap, const py::object& expected_id) {
  // (absolute directory, node_types, edge_types, colptr, row, node_time, edge_time, edge_weight, save id,
  // whether every run is recorded sorted), every file checked against graph.json
  const py::tuple read = graph_files().attr("read")(path, mmap, expected_id);
  const auto directory = read[0].cast<std::string>();
  GraphSource source{directory, mmap, read[8].cast<std::string>(), read[9].cast<bool>()};
  try {
    return graph_from_arguments(read[1].cast<std::vector<NodeType>>(), read[2].cast<std::vector<EdgeType>>(),
                                read[3], read[4], read[5], read[6], read[7], std::move(source));
  } catch (const std::runtime_error& error) {
    // Files that read well but do not make a graph: a graph.json edited by hand.
    throw py::value_error(std::string(SCHEMA_FILE_NAME) + " in '" + directory +
                          "' describes arrays that make no graph: " + error.what());
  }
}

std::shared_ptr<Graph> load(const py::object& path, bool mmap) { return load_expecting(path, mmap, py::none()); }

py::dict unsorted_run_views(const Graph& graph) {
  handle_of(graph);
  py::dict runs;
  for (std::size_t i = 0; i < graph.edge_types.size(); ++i) {
    const std::vector<int64_t>& nodes = graph.edge_features(i).unsorted_nodes;
    runs[py::str(graph.edge_type_keys[i])] = py::array_t<int64_t>(static_cast<py::ssize_t>(nodes.size()), nodes.data());
  }
  return runs;
}

// The state of a graph Graph.load opened is where it lies and the id of the save it opened; any other
// graph's is its arrays.
py::tuple state_of(const Graph& graph) {
  const py::handle self = handle_of(graph);
  const GraphSource source = source_of(graph);
  if (!source.directory.empty()) {
    if (source.save_id.empty()) return py::make_tuple("directory", source.directory, source.mapped);
    return py::make_tuple("directory", source.directory, source.mapped, source.save_id);
  }
  return py::make_tuple("arrays", graph.node_types, graph.edge_types, self.attr("colptr"), self.attr("row"),
                        self.attr("node_time"), self.attr("edge_time"), self.attr("edge_weight"));
}

std::shared_ptr<Graph> graph_of_state(const py::tuple& state) {
  if (state[0].cast<std::string>() == "directory") {
    // A pickle of a save that records no id reopens whatever the directory holds.
    py::object expected_id = py::none();
    if (state.size() > 3) expected_id = state[3];
    return load_expecting(state[1], state[2].cast<bool>(), expected_id);
  }
  return graph_from_arguments(state[1].cast<std::vector<NodeType>>(), state[2].cast<std::vector<EdgeType>>(),
                              state[3], state[4], state[5], state[6], state[7]);
}

py::object forward_to_tables(const char* name, const py::args& args, const py::kwargs& kwargs) {
  return py::module_::import("quorvix.tables").attr(name)(*args, **kwargs);
}

// Views of one kind of array, each keeping the graph alive.
template <const ArrayTable Graph::*kTable, const std::vector<std::string> Graph::*kOrder>
py::dict table_views(const Graph& graph) {
  return views_of(graph.*kTable, graph.*kOrder, handle_of(graph));
}

py::dict num_nodes(const Graph& graph) {
  handle_of(graph);
  const GraphSchema& schema = graph.schema();
  py::dict counts;
  for (std::size_t slot = 0; slot < schema.distinct_node_types.size(); ++slot) {
    const int64_t count = graph.node_counts()[slot];
    counts[py::str(schema.distinct_node_types[slot])] = count < 0 ? py::object(py::none()) : py::int_(count);
  }
  return counts;
}

py::dict num_edges(const Graph& graph) {
  handle_of(graph);
  py::dict counts;
  for (std::size_t i = 0; i < graph.edge_types.size(); ++i) {
    counts[py::str(graph.edge_type_keys[i])] = graph.num_edges(i);
  }
  return counts;
}

}  // namespace

void bind_graph(py::module_& module) {
  py::class_<Graph, std::shared_ptr<Graph>> cls(module, "Graph");
  cls.doc() =
      "A heterogeneous temporal graph as an immutable value: per-edge-type CSC arrays, node and edge\n"
      "times, edge weights with their search structures. Any number of samplers share one graph\n"
      "(NeighborSampler(graph)); the arrays are borrowed when they are contiguous native int64\n"
      "(float64 for weights), copied otherwise.";
  cls.def(py::init([](std::vector<NodeType> node_types, std::vector<EdgeType> edge_types, const py::dict& colptr,
                      const py::dict& row, const py::object& node_time, const py::object& edge_time,
                      const py::object& edge_weight) {
            return graph_from_arguments(std::move(node_types), std::move(edge_types), colptr, row,
                                        py::dict(node_time), optional_dict(edge_time), optional_dict(edge_weight));
          }),
          py::arg("node_types"), py::arg("edge_types"), py::arg("colptr"), py::arg("row"), py::arg("node_time"),
          py::kw_only(), py::arg("edge_time") = py::none(), py::arg("edge_weight") = py::none(),
          "Checks and keeps the arrays as NeighborSampler's constructor does, with the same messages.")
      .def_property_readonly(
          "node_types",
          [](const Graph& self) {
            handle_of(self);
            return self.node_types;
          },
          "The node types, as given.")
      .def_property_readonly(
          "edge_types",
          [](const Graph& self) {
            handle_of(self);
            return self.edge_types;
          },
          "The edge types as (neighbour type, relation, frontier type) tuples, as given.")
      .def_property_readonly(
          "num_nodes", &num_nodes,
          "Per node type, the node count ids are checked against: the length of its node_time, else the\n"
          "largest len(colptr) - 1 among the edge types whose frontier type it is, else None.")
      .def_property_readonly(
          "num_edges", &num_edges,
          "Per edge type key, the positions of row its runs cover: colptr[-1] - colptr[0], or 0.")
      .def_property_readonly("colptr", &table_views<&Graph::colptr, &Graph::edge_type_keys>,
                             "Per edge type key, a read-only view of colptr.")
      .def_property_readonly("row", &table_views<&Graph::row, &Graph::edge_type_keys>,
                             "Per edge type key, a read-only view of row.")
      .def_property_readonly("node_time", &table_views<&Graph::node_time, &Graph::node_types>,
                             "Per node type with timestamps, a read-only view of them.")
      .def_property_readonly("edge_time", &table_views<&Graph::edge_time, &Graph::edge_type_keys>,
                             "Per edge type key with edge times, a read-only view of them.")
      .def_property_readonly(
          "edge_weight", [](const Graph& self) { return edge_weight_views(self, handle_of(self)); },
          "Per edge type key with weights, a read-only float64 view of them.")
      .def(
          "check",
          [](const Graph& graph) {
            handle_of(graph);
            // Reads only the graph's arrays, which the graph keeps alive and nothing changes.
            without_gil([&] { graph.check(); });
          },
          "Checks the whole graph once, as NeighborSampler.check() does; raises RuntimeError at the first\n"
          "fault.")
      .def(
          "save",
          [](const Graph& self, const py::object& path, bool overwrite) {
            graph_files().attr("write")(handle_of(self), path, overwrite);
          },
          py::arg("path"), py::kw_only(), py::arg("overwrite") = false,
          "Writes the graph to the directory `path` (made if missing): one .npy file per array and a\n"
          "graph.json naming them. Refuses a directory that already holds a saved graph.\n"
          "\n"
          "Files are written under temporary names and renamed into place, so a process that has the\n"
          "directory open keeps reading the files it opened. With overwrite=True a saved graph in `path`\n"
          "is replaced rather than refused. A save that finds another one writing to `path` raises\n"
          "FileExistsError.")
      .def_static(
          "load", &load, py::arg("path"), py::arg("mmap") = true,
          "Opens a graph Graph.save wrote. With mmap (the default) the arrays are memory-mapped read-only,\n"
          "not read; such a graph pickles as its directory and reopens it when unpickled.")
      .def_static(
          "from_tables",
          [](const py::args& args, const py::kwargs& kwargs) { return forward_to_tables("from_tables", args, kwargs); },
          "A graph and its key maps from tables of rows: calls ``quorvix.tables.from_tables`` with the same arguments.")
      .def_static(
          "from_database",
          [](const py::args& args, const py::kwargs& kwargs) {
            return forward_to_tables("from_database", args, kwargs);
          },
          "A graph and its key maps from a database's tables: calls ``quorvix.tables.from_database`` with the same arguments.")
      .def_property_readonly(
          "unsorted_runs", &unsorted_run_views,
          "Per edge type key, the nodes (ascending) whose runs are not sorted by the time sampling reads:\n"
          "the edge type's edge_time, else its neighbours' node_time. A call that samples such a run by\n"
          "time raises instead of bisecting it. Found when the graph is built, unless it was loaded from\n"
          "a directory whose graph.json records every run sorted.")
      .def(py::pickle(&state_of, &graph_of_state));
  add_error_hints(cls, "__init__", "constructor");
}

}  // namespace quorvix
