#include "sampling/neighbor_sampler.hpp"

#include <stdexcept>
#include <utility>

#include "sampling/induced.hpp"
#include "sampling/parallel_state.hpp"
#include "graph/without_gil.hpp"

namespace quorvix {

NeighborSampler::NeighborSampler(std::shared_ptr<const Graph> shared_graph, int seed)
    : graph(std::move(shared_graph)),
      node_types(graph->node_types),
      edge_types(graph->edge_types),
      edge_type_keys(graph->edge_type_keys),
      colptr(graph->colptr),
      row(graph->row),
      node_time(graph->node_time),
      edge_time(graph->edge_time),
      schema_(graph->schema()) {
  local_index_maps_.resize(schema_.distinct_node_types.size());
  generator.seed(static_cast<uint32_t>(seed));
}

NeighborSampler::~NeighborSampler() = default;

NeighborSampler::CallGuard::CallGuard(NeighborSampler& sampler) : sampler_(sampler) {
  if (!sampler.call_mutex_.try_lock()) {
    // Only this thread can have stored its own id, and it clears it before unlocking.
    if (sampler.call_owner_.load() == std::this_thread::get_id()) {
      throw std::runtime_error(
          "sample() was called on a sampler from within a sample() call on the same sampler.");
    }
    // The running call needs the interpreter lock to finish.
    without_gil([&] { sampler.call_mutex_.lock(); });
  }
  sampler.call_owner_.store(std::this_thread::get_id());
}

NeighborSampler::CallGuard::~CallGuard() {
  sampler_.call_owner_.store(std::thread::id());
  sampler_.call_mutex_.unlock();
}

ThreadPool* NeighborSampler::helper_pool() {
  const auto threads = static_cast<std::size_t>(num_threads);
  if (threads < 2) return nullptr;
  if (!parallel_) parallel_ = std::make_unique<ParallelState>();
  return &parallel_->pool.get(threads);
}

void NeighborSampler::gather_rows(const std::vector<RowGather>& gathers) {
  const CallGuard guard(*this);
  ThreadPool* pool = helper_pool();
  without_gil([&] { quorvix::gather_rows(gathers, pool); });
}

SubgraphEdges NeighborSampler::induced_edges(const CscView& csc, int64_t num_src_nodes, const SampledNodes& src,
                                             const SampledNodes& dst, Int64Span group_time, int64_t num_hops) {
  const CallGuard guard(*this);
  ThreadPool* pool = helper_pool();
  SubgraphEdges edges;
  without_gil([&] { edges = quorvix::induced_edges(csc, num_src_nodes, src, dst, group_time, num_hops, pool); });
  return edges;
}

SubgraphEdges NeighborSampler::reverse_edges(const CscView& csc, Int64Span index_row, Int64Span index_position,
                                             Int64Span row_node, Int64Span row_batch, Int64Span col_node,
                                             const LocalEdges& target, const std::vector<ReverseSource>& sources,
                                             Int64Span group_time, bool by_destination) {
  const CallGuard guard(*this);
  ThreadPool* pool = helper_pool();
  SubgraphEdges edges;
  without_gil([&] {
    edges = quorvix::reverse_edges(csc, index_row, index_position, row_node, row_batch, col_node, target, sources,
                                   group_time, by_destination, pool);
  });
  return edges;
}

std::array<ResultListTable*, 5> NeighborSampler::result_tables() {
  return {&out_col, &out_row, &out_batch, &out_node, &out_edge};
}

void NeighborSampler::reset_call_tables(bool with_edge_ids) {
  clear_call_tables();
  for (const std::string& name : node_types) num_sampled_nodes[name].assign(1, 0);
  for (const EdgeTypeKey& key : edge_type_keys) num_sampled_edges[key].assign(1, 0);
  const std::array<ResultListTable*, 5> tables = result_tables();
  for (std::size_t i = 0; i < tables.size(); ++i) {
    if (tables[i] == &out_edge && !with_edge_ids) continue;
    const bool by_node_type = tables[i] == &out_batch || tables[i] == &out_node;
    for (const std::string& key : by_node_type ? node_types : edge_type_keys) {
      const auto size = result_sizes_[i].find(key);
      // A little room over the previous call's length, so that a slightly larger call fits too.
      const std::size_t capacity = size == result_sizes_[i].end() ? 0 : size->second + size->second / 8;
      (*tables[i])[key] = Int64List::in_numpy_array(capacity);
    }
  }
}

void NeighborSampler::remember_result_sizes() {
  const std::array<ResultListTable*, 5> tables = result_tables();
  for (std::size_t i = 0; i < tables.size(); ++i) {
    for (const auto& [key, list] : *tables[i]) result_sizes_[i][key] = list.size();
  }
}

void NeighborSampler::clear_call_tables() {
  num_sampled_nodes.clear();
  num_sampled_edges.clear();
  for (ResultListTable* table : result_tables()) table->clear();
}

}  // namespace quorvix
