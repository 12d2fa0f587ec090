// The sampler: a heterogeneous temporal graph given as per-edge-type CSC arrays, and its sample operation.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "graph/keys.hpp"
#include "graph/local_index_map.hpp"
#include "graph/schema.hpp"
#include "graph/tables.hpp"

namespace quorvix {

namespace py = pybind11;

// (out_row, out_col, out_node, out_batch, num_sampled_nodes, num_sampled_edges)
using SampleResult = std::tuple<py::dict, py::dict, py::dict, py::dict, py::dict, py::dict>;

class NeighborSampler {
 public:
  NeighborSampler(std::vector<NodeType> node_types, std::vector<EdgeType> edge_types, const py::dict& colptr,
                  const py::dict& row, const py::dict& node_time, int seed);

  // Draws one subgraph per seed; defined in the sampling sources.
  SampleResult sample(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                      const std::string& entity_table, const py::array& seed_node, const py::array& seed_time);

  // Gives the six per-call tables their start-of-call contents: [0] counts, empty lists.
  void reset_call_tables();
  // Removes every entry of the six per-call tables.
  void clear_call_tables();

  const std::vector<NodeType> node_types;
  const std::vector<EdgeType> edge_types;
  const std::vector<EdgeTypeKey> edge_type_keys;
  const bool has_node_time;
  std::mt19937 generator;

  ArrayTable colptr;
  ArrayTable row;
  ArrayTable node_time;

  Int64ListTable num_sampled_nodes;
  Int64ListTable num_sampled_edges;
  Int64ListTable out_batch;
  Int64ListTable out_node;
  Int64ListTable out_col;
  Int64ListTable out_row;

  const GraphSchema& schema() const { return schema_; }

 private:
  void keep_array(ArrayTable& table, const std::string& key, const py::array& array);

  // The arrays the views above point into: coerced or copied arrays have no other owner, and a
  // caller dropping its own reference must never leave a view dangling.
  std::vector<py::object> kept_arrays_;
  GraphSchema schema_;
  // One per distinct node type: the dedup maps of a call, kept so their storage is reused.
  std::vector<LocalIndexMap> local_index_maps_;
};

}  // namespace quorvix
