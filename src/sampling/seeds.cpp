#include "sampling/seeds.hpp"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

#include "graph/array_dict.hpp"
#include "graph/native_int64.hpp"
#include "sampling/call_setup.hpp"
#include "sampling/call_state.hpp"
#include "sampling/recording.hpp"

namespace quorvix {

namespace {

std::vector<int64_t> copy_of(const py::array& array) {
  const NativeInt64Array native = native_int64(array);
  const Int64Span span = span_of(native);
  return std::vector<int64_t>(span.data, span.data + span.size);
}

// The names of a dict's keys in insertion order, from a snapshot: str(key) may run Python code.
std::vector<std::string> key_names(const py::dict& dict) {
  const auto entries = py::reinterpret_steal<py::list>(PyDict_Keys(dict.ptr()));
  if (!entries) throw py::error_already_set();
  std::vector<std::string> names;
  for (py::handle key : entries) names.push_back(static_cast<std::string>(py::str(key)));
  return names;
}

}  // namespace

bool SeedSet::batches_sorted() const {
  return std::all_of(types.begin(), types.end(),
                     [](const SeedsOfType& seeds) { return std::is_sorted(seeds.batch.begin(), seeds.batch.end()); });
}

SeedSet seeds_of_call(const NeighborSampler& sampler, const NodeType& entity_table, const py::array& seed_node,
                      const py::array& seed_time, bool disjoint) {
  SeedSet seeds;
  SeedsOfType& entity = seeds.types.emplace_back();
  entity.slot = sampler.schema().node_slot(entity_table);
  entity.name = entity_table;
  entity.ids = copy_of(seed_node);
  NodeTypeState state;
  describe_node_type(sampler, entity.slot, state);
  for (const int64_t id : entity.ids) check_node_id(state, entity_table, id);
  const Int64Span ids{entity.ids.data(), static_cast<int64_t>(entity.ids.size())};
  seeds.time_of_batch = seed_times_of(sampler, state, entity_table, ids, seed_time);

  const std::size_t n = entity.ids.size();
  entity.batch.resize(n);
  if (disjoint) {
    for (std::size_t i = 0; i < n; ++i) entity.batch[i] = static_cast<int64_t>(i);
  } else if (seeds.time_of_batch.empty()) {
    std::fill(entity.batch.begin(), entity.batch.end(), 0);
  } else {
    // A group is named by its first seed, whose seed time is then the group's time.
    std::unordered_map<int64_t, int64_t> first_with_time;
    for (std::size_t i = 0; i < n; ++i) {
      entity.batch[i] = first_with_time.emplace(seeds.time_of_batch[i], static_cast<int64_t>(i)).first->second;
    }
  }
  return seeds;
}

SeedSet read_seed_groups(const NeighborSampler& sampler, const py::dict& seed_nodes, const py::dict& seed_groups,
                         const py::array& group_time) {
  validate_array_dict(seed_nodes, "seed_nodes", sampler.node_types, 1, true);
  require_str_keys(seed_nodes, "seed_nodes");
  validate_array_dict(seed_groups, "seed_groups", sampler.node_types, 1, true);
  require_str_keys(seed_groups, "seed_groups");
  validate_array(group_time, "group_time", 1, true);
  const std::vector<std::string> types = key_names(seed_nodes);
  for (const std::string& name : types) {
    if (!dict_contains(seed_groups, name)) {
      throw std::runtime_error("Type '" + name + "' in seed_nodes has no entry in seed_groups.");
    }
  }
  for (const std::string& name : key_names(seed_groups)) {
    if (!dict_contains(seed_nodes, name)) {
      throw std::runtime_error("Type '" + name + "' in seed_groups has no entry in seed_nodes.");
    }
  }

  SeedSet seeds;
  seeds.time_of_batch = copy_of(group_time);
  const auto group_count = static_cast<int64_t>(seeds.time_of_batch.size());
  for (const std::string& name : types) {
    SeedsOfType& typed = seeds.types.emplace_back();
    typed.slot = sampler.schema().node_slot(name);
    typed.name = name;
    typed.ids = copy_of(read_array_item(seed_nodes, name));
    typed.batch = copy_of(read_array_item(seed_groups, name));
    if (typed.ids.size() != typed.batch.size()) {
      throw std::runtime_error("'seed_nodes' and 'seed_groups' size mismatch at type '" + name + "'.");
    }
    for (std::size_t i = 0; i < typed.batch.size(); ++i) {
      const int64_t group = typed.batch[i];
      if (group < 0) {
        throw std::runtime_error("Type '" + name + "' in seed_groups has a negative group " + std::to_string(group) +
                                 " at position " + std::to_string(i) + ".");
      }
      if (group_count > 0 && group >= group_count) {
        throw std::runtime_error("Type '" + name + "' in seed_groups has group " + std::to_string(group) +
                                 " at position " + std::to_string(i) + ", not below the " +
                                 std::to_string(group_count) + " entries of group_time.");
      }
    }
  }
  // As seed times: a sampler without timestamps applies no time rule.
  if (!sampler.has_time()) seeds.time_of_batch.clear();
  return seeds;
}

void check_seed_ids(const NeighborSampler& sampler, const SeedSet& seeds) {
  for (const SeedsOfType& typed : seeds.types) {
    NodeTypeState state;
    describe_node_type(sampler, typed.slot, state);
    for (const int64_t id : typed.ids) check_node_id(state, typed.name, id);
  }
}

}  // namespace quorvix
