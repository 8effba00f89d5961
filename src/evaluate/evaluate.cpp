// The host evaluator of any graph. Steps: validate the graph, check that each
// operation reads only sources and earlier outputs and that its shapes obey
// its kind's builder rule, check the given values, then run the operations in
// index order, one function per kind, and hand back the outputs.
//
// Values of inputs and weights are read where the caller keeps them, never
// copied. Each computed value lives from its operation to its last reader:
// the evaluator frees it then, or hands its buffer on to that reader when the
// reader writes a result of the same length element by element (in place).
// Matrix products run on the blocked kernel path, which gives the same bits as
// the plain loop; every other float step is the reference kernels' own, and
// this file is built without FMA contraction.
#include "orvo_compiler/evaluate.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "kernels/exact_math.hpp"
#include "kernels/kernels_dispatch.hpp"
#include "orvo_compiler/kernels.hpp"

namespace orvo_compiler {
namespace {

using Values = std::vector<float>;
using Strides = std::vector<std::uint64_t>;

std::unexpected<CompileError> graph_error(std::string message) {
  return std::unexpected(CompileError::graph(std::move(message)));
}

std::unexpected<CompileError> invalid_op(const Op& op) { return graph_error(fmt::format("invalid op {}", op.name)); }

// ---- Structure and value checks ----------------------------------------

template <class Kind, class... Kinds>
constexpr bool is_one_of = (std::is_same_v<Kind, Kinds> || ...);

// The kinds of two inputs; every other kind has one.
template <class Kind>
constexpr bool is_binary = is_one_of<Kind, MatMul, BatchMatMul, Add, Sub, Mul, Div>;

std::size_t operands_of(const OpKind& kind) {
  return std::visit(
      [](const auto& alternative) -> std::size_t { return is_binary<std::decay_t<decltype(alternative)>> ? 2 : 1; },
      kind);
}

// Applies the builder of an operation's kind, with its parameters, to inputs
// of the operation's input shapes in a scratch graph.
struct ShapeRule {
  Graph& scratch;
  std::string_view name;

  static constexpr TensorId first{0};
  static constexpr TensorId second{1};

