// The graph arguments of the Graph and NeighborSampler constructors as Python passes them: checked in
// the order their errors are documented, then decoded into a Graph that keeps the arrays it views.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "graph/graph.hpp"
#include "graph/keys.hpp"

namespace quorvix {

namespace py = pybind11;

// Where a graph's arrays came from: a directory Graph.load opened (memory-mapped or read), or none.
struct GraphSource {
  std::string directory;  // empty for a graph built from arrays in memory
  bool mapped = false;
  std::string save_id;  // the saved graph's id in its graph.json, empty when it records none
  bool runs_known_sorted = false;  // its graph.json records every run sorted
};

// The arrays a graph's views point into: coerced or copied arrays have no other owner, and a caller
// dropping its own reference must never leave a view dangling. Released with the interpreter lock
// held, as every holder of a graph is a Python object or lives in one.
class PythonArrays : public ArrayOwner {
 public:
  std::vector<py::object> arrays;
  GraphSource source;
};

std::shared_ptr<Graph> graph_from_arguments(std::vector<NodeType> node_types, std::vector<EdgeType> edge_types,
                                            const py::dict& colptr, const py::dict& row, const py::dict& node_time,
                                            const py::dict& edge_time, const py::dict& edge_weight,
                                            GraphSource source = {});

// The source graph_from_arguments recorded; a default one for a graph built otherwise.
GraphSource source_of(const Graph& graph);

}  // namespace quorvix
