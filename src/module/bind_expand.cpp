// Registration of quorvix.GivenRuns: one edge type's runs for the frontier nodes a part owns, expanded
// for frontier nodes given by the caller (the distributed sampler's owners answer requests with it).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "graph/array_dict.hpp"
#include "graph/int64_list.hpp"
#include "graph/native_int64.hpp"
#include "graph/sampler_options.hpp"
#include "module/bindings.hpp"
#include "sampling/expand_given.hpp"

namespace quorvix {

namespace py = pybind11;

namespace {

using NativeFloat64Array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using NativeUint64Array = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>;

// The runs with the arrays they view, kept alive together; the weights' search structures are built once.
struct OwnedRuns {
  NativeInt64Array colptr;
  NativeInt64Array row;
  std::optional<NativeInt64Array> time;
  std::optional<NativeFloat64Array> weight;
  std::optional<NativeInt64Array> edge_id;
  std::unique_ptr<EdgeWeights> weights;
  GivenRuns runs;
};

std::shared_ptr<OwnedRuns> make_runs(std::string key, std::string frontier_type, std::string neighbour_type,
                                     const py::array& colptr, const py::array& row, const py::object& time,
                                     const py::object& weight, const py::object& neighbour_count,
                                     const py::object& edge_id, int64_t num_parts, int64_t part,
                                     const py::object& node_count) {
  if (num_parts < 1 || part < 0 || part >= num_parts) {
    throw std::invalid_argument("'part' is not one of 'num_parts' parts.");
  }
  auto owned = std::make_shared<OwnedRuns>();
  owned->colptr = native_int64(colptr);
  owned->row = native_int64(row);
  GivenRuns& runs = owned->runs;
  runs.key = std::move(key);
  runs.frontier_type = std::move(frontier_type);
  runs.neighbour_type = std::move(neighbour_type);
  runs.colptr = span_of(owned->colptr);
  runs.row = span_of(owned->row);
  if (!time.is_none()) {
    owned->time = native_int64(py::array(time));
    runs.time = span_of(*owned->time);
    if (runs.time.size != runs.row.size) throw std::runtime_error("'time' and 'row' differ in length.");
  }
  if (!weight.is_none()) {
    owned->weight = NativeFloat64Array::ensure(weight);
    if (!*owned->weight) throw py::error_already_set();
    if (owned->weight->size() != runs.row.size) throw std::runtime_error("'weight' and 'row' differ in length.");
    owned->weights = std::make_unique<EdgeWeights>();
    owned->weights->weight = owned->weight->data();
    owned->weights->size = static_cast<int64_t>(owned->weight->size());
    index_weights(*owned->weights, runs.colptr);
    runs.weights = owned->weights.get();
  }
  if (!edge_id.is_none()) {
    owned->edge_id = native_int64(py::array(edge_id));
    runs.edge_id = span_of(*owned->edge_id);
    if (runs.edge_id.size != runs.row.size) throw std::runtime_error("'edge_id' and 'row' differ in length.");
  }
  runs.num_parts = num_parts;
  runs.part = part;
  if (!node_count.is_none()) runs.frontier_bound = static_cast<uint64_t>(to_int64(node_count));
  if (!neighbour_count.is_none()) runs.neighbour_bound = static_cast<uint64_t>(to_int64(neighbour_count));
  return owned;
}

std::tuple<py::array_t<int64_t>, py::array_t<int64_t>, py::array_t<int64_t>> expand(
    const OwnedRuns& owned, const py::array& nodes, const py::array& seed_time, const py::array& draw_key,
    const py::object& draw_stream, const py::object& fan_out, const py::object& window, bool temporal, const py::object& temporal_strategy,
    bool replace) {
  const NativeInt64Array node_array = native_int64(nodes);
  const NativeInt64Array time_array = native_int64(seed_time);
  const NativeUint64Array key_array = NativeUint64Array::ensure(draw_key);
  if (!key_array) throw py::error_already_set();
  GivenFrontier frontier{span_of(node_array), span_of(time_array), key_array.data(),
                         draw_stream.cast<uint64_t>()};
  if (temporal && frontier.seed_times.size != frontier.nodes.size) {
    throw std::runtime_error("'seed_time' and 'nodes' differ in length.");
  }
  HopPlan plan;
  plan.temporal = temporal;
  plan.strategy = temporal_strategy_from(temporal_strategy);
  if (!fan_out.is_none()) {
    plan.rule.kind = HopRule::Kind::kFanOut;
    plan.rule.fan_out = to_int64(fan_out);
  } else if (!window.is_none()) {
    const py::tuple bounds(window);
    plan.rule.kind = HopRule::Kind::kTimeWindow;
    plan.rule.offsets.has_lower = !bounds[0].is_none();
    if (plan.rule.offsets.has_lower) plan.rule.offsets.lower = to_int64(bounds[0]);
    plan.rule.offsets.upper = to_int64(bounds[1]);
  }
  // Only a rule that draws reads the keys, so the others may go without.
  if (plan.draws() && key_array.size() != 2 * frontier.nodes.size) {
    throw std::runtime_error("'draw_key' does not hold two words per entry of 'nodes'.");
  }
  ExpandedRuns expanded;
  {
    const py::gil_scoped_release released;
    expanded = expand_given(owned.runs, frontier, plan, replace);
  }
  return {expanded.counts.into_array(), expanded.neighbour.into_array(), expanded.edge.into_array()};
}

}  // namespace

void bind_expand(py::module_& module) {
  py::class_<OwnedRuns, std::shared_ptr<OwnedRuns>> cls(module, "GivenRuns");
  cls.doc() =
      "One edge type's CSC runs for the frontier nodes a part owns (colptr indexed by the part's node\n"
      "index, row holding global neighbour ids), with the times windows read (one per row position),\n"
      "optional weights and optional edge ids (one per row position). Part `part` of `num_parts` owns\n"
      "the frontier ids id % num_parts == part (below node_count when given), at index id // num_parts.\n"
      "expand() runs one hop's rule for frontier nodes the caller gives.";
  cls.def(py::init(&make_runs), py::arg("key"), py::arg("frontier_type"), py::arg("neighbour_type"),
          py::arg("colptr"), py::arg("row"), py::kw_only(), py::arg("time") = py::none(),
          py::arg("weight") = py::none(), py::arg("neighbour_count") = py::none(), py::arg("edge_id") = py::none(),
          py::arg("num_parts") = 1, py::arg("part") = 0, py::arg("node_count") = py::none())
      .def("expand", &expand, py::arg("nodes"), py::arg("seed_time"), py::arg("draw_key"), py::kw_only(),
           py::arg("draw_stream") = 0, py::arg("fan_out") = py::none(), py::arg("window") = py::none(), py::arg("temporal") = false,
           py::arg("temporal_strategy") = "last", py::arg("replace") = false,
           "Expands the frontier ids `nodes`, each owned by the part (entry i with seed time seed_time[i]\n"
           "when `temporal`), by a fan-out or a window (lower or None, upper), as one hop of a sample call\n"
           "does. A rule that draws reads entry i's own Philox4x64-10 stream, keyed (draw_stream, draw_key[i, 0]) with counter\n"
           "(block, draw_key[i, 1], 0, 0) for blocks 1, 2, ... (draw_key is (n, 2) uint64: node id and\n"
           "subgraph; it may be empty for other rules). Returns (counts, neighbour, edge): the edges each entry\n"
           "took, then per sampled edge, in entry order, the neighbour id and the row position (the edge_id\n"
           "given for it, when the runs were given edge ids).");
}

}  // namespace quorvix