  Result<TensorId> operator()(const MatMul&) const { return scratch.matmul(name, first, second); }
  Result<TensorId> operator()(const Add&) const { return scratch.add(name, first, second); }
  Result<TensorId> operator()(const Mul&) const { return scratch.mul(name, first, second); }
  Result<TensorId> operator()(const Reshape& kind) const { return scratch.reshape(name, first, kind.shape); }
  Result<TensorId> operator()(const Transpose& kind) const {
    return scratch.transpose(name, first, kind.permutation);
  }
  Result<TensorId> operator()(const LayerNorm& kind) const { return scratch.layer_norm(name, first, kind.epsilon); }
  Result<TensorId> operator()(const Softmax& kind) const { return scratch.softmax(name, first, kind.axis); }
  Result<TensorId> operator()(const Gelu&) const { return scratch.gelu(name, first); }
  Result<TensorId> operator()(const Sub&) const { return scratch.sub(name, first, second); }
  Result<TensorId> operator()(const Div&) const { return scratch.div(name, first, second); }
  Result<TensorId> operator()(const Broadcast& kind) const { return scratch.broadcast(name, first, kind.shape); }
  Result<TensorId> operator()(const BatchMatMul&) const { return scratch.batch_matmul(name, first, second); }
  Result<TensorId> operator()(const Slice& kind) const {
    return scratch.slice(name, first, kind.axis, kind.start, kind.end);
  }
  Result<TensorId> operator()(const Erf&) const { return scratch.erf(name, first); }
  Result<TensorId> operator()(const Tanh&) const { return scratch.tanh(name, first); }
  Result<TensorId> operator()(const Sqrt&) const { return scratch.sqrt(name, first); }
  Result<TensorId> operator()(const ReduceMean&) const { return scratch.reduce_mean(name, first); }
};

// The operation that produces each tensor, if any.
std::vector<std::optional<OpId>> producers(const Graph& graph) {
  std::vector<std::optional<OpId>> producer(graph.tensors.size());
  for (const Op& op : graph.ops) {
    producer[op.output.index] = op.id;
  }
  return producer;
}

// The operation reads sources and earlier outputs only, has its kind's number
// of inputs, and its shapes are those its kind's builder gives.
Result<void> check_op(const Graph& graph, const Op& op, const std::vector<std::optional<OpId>>& producer) {
  const bool reads_later = std::ranges::any_of(op.inputs, [&](TensorId input) {
    return producer[input.index].has_value() && producer[input.index]->index >= op.id.index;
  });
  if (reads_later || op.inputs.size() != operands_of(op.kind)) {
    return invalid_op(op);
  }
  Graph scratch;
  for (const TensorId input : op.inputs) {
    scratch.input("", graph.tensors[input.index].shape);
  }
  const Result<TensorId> output = std::visit(ShapeRule{scratch, op.name}, op.kind);
  if (!output) {
    return std::unexpected(output.error());
  }
  if (scratch.tensors[output->index].shape != graph.tensors[op.output.index].shape) {
    return invalid_op(op);
  }
  return {};
}

// Values are given for exactly the tensors no operation produces, each with
// its tensor's element count.
Result<void> check_values(const Graph& graph, const TensorValues& values,
                          const std::vector<std::optional<OpId>>& producer) {
  for (const auto& [id, given] : values) {
    if (id.index >= graph.tensors.size()) {
      return graph_error(fmt::format("evaluate: {} is not an input or weight", id));
    }
    const Tensor& tensor = graph.tensors[id.index];
    if (producer[id.index].has_value()) {
      return graph_error(fmt::format("evaluate: {} is not an input or weight", tensor.name));
    }
    if (given.size() != tensor.elements()) {
      return graph_error(fmt::format("evaluate: value for {} has {} elements, expected {}", tensor.name,
                                     given.size(), tensor.elements()));
    }
  }
  for (const Tensor& tensor : graph.tensors) {
    if (!producer[tensor.id.index].has_value() && !values.contains(tensor.id)) {
      return graph_error(fmt::format("evaluate: no value for input {}", tensor.name));
    }
  }
  return {};
}

Result<void> check(const Graph& graph, const TensorValues& values, const std::vector<std::optional<OpId>>& producer) {
  for (const Op& op : graph.ops) {
    if (const Result<void> valid = check_op(graph, op, producer); !valid) {
      return valid;
    }
  }
  return check_values(graph, values, producer);
}

// ---- Values in flight ----------------------------------------------------

// The values of every live tensor: sources as views of the caller's lists,
// computed tensors in buffers of their own until their last reader is done.
class Workspace {
 public:
  Workspace(const Graph& graph, const TensorValues& values)
      : views_(graph.tensors.size()), owned_(graph.tensors.size()), computed_(graph.tensors.size(), false),
        last_reader_(graph.tensors.size()), kept_(graph.tensors.size(), false) {
    for (const auto& [id, given] : values) {
      views_[id.index] = given;
    }
    for (const Op& op : graph.ops) {
      for (const TensorId input : op.inputs) {
        last_reader_[input.index] = op.id;
      }
    }
    for (const TensorId output : graph.outputs) {
      kept_[output.index] = true;
    }
  }

  [[nodiscard]] std::span<const float> operator[](TensorId id) const { return views_[id.index]; }

  // The values of `id` in a buffer the caller may change: the tensor's own
  // when `reader` is its last reader and the tensor is computed and no graph
  // output, a copy otherwise. The tensor stays readable until `release`.
  [[nodiscard]] Values take(const Op& reader, TensorId id) {
    if (dies_at(reader, id)) {
      return std::move(owned_[id.index]);
    }
    const std::span<const float> view = views_[id.index];
    return Values(view.begin(), view.end());
  }

  void store(TensorId id, Values values) {
    owned_[id.index] = std::move(values);
    views_[id.index] = owned_[id.index];
    computed_[id.index] = true;
  }

  // Frees the computed inputs of `reader` that nothing reads afterwards.
  void release(const Op& reader) {
    for (const TensorId input : reader.inputs) {
      if (dies_at(reader, input)) {
        Values().swap(owned_[input.index]);
        views_[input.index] = {};
      }
    }
  }

  // The value of a graph output: the computed buffer, or a copy of a source.
  [[nodiscard]] Values hand_out(TensorId id) {
    if (computed_[id.index]) {
      return std::move(owned_[id.index]);
    }
    const std::span<const float> view = views_[id.index];
    return Values(view.begin(), view.end());
  }

 private:
  [[nodiscard]] bool dies_at(const Op& reader, TensorId id) const {
    return last_reader_[id.index] == reader.id && !kept_[id.index] && computed_[id.index];
  }

