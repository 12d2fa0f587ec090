// The sampler: a heterogeneous temporal graph given as per-edge-type CSC arrays, and its sample operation.
#pragma once

#include <array>
#include <memory>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "graph/edge_features.hpp"
#include "graph/keys.hpp"
#include "graph/local_index_map.hpp"
#include "graph/sampler_options.hpp"
#include "graph/schema.hpp"
#include "graph/tables.hpp"

namespace quorvix {

namespace py = pybind11;

struct ParallelState;
struct SeedSet;

// (out_row, out_col, out_node, out_batch, num_sampled_nodes, num_sampled_edges)
using SampleResult = std::tuple<py::dict, py::dict, py::dict, py::dict, py::dict, py::dict>;
// The same six, then out_edge: per edge type the row position of every sampled edge.
using SampleWithEdgeIdsResult = std::tuple<py::dict, py::dict, py::dict, py::dict, py::dict, py::dict, py::dict>;

class NeighborSampler {
 public:
  NeighborSampler(std::vector<NodeType> node_types, std::vector<EdgeType> edge_types, const py::dict& colptr,
                  const py::dict& row, const py::dict& node_time, int seed,
                  const py::dict& edge_time = py::dict(), const py::dict& edge_weight = py::dict());
  ~NeighborSampler();

  // Draws one subgraph per seed; defined in the sampling sources.
  SampleResult sample(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                      const std::string& entity_table, const py::array& seed_node, const py::array& seed_time);
  // The same draws, checks and results as sample, and the row position of every sampled edge.
  SampleWithEdgeIdsResult sample_with_edge_ids(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                                               const std::string& entity_table, const py::array& seed_node,
                                               const py::array& seed_time);

  // Draws one subgraph per group of seeds, seeds of several node types; returns the seven dicts of
  // sample_with_edge_ids, out_batch holding group indices. Defined in the sampling sources.
  SampleWithEdgeIdsResult sample_groups(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                                        const py::dict& seed_nodes, const py::dict& seed_groups,
                                        const py::array& group_time);

  // Reads every graph array once and throws std::runtime_error at the first fault, in edge_types order:
  // a colptr entry outside row or decreasing, then a row id (inside some run) that is negative or not
  // below its type's node count, then a run not sorted by its neighbours' times. Touches no Python
  // object. Defined in graph_check.cpp.
  void check() const;

  // Gives the six per-call tables their start-of-call contents: [0] counts, empty lists; with
  // `with_edge_ids`, out_edge too.
  void reset_call_tables(bool with_edge_ids = false);
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
  ArrayTable edge_time;  // keyed by edge type key, only the edge types given one

  // Whether seed times can matter: some node type or some edge type has times.
  bool has_time() const { return has_node_time || !edge_time.empty(); }
  // Whether edge type i (in edge_types order) filters by time when the call has seed times.
  bool edge_type_timed(std::size_t i) const;
  // Times and weights of edge type i, in edge_types order.
  const EdgeFeatures& edge_features(std::size_t i) const { return edge_features_[i]; }

  Int64ListTable num_sampled_nodes;
  Int64ListTable num_sampled_edges;
  Int64ListTable out_batch;
  Int64ListTable out_node;
  Int64ListTable out_col;
  Int64ListTable out_row;
  Int64ListTable out_edge;  // only filled by sample_with_edge_ids

  // Read once at the start of every call; the binding checks the values.
  TemporalStrategy temporal_strategy = TemporalStrategy::kLast;
  int64_t num_threads = 1;
  // Whether random fan-outs draw with replacement.
  bool replace = false;
  // `replace` as the running call read it at its start: a setter running meanwhile changes nothing.
  bool call_replace = false;
  // False: sample and sample_with_edge_ids grow one subgraph per distinct seed time, not per seed.
  bool disjoint = true;

  const GraphSchema& schema() const { return schema_; }
  // Per schema slot, the node count ids of the type are checked against (see node_counts.hpp).
  const std::vector<int64_t>& node_counts() const { return node_counts_; }

 private:
  // Admits one sample call at a time; sample holds one for its whole length. A call runs
  // Python code part-way (lookups in dict subclasses, conversions of array-like values, finalizers
  // the collector runs), and that code may call sample on the same sampler again, itself or from
  // another thread once it lets the interpreter lock go. The second call would reset the per-call
  // tables under the first. A call from another thread waits, with the interpreter lock released;
  // a call from within a running call on the same thread throws std::runtime_error.
  class CallGuard {
   public:
    explicit CallGuard(NeighborSampler& sampler);
    ~CallGuard();
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

   private:
    NeighborSampler& sampler_;
  };

  // The body of both sample methods: checks, then the traversal; returns the per-call tables'
  // contents as dicts (and out_edge with `kEdgeIds`).
  template <bool kEdgeIds>
  std::conditional_t<kEdgeIds, SampleWithEdgeIdsResult, SampleResult> sample_checked(
      const py::dict& num_neighbors, const py::dict& sampling_time_offsets, const std::string& entity_table,
      const py::array& seed_node, const py::array& seed_time);
  // The traversal of a checked request from its seeds, shared by every sample method.
  template <bool kEdgeIds>
  std::conditional_t<kEdgeIds, SampleWithEdgeIdsResult, SampleResult> sample_seeds(
      const py::dict& num_neighbors, const py::dict& sampling_time_offsets, TemporalStrategy strategy,
      uint64_t num_hops, const SeedSet& seeds);

  void keep_array(ArrayTable& table, const std::string& key, const py::array& array);
  void keep_edge_arrays(const py::dict& edge_time_dict, const py::dict& edge_weight_dict);

  // The arrays the views above point into: coerced or copied arrays have no other owner, and a
  // caller dropping its own reference must never leave a view dangling.
  std::vector<py::object> kept_arrays_;
  GraphSchema schema_;
  std::vector<int64_t> node_counts_;
  std::vector<EdgeFeatures> edge_features_;  // by edge type, in edge_types order
  // Weights and their search structures, by key; std::unordered_map keeps addresses stable.
  std::unordered_map<std::string, EdgeWeights> edge_weights_;
  std::mutex call_mutex_;
  std::atomic<std::thread::id> call_owner_{};  // the thread inside sample, while one is
  // One per distinct node type: the dedup maps of a call, kept so their storage is reused.
  std::vector<LocalIndexMap> local_index_maps_;
  // Storage of the six per-call tables' lists, by table and key, kept from one call to the next:
  // a sampler answering a stream of similar calls then neither regrows its lists nor has the
  // system fault fresh pages into them every time.
  std::array<Int64ListTable, 7> retained_lists_;
  // The thread pool and per-chunk storage of calls on several threads, made by the first one.
  std::unique_ptr<ParallelState> parallel_;
  std::array<Int64ListTable*, 7> call_tables();
};

}  // namespace quorvix
