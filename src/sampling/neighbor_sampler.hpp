// The sampler: settings, a random generator and per-call storage over one shared graph, and its sample
// operations.
#pragma once

#include <array>
#include <memory>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "graph/edge_features.hpp"
#include "graph/graph.hpp"
#include "graph/keys.hpp"
#include "graph/local_index_map.hpp"
#include "graph/sampler_options.hpp"
#include "graph/schema.hpp"
#include "graph/tables.hpp"
#include "sampling/mersenne_twister.hpp"
#include "sampling/node_index_table.hpp"
#include "sampling/row_gather.hpp"
#include "sampling/reverse_edges.hpp"
#include "sampling/subgraph_edges.hpp"

namespace quorvix {

namespace py = pybind11;

struct ParallelState;
struct NodeTypeState;
struct SeedSet;

// (out_row, out_col, out_node, out_batch, num_sampled_nodes, num_sampled_edges)
using SampleResult = std::tuple<py::dict, py::dict, py::dict, py::dict, py::dict, py::dict>;
// The same six, then out_edge: per edge type the row position of every sampled edge.
using SampleWithEdgeIdsResult = std::tuple<py::dict, py::dict, py::dict, py::dict, py::dict, py::dict, py::dict>;

class NeighborSampler {
 public:
  // A sampler over `graph`, which it shares with whoever else holds it.
  NeighborSampler(std::shared_ptr<const Graph> graph, int seed);
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

  // See Graph::check.
  void check() const { graph->check(); }

  // Copies rows for a batch (see row_gather.hpp) on this sampler's threads, without the interpreter
  // lock; one call at a time, as for sample.
  void gather_rows(const std::vector<RowGather>& gathers);
  // induced_edges (induced.hpp) on this sampler's threads, likewise.
  SubgraphEdges induced_edges(const CscView& csc, int64_t num_src_nodes, const SampledNodes& src,
                              const SampledNodes& dst, Int64Span group_time, int64_t num_hops);
  // reverse_edges (reverse_edges.hpp) on this sampler's threads, likewise.
  SubgraphEdges reverse_edges(const CscView& csc, Int64Span index_row, Int64Span index_position, Int64Span row_node,
                              Int64Span row_batch, Int64Span col_node, const LocalEdges& target,
                              const std::vector<ReverseSource>& sources, Int64Span group_time, bool by_destination);

  // Gives the six per-call tables their start-of-call contents: [0] counts, empty lists; with
  // `with_edge_ids`, out_edge too. The result lists are fresh NumPy arrays, sized for what the
  // previous call recorded.
  void reset_call_tables(bool with_edge_ids = false);
  // Notes how long the result lists are, as the next call's starting sizes.
  void remember_result_sizes();
  // Removes every entry of the six per-call tables.
  void clear_call_tables();

  // Declared first: the views below are bound to it.
  const std::shared_ptr<const Graph> graph;
  // The graph's names and arrays, under the names the sampling code reads them by.
  const std::vector<NodeType>& node_types;
  const std::vector<EdgeType>& edge_types;
  const std::vector<EdgeTypeKey>& edge_type_keys;
  const ArrayTable& colptr;
  const ArrayTable& row;
  const ArrayTable& node_time;
  const ArrayTable& edge_time;  // keyed by edge type key, only the edge types given one
  MersenneTwister generator;

  bool has_time() const { return graph->has_time(); }
  bool edge_type_timed(std::size_t i) const { return graph->edge_type_timed(i); }
  const EdgeFeatures& edge_features(std::size_t i) const { return graph->edge_features(i); }

  Int64ListTable num_sampled_nodes;
  Int64ListTable num_sampled_edges;
  ResultListTable out_batch;
  ResultListTable out_node;
  ResultListTable out_col;
  ResultListTable out_row;
  ResultListTable out_edge;  // only filled by sample_with_edge_ids

  // Read once at the start of every call; the binding checks the values.
  TemporalStrategy temporal_strategy = TemporalStrategy::kLast;
  int64_t num_threads = 1;
  // False: sample and sample_with_edge_ids grow one subgraph per distinct seed time, not per seed.
  bool disjoint = true;
  // Whether random fan-outs draw with replacement.
  bool replace = false;
  // `replace` as the running call read it at its start: a setter running meanwhile changes nothing.
  bool call_replace = false;

  const GraphSchema& schema() const { return schema_; }
  // Per schema slot, the node count ids of the type are checked against (see node_counts.hpp).
  const std::vector<int64_t>& node_counts() const { return graph->node_counts(); }

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
  // The hops of a one-thread call, from seeds already in `node_states`; `Edges` is the call's kind of
  // EdgeSampling.
  template <typename Edges>
  void sample_hops(const py::dict& num_neighbors, const py::dict& sampling_time_offsets, TemporalStrategy strategy,
                   uint64_t num_hops, const std::vector<int64_t>& seed_times, std::vector<NodeTypeState>& node_states);

  const GraphSchema& schema_;
  std::mutex call_mutex_;
  std::atomic<std::thread::id> call_owner_{};  // the thread inside sample, while one is
  // One per distinct node type: the dedup maps of a call, kept so their storage is reused.
  std::vector<LocalIndexMap> local_index_maps_;
  // One per distinct node type: what calls that grow one subgraph map ids with instead, made by the
  // first such call.
  std::vector<NodeIndexTable> node_index_tables_;
  // By result table and key, the length of the previous call's list: a sampler answering a stream
  // of similar calls then makes each result array once at about the right size, rather than
  // growing it (NumPy zero-fills what an array grows by).
  std::array<std::unordered_map<std::string, std::size_t>, 5> result_sizes_;
  // The thread pool and per-chunk storage of calls on several threads, made by the first one.
  std::unique_ptr<ParallelState> parallel_;
  // The pool for a call's helpers (row gathers, subgraph builders), or nullptr on one thread.
  ThreadPool* helper_pool();
  std::array<ResultListTable*, 5> result_tables();
};

}  // namespace quorvix