  std::vector<std::span<const float>> views_;
  std::vector<Values> owned_;
  std::vector<bool> computed_;
  std::vector<std::optional<OpId>> last_reader_;
  std::vector<bool> kept_;
};

// ---- Data movement -------------------------------------------------------

Strides row_major_strides(const Shape& shape) {
  Strides strides(shape.size(), 1);
  for (std::size_t axis = shape.size(); axis-- > 1;) {
    strides[axis - 1] = strides[axis] * shape[axis];
  }
  return strides;
}

std::uint64_t element_count(const Shape& shape) {
  std::uint64_t count = 1;
  for (const std::uint64_t dimension : shape) {
    count *= dimension;
  }
  return count;
}

// The elements source[sum of index[axis] x strides[axis]] for every index of
// `shape`, in row-major order. A stride of 0 repeats an element along its axis.
Values gather(const float* source, const Shape& shape, const Strides& strides) {
  Values output(element_count(shape));
  const std::size_t rank = shape.size();
  const std::uint64_t row = shape.back();
  const std::uint64_t step = strides.back();
  std::vector<std::uint64_t> index(rank, 0);
  std::uint64_t offset = 0;
  for (std::size_t position = 0; position < output.size(); position += row) {
    const float* const first = source + offset;
    for (std::uint64_t column = 0; column < row; ++column) {
      output[position + column] = first[column * step];
    }
    // Advance the index of the leading axes, the last of them fastest.
    for (std::size_t axis = rank - 1; axis-- > 0;) {
      if (++index[axis] < shape[axis]) {
        offset += strides[axis];
        break;
      }
      offset -= (shape[axis] - 1) * strides[axis];
      index[axis] = 0;
    }
  }
  return output;
}

// Element j is sizes[permutation[j]].
std::vector<std::uint64_t> reordered(const std::vector<std::uint64_t>& sizes,
                                     std::span<const std::uint64_t> permutation) {
  std::vector<std::uint64_t> result;
  result.reserve(permutation.size());
  for (const std::uint64_t axis : permutation) {
    result.push_back(sizes[axis]);
  }
  return result;
}

// `values` of shape `shape` with its axes reordered: output axis j is input
// axis permutation[j].
Values permuted(std::span<const float> values, const Shape& shape, std::span<const std::uint64_t> permutation) {
  return gather(values.data(), reordered(shape, permutation), reordered(row_major_strides(shape), permutation));
}

// ---- Operations ----------------------------------------------------------

// Computes the output of one operation, one function per kind; the checks
// have made every shape agree with the kind's rule.
struct Evaluator {
  const Graph& graph;
  const Op& op;
  Workspace& workspace;
  detail::KernelPath path;

  [[nodiscard]] const Shape& shape_of(std::size_t operand) const {
    return graph.tensors[op.inputs[operand].index].shape;
  }
  [[nodiscard]] std::span<const float> operand(std::size_t position) const {
    return workspace[op.inputs[position]];
  }

  // `batches` products of rows x inner by inner x columns matrices that
  // follow each other in the operands and the output.
  [[nodiscard]] Values products(std::uint64_t batches, std::uint64_t rows, std::uint64_t inner,
                                std::uint64_t columns) const {
    Values output(batches * rows * columns, 0.0F);
    const float* const left = operand(0).data();
    const float* const right = operand(1).data();
    for (std::uint64_t batch = 0; batch < batches; ++batch) {
      detail::matmul_accumulate(path, detail::MatrixView{.data = left + batch * rows * inner, .row_stride = inner},
                                detail::MatrixView{.data = right + batch * inner * columns, .row_stride = columns},
                                output.data() + batch * rows * columns, columns, rows, inner, columns);
    }
    return output;
  }

  template <class Function>
  [[nodiscard]] Values each_pair(Function function) const {
    Values output = workspace.take(op, op.inputs[0]);
    const std::span<const float> right = operand(1);
    for (std::size_t i = 0; i < output.size(); ++i) {
      output[i] = function(output[i], right[i]);
    }
    return output;
  }

  template <class Function>
  [[nodiscard]] Values each(Function function) const {
    Values output = workspace.take(op, op.inputs[0]);
    for (float& value : output) {
      value = function(value);
    }
    return output;
  }

  Values operator()(const MatMul&) const { return products(1, shape_of(0)[0], shape_of(0)[1], shape_of(1)[1]); }

  Values operator()(const BatchMatMul&) const {
    const Shape& left = shape_of(0);
    const std::size_t rank = left.size();
    const std::uint64_t rows = left[rank - 2];
    const std::uint64_t inner = left[rank - 1];
    return products(element_count(left) / (rows * inner), rows, inner, shape_of(1)[rank - 1]);
  }

