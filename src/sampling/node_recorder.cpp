#include "sampling/node_recorder.hpp"

namespace quorvix {

void NodeRecorder::add_seeds(Int64Span batch, Int64Span node) {
  map_.reserve(nodes_.size() + static_cast<std::size_t>(node.size));
  for (int64_t k = 0; k < node.size; ++k) {
    if (!map_.insert(batch[k], node[k]).inserted) map_.skip_local();
    nodes_.push_back(node[k]);
    batches_.push_back(batch[k]);
  }
}

void NodeRecorder::record(Int64Span batch, Int64Span node, int64_t* local) {
  map_.reserve(nodes_.size() + static_cast<std::size_t>(node.size));  // at most one new pair per value
  for (int64_t k = 0; k < node.size; ++k) {
    const int64_t id = node[k];  // read before local[k] is written: they may be one array
    const LocalIndexMap::Insertion found = map_.insert(batch[k], id);
    local[k] = found.local_index;
    if (found.inserted) {
      nodes_.push_back(id);
      batches_.push_back(batch[k]);
    }
  }
}

}  // namespace quorvix
