// Registration of quorvix.NodeRecorder: the distributed sampler's record of the nodes a call reached.
#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>

#include "graph/array_dict.hpp"
#include "graph/native_int64.hpp"
#include "module/bindings.hpp"
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
