// Registration of quorvix.NodeRecorder: the distributed sampler's record of the nodes a call reached.
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include <pybind11/numpy.h>

#include "graph/array_dict.hpp"
#include "graph/native_int64.hpp"
#include "module/bindings.hpp"
#include "sampling/answer_merge.hpp"
#include "sampling/node_recorder.hpp"

namespace quorvix {

namespace py = pybind11;

namespace {

// Two aligned int64 arrays of the caller's, viewed; they differ in length only by mistake.
struct Pairs {
  NativeInt64Array batch, node;
  Pairs(const py::array& batch_array, const py::array& node_array) {
    validate_array(batch_array, "'batch'", 1, true);
    validate_array(node_array, "'node'", 1, true);
    batch = native_int64(batch_array);
    node = native_int64(node_array);
    if (batch.size() != node.size()) throw py::value_error("'batch' and 'node' differ in length.");
  }
};

// The values [begin, end) as a new array; end -1 is the end.
py::array_t<int64_t> slice(const std::vector<int64_t>& values, int64_t begin, int64_t end) {
  const auto size = static_cast<int64_t>(values.size());
  if (end < 0) end = size;
  if (begin < 0 || begin > end || end > size) {
    throw py::index_error("[" + std::to_string(begin) + ", " + std::to_string(end) + ") is not within [0, " +
                          std::to_string(size) + "].");
  }
  return py::array_t<int64_t>(static_cast<py::ssize_t>(end - begin), values.data() + begin);
}

// The owners' answers of one edge type, merged in frontier order and recorded in `neighbours`.
std::tuple<py::array_t<int64_t>, py::array_t<int64_t>, py::array_t<int64_t>> record_answers(
    NodeRecorder& neighbours, const py::array& frontier_batch, int64_t frontier_begin, const py::list& answers) {
  std::vector<NativeInt64Array> kept;
  std::vector<OwnerAnswer> viewed;
  kept.reserve(4 * answers.size() + 1);
  const auto view = [&kept](const py::handle& array) {
    kept.push_back(native_int64(py::array(py::reinterpret_borrow<py::object>(array))));
    return span_of(kept.back());
  };
  const Int64Span batch = view(frontier_batch);
  for (const py::handle& answer : answers) {
    const py::tuple parts = py::reinterpret_borrow<py::tuple>(answer);
    if (parts.size() != 4) throw py::value_error("An answer is (entries, counts, neighbour, edge).");
    viewed.push_back(OwnerAnswer{view(parts[0]), view(parts[1]), view(parts[2]), view(parts[3])});
  }
  MergedEdges merged = merge_answers(viewed, batch, frontier_begin, neighbours);
  return {merged.row.into_array(), merged.col.into_array(), merged.edge.into_array()};
}

}  // namespace

void bind_node_recorder(py::module_& module) {
  py::class_<NodeRecorder> cls(module, "NodeRecorder");
  cls.doc() =
      "The (subgraph, node id) pairs of one node type a call reached, in local-index order, each found\n"
      "again in constant time: what a sampler that expands hops elsewhere records them in.";
  cls.def(py::init<>())
      .def(
          "add_seeds",
          [](NodeRecorder& recorder, const py::array& batch, const py::array& node) {
            const Pairs pairs(batch, node);
            recorder.add_seeds(span_of(pairs.batch), span_of(pairs.node));
          },
          py::arg("batch"), py::arg("node"),
          "Appends the seeds: each takes its own local index; a seed repeated in its subgraph is found\n"
          "at its first copy.")
      .def(
          "record",
          [](NodeRecorder& recorder, const py::array& batch, const py::array& node) {
            const Pairs pairs(batch, node);
            py::array_t<int64_t> local(static_cast<py::ssize_t>(pairs.node.size()));
            recorder.record(span_of(pairs.batch), span_of(pairs.node), local.mutable_data());
            return local;
          },
          py::arg("batch"), py::arg("node"),
          "The local index of each (batch[i], node[i]), appending the pairs not recorded before in the\n"
          "order they first occur.")
      .def("record_answers", &record_answers, py::arg("frontier_batch"), py::arg("frontier_begin"),
           py::arg("answers"),
           "The owners' answers for one edge type's frontier (subgraphs frontier_batch, first local index\n"
           "frontier_begin), each (entries, counts, neighbour, edge) with its entries ascending, merged in\n"
           "entry order: (row, col, edge), the neighbours recorded here in that order.")
      .def(
          "nodes",
          [](const NodeRecorder& recorder, int64_t begin, int64_t end) {
            return slice(recorder.nodes(), begin, end);
          },
          py::arg("begin") = 0, py::arg("end") = -1, "The node ids of local indices [begin, end) (end -1: all).")
      .def(
          "batches",
          [](const NodeRecorder& recorder, int64_t begin, int64_t end) {
            return slice(recorder.batches(), begin, end);
          },
          py::arg("begin") = 0, py::arg("end") = -1, "The subgraphs of local indices [begin, end) (end -1: all).")
      .def("__len__", [](const NodeRecorder& recorder) { return recorder.nodes().size(); });
}

}  // namespace quorvix