  Values operator()(const Add&) const {
    return each_pair([](float left, float right) { return left + right; });
  }
  Values operator()(const Sub&) const {
    return each_pair([](float left, float right) { return left - right; });
  }
  Values operator()(const Mul&) const {
    return each_pair([](float left, float right) { return left * right; });
  }
  Values operator()(const Div&) const {
    return each_pair([](float left, float right) { return left / right; });
  }

  Values operator()(const Gelu&) const { return each([](float value) { return gelu(value); }); }
  Values operator()(const Erf&) const { return each([](float value) { return detail::erf_f32(value); }); }
  Values operator()(const Tanh&) const { return each([](float value) { return detail::tanh_f32(value); }); }
  Values operator()(const Sqrt&) const { return each([](float value) { return std::sqrt(value); }); }

  Values operator()(const LayerNorm& kind) const {
    const std::uint64_t columns = shape_of(0).back();
    return layer_norm(operand(0), operand(0).size() / columns, columns, kind.epsilon);
  }

  Values operator()(const Softmax& kind) const {
    const Shape& shape = shape_of(0);
    const std::uint64_t length = shape[kind.axis];
    if (kind.axis + 1 == shape.size()) {
      Values output = workspace.take(op, op.inputs[0]);
      softmax_rows(output, output.size() / length, length);
      return output;
    }
    // Move the axis last, normalise the rows, and move it back.
    std::vector<std::uint64_t> to_rows;
    for (std::uint64_t axis = 0; axis < shape.size(); ++axis) {
      if (axis != kind.axis) {
        to_rows.push_back(axis);
      }
    }
    to_rows.push_back(kind.axis);
    Values rows = permuted(operand(0), shape, to_rows);
    softmax_rows(rows, rows.size() / length, length);
    std::vector<std::uint64_t> back(shape.size());
    for (std::uint64_t axis = 0; axis < shape.size(); ++axis) {
      back[to_rows[axis]] = axis;
    }
    return permuted(rows, reordered(shape, to_rows), back);
  }

  Values operator()(const ReduceMean&) const {
    const std::span<const float> input = operand(0);
    const std::uint64_t columns = shape_of(0).back();
    const auto divisor = static_cast<float>(columns);
    Values output(input.size() / columns);
    for (std::size_t row = 0; row < output.size(); ++row) {
      float sum = -0.0F;
      for (const float value : input.subspan(row * columns, columns)) {
        sum = sum + value;
      }
      output[row] = sum / divisor;
    }
    return output;
  }

  Values operator()(const Reshape&) const { return workspace.take(op, op.inputs[0]); }

  Values operator()(const Transpose& kind) const { return permuted(operand(0), shape_of(0), kind.permutation); }

  Values operator()(const Broadcast& kind) const {
    const Shape& source = shape_of(0);
    const Strides source_strides = row_major_strides(source);
    const std::size_t offset = kind.shape.size() - source.size();
    Strides strides(kind.shape.size(), 0);
    for (std::size_t axis = 0; axis < source.size(); ++axis) {
      strides[offset + axis] = source[axis] == 1 ? 0 : source_strides[axis];
    }
    return gather(operand(0).data(), kind.shape, strides);
  }

  Values operator()(const Slice& kind) const {
    const Strides strides = row_major_strides(shape_of(0));
    const Shape& output_shape = graph.tensors[op.output.index].shape;
    return gather(operand(0).data() + kind.start * strides[kind.axis], output_shape, strides);
  }
};

}  // namespace

Result<TensorValues> evaluate(const Graph& graph, const TensorValues& values) {
  if (const Result<void> valid = graph.validate(); !valid) {
    return std::unexpected(valid.error());
  }
  const std::vector<std::optional<OpId>> producer = producers(graph);
  if (const Result<void> valid = check(graph, values, producer); !valid) {
    return std::unexpected(valid.error());
  }

  Workspace workspace(graph, values);
  const detail::KernelPath path = detail::best_path();
  for (const Op& op : graph.ops) {
    Values output = std::visit(Evaluator{graph, op, workspace, path}, op.kind);
    workspace.release(op);
    workspace.store(op.output, std::move(output));
  }

  TensorValues outputs;
  for (const TensorId id : graph.outputs) {
    if (!outputs.contains(id)) {
      outputs.emplace(id, workspace.hand_out(id));
    }
  }
  return outputs;
}

}  // namespace orvo_compiler
