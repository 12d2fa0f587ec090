// The module's subgraph builders, induced_edges and reverse_edges: convert, release the lock, forward.
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "graph/array_dict.hpp"
#include "graph/native_int64.hpp"
#include "module/bindings.hpp"
#include "sampling/induced.hpp"
#include "sampling/neighbor_sampler.hpp"
#include "sampling/reverse_edges.hpp"
#include "graph/without_gil.hpp"

namespace quorvix {

namespace py = pybind11;

namespace {

// The int64 arrays of one call, kept alive while the core reads them.
class Arrays {
 public:
  Int64Span view(const py::array& array, const char* name) {
    validate_array(array, std::string("'") + name + "'", 1, true);
    kept_.push_back(native_int64(array));
    return span_of(kept_.back());
  }
  Int64Span optional(const py::object& array, const char* name) {
    return array.is_none() ? Int64Span{} : view(py::array(array), name);
  }

 private:
  std::vector<NativeInt64Array> kept_;
};

// The array takes the vector over without a copy; a capsule frees it with the array.
py::array_t<int64_t> to_array(std::vector<int64_t>&& values) {
  if (values.empty()) return py::array_t<int64_t>(0);
  auto* owned = new std::vector<int64_t>(std::move(values));
  const py::capsule owner(owned, [](void* vector) { delete static_cast<std::vector<int64_t>*>(vector); });
  return py::array_t<int64_t>(static_cast<py::ssize_t>(owned->size()), owned->data(), owner);
}

py::tuple to_tuple(SubgraphEdges&& edges) {
  return py::make_tuple(to_array(std::move(edges.row)), to_array(std::move(edges.col)),
                        to_array(std::move(edges.e_id)), to_array(std::move(edges.hop_counts)));
}

using EdgeArrays = std::tuple<py::array, py::array, py::array, py::array>;

LocalEdges local_edges(Arrays& arrays, const EdgeArrays& edges) {
  return LocalEdges{arrays.view(std::get<0>(edges), "row"), arrays.view(std::get<1>(edges), "col"),
                    arrays.view(std::get<2>(edges), "e_id"), arrays.view(std::get<3>(edges), "hop_counts")};
}

// The sampler whose threads a builder runs on.
NeighborSampler& threads_of(const char* function, const py::object& sampler) {
  if (!py::isinstance<NeighborSampler>(sampler)) {
    throw py::type_error(std::string(function) + ": 'sampler' must be a NeighborSampler or None.");
  }
  auto& threads = sampler.cast<NeighborSampler&>();
  require_constructed(threads);
  return threads;
}

}  // namespace

void bind_subgraphs(py::module_& module) {
  module.def(
      "induced_edges",
      [](const py::array& colptr, const py::array& row, const py::array& perm, const py::object& edge_time,
         int64_t num_src_nodes, const py::array& src_node, const py::array& src_batch, const py::array& src_hop_counts,
         const py::array& dst_node, const py::array& dst_batch, const py::array& dst_hop_counts,
         const py::array& group_time, int64_t num_hops, const py::object& sampler) {
        Arrays arrays;
        const CscView csc{arrays.view(colptr, "colptr"), arrays.view(row, "row"), arrays.view(perm, "perm"),
                          arrays.optional(edge_time, "edge_time")};
        const SampledNodes src{arrays.view(src_node, "src_node"), arrays.view(src_batch, "src_batch"),
                               arrays.view(src_hop_counts, "src_hop_counts")};
        const SampledNodes dst{arrays.view(dst_node, "dst_node"), arrays.view(dst_batch, "dst_batch"),
                               arrays.view(dst_hop_counts, "dst_hop_counts")};
        const Int64Span bound = arrays.view(group_time, "group_time");
        SubgraphEdges edges;
        if (sampler.is_none()) {
          without_gil([&] { edges = induced_edges(csc, num_src_nodes, src, dst, bound, num_hops); });
          return to_tuple(std::move(edges));
        }
        edges = threads_of("induced_edges", sampler).induced_edges(csc, num_src_nodes, src, dst, bound, num_hops);
        return to_tuple(std::move(edges));
      },
      py::arg("colptr"), py::arg("row"), py::arg("perm"), py::arg("edge_time"), py::arg("num_src_nodes"),
      py::arg("src_node"), py::arg("src_batch"), py::arg("src_hop_counts"), py::arg("dst_node"),
      py::arg("dst_batch"), py::arg("dst_hop_counts"), py::arg("group_time"), py::arg("num_hops"),
      py::kw_only(), py::arg("sampler") = py::none(),
      "Every edge of one edge type (CSC ``colptr``, ``row``, ``perm``, ``edge_time`` or None) between\n"
      "two sampled nodes of one subgraph, no later than the subgraph's time ``group_time[batch]``\n"
      "(empty: no bound) when the type has edge times. Returns ``(row, col, e_id, hop_counts)``:\n"
      "local ends, edge ids and edges per hop; an edge's hop is the later of its ends' hops less one.\n"
      "``sampler``: a NeighborSampler whose threads read a large subgraph's runs (one call at a time,\n"
      "as for sample); the edges do not depend on it.");
  module.def(
      "reverse_edges",
      [](const py::array& colptr, const py::array& row, const py::array& perm, const py::object& edge_time,
         const py::object& index_row, const py::object& index_position, const py::array& row_node,
         const py::array& row_batch, const py::array& col_node, const EdgeArrays& target,
         const std::vector<std::tuple<py::array, py::array, py::array, py::array, bool>>& sources,
         const py::array& group_time, const py::object& source_index, bool by_destination,
         const py::object& sampler) {
        Arrays arrays;
        const CscView csc{arrays.view(colptr, "colptr"), arrays.view(row, "row"), arrays.view(perm, "perm"),
                          arrays.optional(edge_time, "edge_time")};
        const Int64Span index{arrays.optional(index_row, "index_row")};
        const Int64Span positions{arrays.optional(index_position, "index_position")};
        const Int64Span rows{arrays.view(row_node, "row_node")}, batch{arrays.view(row_batch, "row_batch")};
        const Int64Span cols{arrays.view(col_node, "col_node")};
        const LocalEdges sampled = local_edges(arrays, target);
        std::vector<ReverseSource> reversed;
        for (const auto& source : sources) {
          const EdgeArrays edges{std::get<0>(source), std::get<1>(source), std::get<2>(source), std::get<3>(source)};
          reversed.push_back(ReverseSource{local_edges(arrays, edges), std::get<4>(source), {}, {}});
        }
        if (!source_index.is_none()) {
          const auto indices = source_index.cast<std::vector<py::object>>();
          if (indices.size() != reversed.size()) {
            throw py::value_error("reverse_edges: 'source_index' and 'sources' differ in length.");
          }
          for (std::size_t s = 0; s < indices.size(); ++s) {
            if (indices[s].is_none()) continue;
            const auto pair = indices[s].cast<std::pair<py::array, py::array>>();
            reversed[s].position = arrays.view(pair.first, "position");
            reversed[s].reverse_position = arrays.view(pair.second, "reverse_position");
          }
        }
        const Int64Span bound = arrays.view(group_time, "group_time");
        SubgraphEdges edges;
        if (sampler.is_none()) {
          without_gil([&] {
            edges = reverse_edges(csc, index, positions, rows, batch, cols, sampled, reversed, bound, by_destination);
          });
          return to_tuple(std::move(edges));
        }
        edges = threads_of("reverse_edges", sampler)
                    .reverse_edges(csc, index, positions, rows, batch, cols, sampled, reversed, bound, by_destination);
        return to_tuple(std::move(edges));
      },
      py::arg("colptr"), py::arg("row"), py::arg("perm"), py::arg("edge_time"), py::arg("index_row"),
      py::arg("index_position"), py::arg("row_node"), py::arg("row_batch"), py::arg("col_node"), py::arg("target"),
      py::arg("sources"), py::arg("group_time"), py::arg("source_index") = py::none(),
      py::arg("by_destination") = false, py::kw_only(), py::arg("sampler") = py::none(),
      "The sampled edges ``target = (row, col, e_id, hop_counts)`` of one edge type R -> C plus, per hop,\n"
      "reverse copies of the ``sources`` (``(row, col, e_id, hop_counts, same_type)``, sampled edges\n"
      "C -> R) so that each pair is joined at least as often as any source joins it the other way.\n"
      "A copy takes the id of the graph's earliest edge between its ends (no later than\n"
      "``group_time[batch]`` when the type has edge times; found through ``index_row`` and\n"
      "``index_position`` on long runs when given), else the sampled edge's id for a\n"
      "``same_type`` source, else it is left out. ``source_index``, one ``(position, reverse_position)``\n"
      "or None per source: the sampled edges' CSC positions in the source type, and per position of\n"
      "that type the target's CSC position of the earliest edge joining its ends the other way (-1:\n"
      "none); the copies' edges are then read there instead of searched for. ``by_destination``: the\n"
      "edges sorted by ``col``, then ``row`` (equal pairs in hop order), instead of by hop; the counts\n"
      "per hop stay. ``sampler``: a NeighborSampler whose threads walk many columns (one call at a\n"
      "time, as for sample); the edges do not depend on it. Returns ``(row, col, e_id, hop_counts)``.");
}

}  // namespace quorvix
