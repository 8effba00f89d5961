// Bindings of graph.hpp: ids, enums, tensors, the operation kinds as small
// classes, operations, and the Graph with every builder call.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <pybind11/operators.h>

#include "bindings.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

// An id class: constructed from its index, compared, hashed and ordered as
// the index, shown as the library shows it (`TensorId(7)`).
template <class Id>
void bind_id(py::module_& module, const char* name, const char* doc) {
  py::class_<Id>(module, name, doc)
      .def(py::init([](std::uint64_t index) { return Id{index}; }), "index"_a, "The id of position `index`.")
      .def_property_readonly(
          "index", [](const Id& id) { return id.index; }, "The position in the graph's list.")
      .def(py::self == py::self)
      .def(py::self != py::self)
      .def(py::self < py::self)
      .def(py::self <= py::self)
      .def(py::self > py::self)
      .def(py::self >= py::self)
      .def("__hash__", [](const Id& id) { return py::hash(py::int_(id.index)); })
      .def("__repr__", &debug_text<Id>);
}

// The constructor of a kind with fields: each field a keyword, in order,
// whose default is the field's C++ default (`Slice(axis=0, start=0, end=0)`).
template <class Kind, std::size_t... Index>
void def_kind_init(py::class_<Kind>& type, std::index_sequence<Index...> /*fields*/) {
  using Fields = decltype(op_kind_fields<Kind>());
  type.def(py::init([](typename std::tuple_element_t<Index, Fields>::value_type... values) {
             Kind kind{};
             ((kind.*std::get<Index>(Kind::fields).member = std::move(values)), ...);
             return kind;
           }),
           (py::arg(std::get<Index>(Kind::fields).name) = Kind{}.*std::get<Index>(Kind::fields).member)...,
           record_init_doc);
}

// Every operation kind as a class named as in C++, from the kind's own
// description: its fields as constructor keywords and read-write attributes,
// equality, and the library's rendering as repr (`Transpose { permutation: [1, 0] }`).
void bind_kinds(py::module_& module) {
  for_each_op_kind([&module]<class Kind>(std::type_identity<Kind> /*kind*/) {
    py::class_<Kind> type(module, Kind::info.type_name, Kind::info.doc);
    type.def(py::self == py::self).def(py::self != py::self).def("__repr__", [](const Kind& kind) {
      return debug_text(OpKind{kind});
    });
    if constexpr (detail::field_count<Kind> == 0) {
      type.def(py::init<>(), plain_kind_doc);
    } else {
      def_kind_init(type, std::make_index_sequence<detail::field_count<Kind>>{});
    }
    for_each_field<Kind>([&type](const auto& field) { def_field(type, field.name, field.member, field.doc); });
  });
}

void bind_tensor(py::module_& module) {
  NamedRecord<Tensor> tensor(module, "Tensor", "A tensor of a graph (a copy: changing it leaves the graph alone).");
  tensor.type().def(py::init([](TensorId id, std::string name, DType dtype, Shape shape, TensorKind kind,
                                std::optional<OpId> producer) {
                      return Tensor{id, std::move(name), dtype, std::move(shape), kind, producer};
                    }),
                    "id"_a = TensorId{}, "name"_a = "", "dtype"_a = DType::F32, "shape"_a = Shape{},
                    "kind"_a = TensorKind::Input, "producer"_a = std::nullopt, record_init_doc);
  tensor.field("id", &Tensor::id, "Its position in Graph.tensors.")
      .field("name", &Tensor::name, "Its name.")
      .field("dtype", &Tensor::dtype, "Its element type.")
      .field("shape", &Tensor::shape, "Its dimensions.")
      .field("kind", &Tensor::kind, "Input, Weight, Intermediate or Output.")
      .field("producer", &Tensor::producer, "The operation that writes it, or None.");
  tensor.type().def("elements", &Tensor::elements, "The product of the dimensions (1 for an empty shape).");
}

