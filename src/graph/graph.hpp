// The graph as a value: per-edge-type CSC arrays, node and edge times, edge weights with their search
// structures, the schema and the node counts. Immutable once built, so any number of samplers and
// threads can share one. Knows nothing of Python: it holds views, and an owner keeps their memory alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "graph/array_table.hpp"
#include "graph/edge_features.hpp"
#include "graph/keys.hpp"
#include "graph/schema.hpp"

namespace quorvix {

// Whatever owns the memory a graph's views point into. The graph never looks inside: whoever builds
// one derives from this to keep its arrays alive for as long as the graph lives.
class ArrayOwner {
 public:
  virtual ~ArrayOwner() = default;
};

// A view of float64 data, valid while its owner lives.
struct Float64Span {
  const double* data = nullptr;
  int64_t size = 0;
};

// What a graph is built from: names and views, decoded and checked by the caller.
struct GraphArrays {
  std::vector<NodeType> node_types;
  std::vector<EdgeType> edge_types;
  ArrayTable colptr;     // by edge type key
  ArrayTable row;        // by edge type key
  ArrayTable node_time;  // by node type, only the types with timestamps
  ArrayTable edge_time;  // by edge type key, only the edge types given times
  std::unordered_map<EdgeTypeKey, Float64Span> edge_weight;  // likewise
  // Whether node times were given at all: seed times then matter, even where no type has times.
  bool has_node_time = false;
  // Set by whoever knows every run to be sorted already (a saved graph recorded as checked): the
  // construction then skips the scan for unsorted runs.
  bool runs_known_sorted = false;
};

class Graph {
 public:
  // `schema` is build_schema's over the arrays' names, which check_type_names has accepted. Builds the
  // weight search structures; check() is what reads every other array.
  Graph(GraphArrays arrays, GraphSchema schema, std::shared_ptr<const ArrayOwner> owner);
  // Edge features point into the graph's own weight structures.
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  const std::vector<NodeType> node_types;
  const std::vector<EdgeType> edge_types;
  const std::vector<EdgeTypeKey> edge_type_keys;  // in edge_types order
  const bool has_node_time;
  const ArrayTable colptr;
  const ArrayTable row;
  const ArrayTable node_time;
  const ArrayTable edge_time;

  // Whether seed times can matter: some node type or some edge type has times.
  bool has_time() const { return has_node_time || !edge_time.empty(); }
  // Whether edge type i (in edge_types order) filters by time when a call has seed times.
  bool edge_type_timed(std::size_t i) const;
  // Times and weights of edge type i, in edge_types order.
  const EdgeFeatures& edge_features(std::size_t i) const { return edge_features_[i]; }
  // The weights of edge type i as given, or an empty view.
  Float64Span edge_weight(std::size_t i) const;

  // The latest node or edge time of the graph, 0 when it has none later than 0. Read on first use.
  int64_t latest_time() const;
  // Whether the construction scanned for unsorted runs (not skipped as known sorted).
  bool runs_scanned() const { return runs_scanned_; }

  const GraphSchema& schema() const { return schema_; }
  // Per schema slot, the node count ids of the type are checked against (see node_counts.hpp).
  const std::vector<int64_t>& node_counts() const { return node_counts_; }
  // The positions the runs of edge type i cover: colptr[-1] - colptr[0], 0 for a colptr of fewer
  // than two entries.
  int64_t num_edges(std::size_t i) const;

  const std::shared_ptr<const ArrayOwner>& owner() const { return owner_; }

  // Reads every graph array once and throws std::runtime_error at the first fault, in edge_types order:
  // a colptr shorter than its frontier type's node count plus one, a colptr entry outside row or
  // decreasing, then a row id (inside some run) that is negative or not below its type's node count,
  // then a run not sorted by its neighbours' times. Defined in graph_check.cpp.
  void check() const;

 private:
  GraphSchema schema_;
  std::vector<int64_t> node_counts_;
  // Weights and their search structures, by key; std::unordered_map keeps addresses stable.
  std::unordered_map<EdgeTypeKey, EdgeWeights> edge_weights_;
  std::vector<EdgeFeatures> edge_features_;  // by edge type, in edge_types order
  std::shared_ptr<const ArrayOwner> owner_;
  bool runs_scanned_ = false;
  mutable std::once_flag latest_time_once_;
  mutable int64_t latest_time_ = 0;
};

}  // namespace quorvix
