// The graph builder: appends tensors and operations, applying each
// operation's shape rule first so that a failed call changes nothing.
#include <algorithm>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "orvo_compiler/graph.hpp"
#include "support/render.hpp"

namespace orvo_compiler {
namespace {

bool names_tensor(const Graph& graph, TensorId id) { return id.index < graph.tensors.size(); }

std::unexpected<CompileError> unknown_input(std::string_view name) {
  return std::unexpected(CompileError::graph(fmt::format("{}: unknown input", name)));
}

}  // namespace

std::uint64_t Tensor::elements() const {
  std::uint64_t count = 1;
  for (const std::uint64_t dimension : shape) {
    count *= dimension;
  }
  return count;
}

TensorId Graph::tensor(std::string_view name, Shape shape, TensorKind kind, std::optional<OpId> producer) {
  const TensorId id{tensors.size()};
  tensors.push_back(Tensor{id, std::string(name), DType::F32, std::move(shape), kind, producer});
  return id;
}

TensorId Graph::input(std::string_view name, Shape shape) {
  return tensor(name, std::move(shape), TensorKind::Input, std::nullopt);
}

TensorId Graph::weight(std::string_view name, Shape shape) {
  return tensor(name, std::move(shape), TensorKind::Weight, std::nullopt);
}

Result<TensorId> Graph::op(std::string_view name, OpKind kind, std::vector<TensorId> inputs, Shape shape) {
  if (!std::ranges::all_of(inputs, [this](TensorId id) { return names_tensor(*this, id); })) {
    return unknown_input(name);
  }
  const OpId id{ops.size()};
  const TensorId output = tensor(name, std::move(shape), TensorKind::Intermediate, id);
  ops.push_back(Op{id, std::string(name), std::move(kind), std::move(inputs), output});
  return output;
}

Result<TensorId> Graph::binary(std::string_view name, OpKind kind, TensorId left, TensorId right) {
  if (!names_tensor(*this, left) || !names_tensor(*this, right)) {
    return unknown_input(name);
  }
  Shape left_shape = tensors[left.index].shape;
  if (left_shape != tensors[right.index].shape) {
    return std::unexpected(CompileError::graph(fmt::format("{}: binary shapes differ", name)));
  }
  return op(name, std::move(kind), {left, right}, std::move(left_shape));
}

Result<TensorId> Graph::add(std::string_view name, TensorId left, TensorId right) {
  return binary(name, Add{}, left, right);
}

Result<TensorId> Graph::matmul(std::string_view name, TensorId left, TensorId right) {
  if (!names_tensor(*this, left) || !names_tensor(*this, right)) {
    return unknown_input(name);
  }
  const Shape& a = tensors[left.index].shape;
  const Shape& b = tensors[right.index].shape;
  if (a.size() != 2 || b.size() != 2 || a[1] != b[0]) {
    return std::unexpected(CompileError::graph(
        fmt::format("{}: incompatible matmul {} x {}", name, detail::shape_text(a), detail::shape_text(b))));
  }
  Shape output_shape{a[0], b[1]};
  return op(name, MatMul{}, {left, right}, std::move(output_shape));
}

Result<TensorId> Graph::transpose(std::string_view name, TensorId input, std::vector<std::uint64_t> permutation) {
  if (!names_tensor(*this, input)) {
    return unknown_input(name);
  }
  const Shape& source = tensors[input.index].shape;
  const std::size_t rank = source.size();
  const std::set<std::uint64_t> axes(permutation.begin(), permutation.end());
  if (permutation.size() != rank || axes.size() != rank ||
      std::ranges::any_of(permutation, [rank](std::uint64_t axis) { return axis >= rank; })) {
    return std::unexpected(CompileError::graph(fmt::format("{}: invalid transpose permutation", name)));
  }
  Shape output_shape;
  output_shape.reserve(rank);
  for (const std::uint64_t axis : permutation) {
    output_shape.push_back(source[axis]);
  }
  return op(name, Transpose{std::move(permutation)}, {input}, std::move(output_shape));
}

Result<TensorId> Graph::softmax(std::string_view name, TensorId input, std::uint64_t axis) {
  if (!names_tensor(*this, input)) {
    return unknown_input(name);
  }
  Shape shape = tensors[input.index].shape;
  if (axis >= shape.size()) {
    return std::unexpected(CompileError::graph(fmt::format("{}: softmax axis out of range", name)));
  }
  return op(name, Softmax{axis}, {input}, std::move(shape));
}

Result<TensorId> Graph::layer_norm(std::string_view name, TensorId input, float epsilon) {
  if (!names_tensor(*this, input)) {
    return unknown_input(name);
  }
  Shape shape = tensors[input.index].shape;
  return op(name, LayerNorm{epsilon}, {input}, std::move(shape));
}

Result<TensorId> Graph::gelu(std::string_view name, TensorId input) {
  if (!names_tensor(*this, input)) {
    return unknown_input(name);
  }
  Shape shape = tensors[input.index].shape;
  return op(name, Gelu{}, {input}, std::move(shape));
}

void Graph::mark_output(TensorId tensor) {
  if (names_tensor(*this, tensor)) {
    tensors[tensor.index].kind = TensorKind::Output;
  }
  outputs.push_back(tensor);
}

std::ostream& operator<<(std::ostream& out, TensorId id) { return out << "TensorId(" << id.index << ')'; }

std::ostream& operator<<(std::ostream& out, OpId id) { return out << "OpId(" << id.index << ')'; }

std::ostream& operator<<(std::ostream& out, DType dtype) {
  switch (dtype) {
    case DType::F32:
      return out << "F32";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, TensorKind kind) {
  switch (kind) {
    case TensorKind::Input:
      return out << "Input";
    case TensorKind::Weight:
      return out << "Weight";
    case TensorKind::Intermediate:
      return out << "Intermediate";
    case TensorKind::Output:
      return out << "Output";
  }
  return out;
}

namespace {

struct OpKindRenderer {
  std::ostream& out;

  void operator()(const MatMul&) const { out << "MatMul"; }
  void operator()(const Add&) const { out << "Add"; }
  void operator()(const Mul&) const { out << "Mul"; }
  void operator()(const Reshape& reshape) const {
    out << "Reshape { shape: ";
    detail::render_list(out, reshape.shape);
    out << " }";
  }
  void operator()(const Transpose& transpose) const {
    out << "Transpose { permutation: ";
    detail::render_list(out, transpose.permutation);
    out << " }";
  }
  void operator()(const LayerNorm& layer_norm) const { out << "LayerNorm { epsilon: " << layer_norm.epsilon << " }"; }
  void operator()(const Softmax& softmax) const { out << "Softmax { axis: " << softmax.axis << " }"; }
  void operator()(const Gelu&) const { out << "Gelu"; }
};

}  // namespace

std::ostream& operator<<(std::ostream& out, const OpKind& kind) {
  std::visit(OpKindRenderer{out}, kind);
  return out;
}

}  // namespace orvo_compiler