void bind_op(py::module_& module) {
  NamedRecord<Op> op(module, "Op", "An operation of a graph (a copy: changing it leaves the graph alone).");
  op.type().def(py::init([](OpId id, std::string name, OpKind kind, std::vector<TensorId> inputs, TensorId output) {
                  return Op{id, std::move(name), std::move(kind), std::move(inputs), output};
                }),
                "id"_a = OpId{}, "name"_a = "", "kind"_a = OpKind{MatMul{}}, "inputs"_a = std::vector<TensorId>{},
                "output"_a = TensorId{}, record_init_doc);
  op.field("id", &Op::id, "Its position in Graph.ops.")
      .field("name", &Op::name, "Its name, also that of its output tensor.")
      .field("kind", &Op::kind, "What it computes: MatMul(), Transpose(permutation=[1, 0]), ...")
      .field("inputs", &Op::inputs, "The tensors it reads, in order.")
      .field("output", &Op::output, "The tensor it writes.");
}

// Builder calls of one shape, each raising CompileError where C++ returns an error.
using UnaryBuilder = Result<TensorId> (Graph::*)(std::string_view, TensorId);
using BinaryBuilder = Result<TensorId> (Graph::*)(std::string_view, TensorId, TensorId);
using ShapeBuilder = Result<TensorId> (Graph::*)(std::string_view, TensorId, Shape);

template <UnaryBuilder builder>
TensorId build_unary(Graph& graph, std::string_view name, TensorId input) {
  return value_or_raise((graph.*builder)(name, input));
}

template <BinaryBuilder builder>
TensorId build_binary(Graph& graph, std::string_view name, TensorId left, TensorId right) {
  return value_or_raise((graph.*builder)(name, left, right));
}

template <ShapeBuilder builder>
TensorId build_shaped(Graph& graph, std::string_view name, TensorId input, Shape shape) {
  return value_or_raise((graph.*builder)(name, input, std::move(shape)));
}

void bind_sources(py::class_<Graph>& graph) {
  graph
      .def("tensor", &Graph::tensor, "name"_a, "shape"_a, "kind"_a, "producer"_a = std::nullopt,
           "Appends a tensor and returns its id; checks nothing (validate does).")
      .def(
          "input",
          [](Graph& self, std::string_view name, Shape shape, DType dtype) {
            return self.input(name, std::move(shape), dtype);
          },
          "name"_a, "shape"_a, "dtype"_a = DType::F32, "Appends an input tensor and returns its id.")
      .def(
          "weight",
          [](Graph& self, std::string_view name, Shape shape, DType dtype) {
            return self.weight(name, std::move(shape), dtype);
          },
          "name"_a, "shape"_a, "dtype"_a = DType::F32, "Appends a weight tensor and returns its id.")
      .def(
          "op",
          [](Graph& self, std::string_view name, OpKind kind, std::vector<TensorId> inputs, Shape shape) {
            return value_or_raise(self.op(name, std::move(kind), std::move(inputs), std::move(shape)));
          },
          "name"_a, "kind"_a, "inputs"_a, "shape"_a,
          "Appends an operation and its output tensor (named after it) of the given shape; "
          "CompileError '{name}: unknown input' when an input names no tensor.")
      .def(
          "binary",
          [](Graph& self, std::string_view name, OpKind kind, TensorId left, TensorId right) {
            return value_or_raise(self.binary(name, std::move(kind), left, right));
          },
          "name"_a, "kind"_a, "left"_a, "right"_a, "An element-wise operation of two tensors of identical shape.");
}

