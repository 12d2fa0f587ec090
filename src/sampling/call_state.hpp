// The working state of one sample call: per node type the sampled nodes and the current frontier,
// and per edge type and hop the inputs that the windows and the recording read.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/int64_list.hpp"
#include "graph/edge_features.hpp"
#include "graph/int64_span.hpp"
#include "graph/keys.hpp"
#include "graph/local_index_map.hpp"
#include "sampling/index_set.hpp"
#include "sampling/mersenne_twister.hpp"
#include "sampling/node_index_table.hpp"

namespace quorvix {

struct NodeTypeState {
  // The sampled nodes of the type in local-index order, as two columns. In a one-thread call these
  // are the sampler's out_batch and out_node lists themselves: they receive every node in local
  // order anyway.
  Int64List* batch = nullptr;
  Int64List* node = nullptr;
  std::vector<int64_t>* counts = nullptr;  // num_sampled_nodes of the type
  LocalIndexMap* local_index = nullptr;  // owned by the sampler, reused across calls
  // What a call that grows one subgraph maps ids with instead of local_index, when set (owned by
  // the sampler).
  NodeIndexTable* node_index = nullptr;
  int64_t frontier_begin = 0;  // [frontier_begin, frontier_end): local indices expanded this hop
  int64_t frontier_end = 0;
  Int64Span node_time;  // empty data when the type has no timestamps
  uint64_t id_bound = 0;  // ids at or above it, negative ones included, are refused (node_counts.hpp)
  bool has_node_time = false;
};

// A frontier entry, copied out of its list: the list may grow (and move) while it is walked.
struct FrontierNode {
  int64_t batch;
  int64_t node;
  int64_t local_index;
};

// Values drawn from the sampler's engine ahead of time, in one-thread order, handed out in that
// order: a part of a call running on another thread reads the draws a one-thread call would make.
struct DrawnValues {
  const uint32_t* next = nullptr;
  uint32_t operator()() { return *next++; }
};

// Everything one edge type needs while one hop walks its frontier, resolved once per hop. `Engine`
// gives the random draws (MersenneTwister or DrawnValues); with `kEdgeIds` the row position of every
// sampled edge is recorded too, and a call that does not ask for them compiles without that store.
// With `kOneGroup` every node belongs to one subgraph, and is found by id in its node type's
// NodeIndexTable, without hashing its identity, where the type has one. With `kCandidate` nothing
// is numbered while walking: out_row receives the neighbour's id, for a later pass that numbers the
// nodes of several threads' walks in one-thread order.
template <typename Engine, bool kEdgeIds, bool kOneGroup = false, bool kCandidate = false>
struct EdgeSampling {
  static constexpr bool kRecordsEdgeIds = kEdgeIds;
  static constexpr bool kOneSubgraph = kOneGroup;
  static constexpr bool kRecordsCandidates = kCandidate;

  const EdgeTypeKey* key;
  const NodeType* frontier_type;
  const NodeType* neighbour_type;
  Int64Span colptr;
  Int64Span row;
  Int64Span neighbour_time;
  NodeTypeState* neighbours;
  Int64List* out_row;
  Int64List* out_col;
  Int64List* out_edge;  // null unless kEdgeIds
  int64_t* edge_count;  // this hop's element of num_sampled_edges
  Engine* generator;
  IndexSet* chosen;
  // The edge type's own times, one per row position, read instead of neighbour_time when set.
  const int64_t* edge_time = nullptr;
  const EdgeWeights* weights = nullptr;  // random fan-outs draw by weight when set
  bool replace = false;  // random fan-outs draw with replacement
  // The nodes whose runs are not sorted by time, ascending; null when every run is sorted.
  const std::vector<int64_t>* unsorted_nodes = nullptr;
};

using SerialSampling = EdgeSampling<MersenneTwister, false>;
using SerialSamplingWithIds = EdgeSampling<MersenneTwister, true>;
using ChunkSampling = EdgeSampling<DrawnValues, false>;
using ChunkSamplingWithIds = EdgeSampling<DrawnValues, true>;
// One subgraph per call runs on one thread: seeds of one batch value make one chunk.
using OneGroupSampling = EdgeSampling<MersenneTwister, false, true>;
using OneGroupSamplingWithIds = EdgeSampling<MersenneTwister, true, true>;
// One subgraph per call on several threads: each walks a part of the frontier and records ids.
using CandidateSampling = EdgeSampling<DrawnValues, false, true, true>;
using CandidateSamplingWithIds = EdgeSampling<DrawnValues, true, true, true>;

// Explicit instantiations of a function template over the eight kinds above.
#define QUORVIX_FOR_EACH_EDGE_SAMPLING(MACRO) \
  MACRO(SerialSampling)                       \
  MACRO(SerialSamplingWithIds)                \
  MACRO(ChunkSampling)                        \
  MACRO(ChunkSamplingWithIds)                 \
  MACRO(OneGroupSampling)                     \
  MACRO(OneGroupSamplingWithIds)              \
  MACRO(CandidateSampling)                    \
  MACRO(CandidateSamplingWithIds)

}  // namespace quorvix
