#include "graph/graph.hpp"

#include <algorithm>
#include <utility>

#include "graph/node_counts.hpp"
#include "graph/run_order.hpp"

namespace quorvix {

Graph::Graph(GraphArrays arrays, GraphSchema schema, std::shared_ptr<const ArrayOwner> owner)
    : node_types(std::move(arrays.node_types)),
      edge_types(std::move(arrays.edge_types)),
      edge_type_keys(keys_of(edge_types)),
      has_node_time(arrays.has_node_time),
      colptr(std::move(arrays.colptr)),
      row(std::move(arrays.row)),
      node_time(std::move(arrays.node_time)),
      edge_time(std::move(arrays.edge_time)),
      schema_(std::move(schema)),
      node_counts_(known_node_counts(schema_, edge_type_keys, colptr, node_time)),
      owner_(std::move(owner)) {
  edge_features_.resize(edge_types.size());
  for (std::size_t i = 0; i < edge_types.size(); ++i) {
    const EdgeTypeKey& key = edge_type_keys[i];
    EdgeFeatures& features = edge_features_[i];
    const auto time = edge_time.find(key);
    if (time != edge_time.end()) {
      features.timed = true;
      features.time = time->second;
    }
    const auto given = arrays.edge_weight.find(key);
    if (given != arrays.edge_weight.end()) {
      EdgeWeights& weights = edge_weights_[key];
      weights.weight = given->second.data;
      weights.size = given->second.size;
      index_weights(weights, colptr.at(key));
      features.weights = &weights;
    }
  }
  runs_scanned_ = !arrays.runs_known_sorted;
  if (runs_scanned_) {
    for (std::size_t i = 0; i < edge_types.size(); ++i) {
      EdgeFeatures& features = edge_features_[i];
      const auto time = node_time.find(neighbour_type(edge_types[i]));
      // An edge type with its own times is sampled by them, whatever its neighbours' times.
      const Int64Span* by_node_time = features.timed || time == node_time.end() ? nullptr : &time->second;
      features.unsorted_nodes = unsorted_runs(colptr.at(edge_type_keys[i]), row.at(edge_type_keys[i]), by_node_time,
                                              features.timed ? &features.time : nullptr);
    }
  }
}

int64_t Graph::latest_time() const {
  std::call_once(latest_time_once_, [this] {
    int64_t latest = 0;
    const auto scan = [&latest](Int64Span times) {
      for (int64_t i = 0; i < times.size; ++i) latest = std::max(latest, times[i]);
    };
    for (const auto& entry : node_time) scan(entry.second);
    for (const auto& entry : edge_time) scan(entry.second);
    latest_time_ = latest;
  });
  return latest_time_;
}

bool Graph::edge_type_timed(std::size_t i) const {
  return edge_features_[i].timed || node_time.count(neighbour_type(edge_types[i])) != 0;
}

Float64Span Graph::edge_weight(std::size_t i) const {
  const EdgeWeights* weights = edge_features_[i].weights;
  return weights == nullptr ? Float64Span{} : Float64Span{weights->weight, weights->size};
}

int64_t Graph::num_edges(std::size_t i) const {
  const Int64Span span = colptr.at(edge_type_keys[i]);
  return span.size < 2 ? 0 : span[span.size - 1] - span[0];
}

}  // namespace quorvix