void bind_builders(py::class_<Graph>& graph) {
  graph.def("add", &build_binary<&Graph::add>, "name"_a, "left"_a, "right"_a, "Element-wise sum of equal shapes.")
      .def("matmul", &build_binary<&Graph::matmul>, "name"_a, "left"_a, "right"_a,
           "Rank-2 product: [a0, a1] x [a1, b1] gives [a0, b1].")
      .def("mul", &build_binary<&Graph::mul>, "name"_a, "left"_a, "right"_a, "Element-wise product of equal shapes.")
      .def("sub", &build_binary<&Graph::sub>, "name"_a, "left"_a, "right"_a, "Element-wise difference of equal shapes.")
      .def("div", &build_binary<&Graph::div>, "name"_a, "left"_a, "right"_a, "Element-wise quotient of equal shapes.")
      .def("batch_matmul", &build_binary<&Graph::batch_matmul>, "name"_a, "left"_a, "right"_a,
           "[..., m, k] x [..., k, n] gives [..., m, n] for equal ranks of at least 2 and equal leading axes.")
      .def(
          "transpose",
          [](Graph& self, std::string_view name, TensorId input, std::vector<std::uint64_t> permutation) {
            return value_or_raise(self.transpose(name, input, std::move(permutation)));
          },
          "name"_a, "input"_a, "permutation"_a, "Output axis i is input axis permutation[i].")
      .def(
          "softmax",
          [](Graph& self, std::string_view name, TensorId input, std::uint64_t axis) {
            return value_or_raise(self.softmax(name, input, axis));
          },
          "name"_a, "input"_a, "axis"_a, "Softmax along `axis`.")
      .def(
          "layer_norm",
          [](Graph& self, std::string_view name, TensorId input, float epsilon) {
            return value_or_raise(self.layer_norm(name, input, epsilon));
          },
          "name"_a, "input"_a, "epsilon"_a, "Each row normalised; `epsilon` is rounded to float32.")
      .def("gelu", &build_unary<&Graph::gelu>, "name"_a, "input"_a, "GELU (tanh form), element-wise.")
      .def("erf", &build_unary<&Graph::erf>, "name"_a, "input"_a, "erf, element-wise.")
      .def("tanh", &build_unary<&Graph::tanh>, "name"_a, "input"_a, "tanh, element-wise.")
      .def("sqrt", &build_unary<&Graph::sqrt>, "name"_a, "input"_a, "Square root, element-wise.")
      .def("reduce_mean", &build_unary<&Graph::reduce_mean>, "name"_a, "input"_a,
           "The mean over the last axis, which the output keeps with size 1.")
      .def("reshape", &build_shaped<&Graph::reshape>, "name"_a, "input"_a, "shape"_a,
           "The same elements in row-major order under `shape` (equal element counts).")
      .def("broadcast", &build_shaped<&Graph::broadcast>, "name"_a, "input"_a, "shape"_a,
           "The input copied to `shape` by numpy's broadcasting rules.")
      .def(
          "slice",
          [](Graph& self, std::string_view name, TensorId input, std::uint64_t axis, std::uint64_t start,
             std::uint64_t end) { return value_or_raise(self.slice(name, input, axis, start, end)); },
          "name"_a, "input"_a, "axis"_a, "start"_a, "end"_a, "Indices [start, end) of `axis`.");
}

void bind_graph_class(py::module_& module) {
  py::class_<Graph> graph(module, "Graph",
                          "A tensor dataflow graph, grown by the builder calls; a failed call raises "
                          "CompileError and changes nothing.");
  graph.def(py::init<>(), "An empty graph.");
  bind_sources(graph);
  bind_builders(graph);
  graph
      .def("mark_output", &Graph::mark_output, "tensor"_a,
           "Marks a tensor as a graph output (kind Output), repeats included.")
      .def(
          "validate", [](const Graph& self) { value_or_raise(self.validate()); },
          "Checks the structural invariants; raises CompileError for the first one broken.")
      .def_property_readonly(
          "tensors", [](const Graph& self) { return self.tensors; }, "Copies of the tensors, by id.")
      .def_property_readonly(
          "ops", [](const Graph& self) { return self.ops; }, "Copies of the operations, by id.")
      .def_property_readonly(
          "outputs", [](const Graph& self) { return self.outputs; }, "The output ids in marking order.")
      .def(py::self == py::self)
      .def(py::self != py::self)
      .def("__repr__", [](const Graph& self) {
        return fmt::format("Graph(tensors={}, ops={}, outputs={})", self.tensors.size(), self.ops.size(),
                           py::repr(py::cast(self.outputs)).cast<std::string>());
      });
  def_copies(graph, "A copy of the graph.");
}

}  // namespace

void bind_graph(py::module_& module) {
  bind_id<TensorId>(module, "TensorId", "The position of a tensor in Graph.tensors.");
  bind_id<OpId>(module, "OpId", "The position of an operation in Graph.ops.");
  bind_enum<DType>(module, "DType", "Element types.")
      .value("F32", DType::F32)
      .value("I64", DType::I64)
      .value("Bool", DType::Bool);
  bind_enum<TensorKind>(module, "TensorKind", "The role of a tensor.")
      .value("Input", TensorKind::Input)
      .value("Weight", TensorKind::Weight)
      .value("Intermediate", TensorKind::Intermediate)
      .value("Output", TensorKind::Output);
  module.def(
      "size", [](DType dtype) { return size(dtype); }, "dtype"_a, "Bytes of one element of `dtype`.");
  bind_kinds(module);
  bind_tensor(module);
  bind_op(module);
  bind_graph_class(module);
}

}  // namespace orvo_compiler::python
