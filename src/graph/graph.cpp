// The graph builder: appends tensors and operations, applying each
// operation's shape rule first so that a failed call changes nothing.
#include <algorithm>
#include <limits>
#include <optional>
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

// The product of the dimensions; nothing when it does not fit in 64 bits.
std::optional<std::uint64_t> element_count(const Shape& shape) {
  std::uint64_t count = 1;
  for (const std::uint64_t dimension : shape) {
    if (dimension != 0 && count > std::numeric_limits<std::uint64_t>::max() / dimension) {
      return std::nullopt;
    }
    count *= dimension;
  }
  return count;
}

// numpy's rule: aligned from the right, each source dimension 1 or equal.
bool broadcasts_to(const Shape& source, const Shape& target) {
  if (source.size() > target.size()) {
    return false;
  }
  const std::size_t offset = target.size() - source.size();
  for (std::size_t axis = 0; axis < source.size(); ++axis) {
    if (source[axis] != 1 && source[axis] != target[offset + axis]) {
      return false;
    }
  }
  return true;
}

// An operation whose output has its single input's shape.
Result<TensorId> unary(Graph& graph, std::string_view name, OpKind kind, TensorId input) {
  if (!names_tensor(graph, input)) {
    return unknown_input(name);
  }
  Shape shape = graph.tensors[input.index].shape;
  return graph.op(name, std::move(kind), {input}, std::move(shape));
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
  return unary(*this, name, LayerNorm{epsilon}, input);
}

Result<TensorId> Graph::gelu(std::string_view name, TensorId input) { return unary(*this, name, Gelu{}, input); }

Result<TensorId> Graph::mul(std::string_view name, TensorId left, TensorId right) {
  return binary(name, Mul{}, left, right);
}

Result<TensorId> Graph::sub(std::string_view name, TensorId left, TensorId right) {
  return binary(name, Sub{}, left, right);
}

Result<TensorId> Graph::div(std::string_view name, TensorId left, TensorId right) {
  return binary(name, Div{}, left, right);
}

Result<TensorId> Graph::reshape(std::string_view name, TensorId input, Shape shape) {
  if (!names_tensor(*this, input)) {
    return unknown_input(name);
  }
  const Shape& source = tensors[input.index].shape;
  const std::optional<std::uint64_t> from = element_count(source);
  if (!from || from != element_count(shape)) {
    return std::unexpected(CompileError::graph(
        fmt::format("{}: cannot reshape {} to {}", name, detail::shape_text(source), detail::shape_text(shape))));
  }
  return op(name, Reshape{shape}, {input}, shape);
}

Result<TensorId> Graph::broadcast(std::string_view name, TensorId input, Shape shape) {
  if (!names_tensor(*this, input)) {
    return unknown_input(name);
  }
  const Shape& source = tensors[input.index].shape;
  if (!broadcasts_to(source, shape)) {
    return std::unexpected(CompileError::graph(
        fmt::format("{}: cannot broadcast {} to {}", name, detail::shape_text(source), detail::shape_text(shape))));
  }
  return op(name, Broadcast{shape}, {input}, shape);
}

Result<TensorId> Graph::batch_matmul(std::string_view name, TensorId left, TensorId right) {
  if (!names_tensor(*this, left) || !names_tensor(*this, right)) {
    return unknown_input(name);
  }
  const Shape& a = tensors[left.index].shape;
  const Shape& b = tensors[right.index].shape;
  const std::size_t rank = a.size();
  if (rank < 2 || b.size() != rank || !std::equal(a.begin(), a.end() - 2, b.begin()) ||
      a[rank - 1] != b[rank - 2]) {
    return std::unexpected(CompileError::graph(fmt::format("{}: incompatible batch matmul {} x {}", name,
                                                           detail::shape_text(a), detail::shape_text(b))));
  }
  Shape output_shape = a;
  output_shape[rank - 1] = b[rank - 1];
  return op(name, BatchMatMul{}, {left, right}, std::move(output_shape));
}

Result<TensorId> Graph::slice(std::string_view name, TensorId input, std::uint64_t axis, std::uint64_t start,
                              std::uint64_t end) {
  if (!names_tensor(*this, input)) {
    return unknown_input(name);
  }
  Shape shape = tensors[input.index].shape;
  if (axis >= shape.size() || start >= end || end > shape[axis]) {
    return std::unexpected(CompileError::graph(fmt::format("{}: slice out of range", name)));
  }
  shape[axis] = end - start;
  return op(name, Slice{axis, start, end}, {input}, std::move(shape));
}

Result<TensorId> Graph::erf(std::string_view name, TensorId input) { return unary(*this, name, Erf{}, input); }

Result<TensorId> Graph::tanh(std::string_view name, TensorId input) { return unary(*this, name, Tanh{}, input); }

Result<TensorId> Graph::sqrt(std::string_view name, TensorId input) { return unary(*this, name, Sqrt{}, input); }

Result<TensorId> Graph::reduce_mean(std::string_view name, TensorId input) {
  if (!names_tensor(*this, input)) {
    return unknown_input(name);
  }
  Shape shape = tensors[input.index].shape;
  if (shape.empty()) {
    return std::unexpected(CompileError::graph(fmt::format("{}: reduce_mean of a scalar", name)));
  }
  shape.back() = 1;
  return op(name, ReduceMean{}, {input}, std::move(shape));
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
  void operator()(const Sub&) const { out << "Sub"; }
  void operator()(const Div&) const { out << "Div"; }
  void operator()(const Broadcast& broadcast) const {
    out << "Broadcast { shape: ";
    detail::render_list(out, broadcast.shape);
    out << " }";
  }
  void operator()(const BatchMatMul&) const { out << "BatchMatMul"; }
  void operator()(const Slice& slice) const {
    out << "Slice { axis: " << slice.axis << ", start: " << slice.start << ", end: " << slice.end << " }";
  }
  void operator()(const Erf&) const { out << "Erf"; }
  void operator()(const Tanh&) const { out << "Tanh"; }
  void operator()(const Sqrt&) const { out << "Sqrt"; }
  void operator()(const ReduceMean&) const { out << "ReduceMean"; }
};

}  // namespace

std::ostream& operator<<(std::ostream& out, const OpKind& kind) {
  std::visit(OpKindRenderer{out}, kind);
  return out;
}

}  // namespace orvo_compiler
