// What each operation kind is beyond the description its struct carries: its
// number of inputs, the rule that gives its output shape (the builder's, with
// the builder's error texts), and its evaluator kernel. Each kind has one
// specialisation of OpDefinition, in the header of its family (ops_*.hpp);
// op_definitions.hpp gathers them and rejects a kind that has none.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "kernels/kernels_dispatch.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/graph.hpp"
#include "support/render.hpp"

namespace orvo_compiler::detail {

// Specialised for every kind with these static members:
//   std::size_t arity;  the number of inputs
//   Result<Shape> output_shape(const Kind&, const InputShapes&, std::string_view name);
//     the output shape for inputs of these shapes (as many as `arity`), or
//     the builder's error, whose text starts with "{name}: "
//   Result<TensorData> evaluate(const Kind&, KernelInputs&);
//     the output values, for inputs whose shapes and types obey the rules, or
//     an error "evaluate: {op}: ..." for values it cannot compute (an index
//     out of range); a kernel that cannot fail may return std::vector<float>
// and optionally
//   Result<DType> output_dtype(const Kind&, const InputTypes&, std::string_view name);
//     the output's element type, or the builder's error; without it every
//     input must be F32 and the output is F32
template <class Kind>
struct OpDefinition;

// An `arity` of one or more inputs.
inline constexpr std::size_t variadic = std::numeric_limits<std::size_t>::max();

// The shapes of an operation's inputs, in order, read where the graph keeps them.
class InputShapes {
 public:
  InputShapes(const std::vector<Tensor>& tensors, std::span<const TensorId> inputs)
      : tensors_(&tensors), inputs_(inputs) {}

  [[nodiscard]] std::size_t size() const { return inputs_.size(); }
  [[nodiscard]] const Shape& operator[](std::size_t position) const {
    return (*tensors_)[inputs_[position].index].shape;
  }

 private:
  const std::vector<Tensor>* tensors_;
  std::span<const TensorId> inputs_;
};

// The element types of an operation's inputs, in order.
class InputTypes {
 public:
  InputTypes(const std::vector<Tensor>& tensors, std::span<const TensorId> inputs)
      : tensors_(&tensors), inputs_(inputs) {}

  [[nodiscard]] std::size_t size() const { return inputs_.size(); }
  [[nodiscard]] DType operator[](std::size_t position) const { return (*tensors_)[inputs_[position].index].dtype; }

 private:
  const std::vector<Tensor>* tensors_;
  std::span<const TensorId> inputs_;
};

// What a kernel reads: the values, types and shapes of its operation's
// inputs, the output's shape, the operation's name and the kernel path the
// evaluation runs on.
class KernelInputs {
 public:
  [[nodiscard]] virtual std::size_t size() const = 0;
  [[nodiscard]] virtual const TensorData& data(std::size_t position) const = 0;
  [[nodiscard]] virtual const Shape& shape(std::size_t position) const = 0;
  [[nodiscard]] virtual std::string_view name() const = 0;
  [[nodiscard]] virtual const Shape& output_shape() const = 0;
  [[nodiscard]] virtual KernelPath path() const = 0;
  // The values of input `position` in a buffer the kernel may overwrite and
  // return as its output: the input's own when nothing reads it afterwards,
  // a copy otherwise. `operand(position)` stays readable.
  [[nodiscard]] virtual TensorData take_data(std::size_t position) = 0;
  // The same, of an F32 input.
  [[nodiscard]] std::vector<float> take(std::size_t position) {
    return std::get<std::vector<float>>(take_data(position));
  }

  // The values of input `position`, of element type T (float, std::int64_t
  // or std::uint8_t for bool), which the type rule guarantees.
  template <class T>
  [[nodiscard]] std::span<const T> operand_as(std::size_t position) const {
    return std::get<std::vector<T>>(data(position));
  }
  [[nodiscard]] std::span<const float> operand(std::size_t position) const { return operand_as<float>(position); }
  [[nodiscard]] DType dtype(std::size_t position) const { return dtype_of(data(position)); }

 protected:
  KernelInputs() = default;
  KernelInputs(const KernelInputs&) = default;
  KernelInputs& operator=(const KernelInputs&) = default;
  ~KernelInputs() = default;
};

// The product of the dimensions (1 for a scalar).
inline std::uint64_t elements_of(const Shape& shape) {
  std::uint64_t count = 1;
  for (const std::uint64_t dimension : shape) {
    count *= dimension;
  }
  return count;
}

// A shape rule's failure: the graph error "{name}: {what}".
inline std::unexpected<CompileError> rule_error(std::string_view name, std::string_view what) {
  return std::unexpected(CompileError::graph(fmt::format("{}: {}", name, what)));
}

// The type rule of kinds that compute in float32 only.
inline Result<DType> all_f32(std::string_view operation, const InputTypes& types, std::string_view name) {
  for (std::size_t position = 0; position < types.size(); ++position) {
    if (types[position] != DType::F32) {
      return rule_error(name, fmt::format("{} takes F32 inputs, not {}", operation, types[position]));
    }
  }
  return DType::F32;
}

// The type rule of kinds whose inputs share one element type, which the
// output keeps.
inline Result<DType> same_dtype(std::string_view operation, const InputTypes& types, std::string_view name) {
  for (std::size_t position = 1; position < types.size(); ++position) {
    if (types[position] != types[0]) {
      return rule_error(name, fmt::format("{} takes inputs of one element type, not {} and {}", operation, types[0],
                                          types[position]));
    }
  }
  return types[0];
}

// numpy's broadcast of two shapes: aligned from the right, each pair of
// dimensions equal or one of them 1; nothing when they do not broadcast.
inline std::optional<Shape> broadcast_shapes(const Shape& left, const Shape& right) {
  const std::size_t rank = std::max(left.size(), right.size());
  Shape result(rank, 1);
  for (std::size_t axis = 0; axis < rank; ++axis) {
    const std::uint64_t a = axis < rank - left.size() ? 1 : left[axis - (rank - left.size())];
    const std::uint64_t b = axis < rank - right.size() ? 1 : right[axis - (rank - right.size())];
    if (a != b && a != 1 && b != 1) {
      return std::nullopt;
    }
    result[axis] = a == 1 ? b : a;
  }
  return result;
}

// The broadcast shape of every input, or the rule's error naming the first
// pair that does not broadcast.
inline Result<Shape> broadcast_all(const InputShapes& inputs, std::string_view name) {
  Shape result = inputs[0];
  for (std::size_t position = 1; position < inputs.size(); ++position) {
    std::optional<Shape> next = broadcast_shapes(result, inputs[position]);
    if (!next) {
      return rule_error(name, fmt::format("shapes {} and {} do not broadcast", shape_text(result),
                                          shape_text(inputs[position])));
    }
    result = std::move(*next);
  }
  return result;
}

// Reads an operand that broadcasts to `output` in place: `next()` gives, for
// each output index in row-major order, the operand's own flat index.
// Dimensions of size 1 repeat (stride 0); missing leading ones too.
class BroadcastReader {
 public:
  BroadcastReader(const Shape& operand, const Shape& output) : shape_(output), index_(output.size(), 0) {
    const std::size_t offset = output.size() - operand.size();
    strides_.assign(output.size(), 0);
    std::uint64_t stride = 1;
    for (std::size_t axis = operand.size(); axis-- > 0;) {
      strides_[offset + axis] = operand[axis] == 1 ? 0 : stride;
      stride *= operand[axis];
    }
  }

  // The operand's index of the current output element; then moves to the next.
  std::uint64_t next() {
    const std::uint64_t current = offset_;
    for (std::size_t axis = shape_.size(); axis-- > 0;) {
      if (++index_[axis] < shape_[axis]) {
        offset_ += strides_[axis];
        return current;
      }
      offset_ -= (shape_[axis] - 1) * strides_[axis];
      index_[axis] = 0;
    }
    return current;
  }

 private:
  Shape shape_;
  std::vector<std::uint64_t> strides_;
  std::vector<std::uint64_t> index_;
  std::uint64_t offset_ = 0;
};

// `body(std::type_identity<T>{})` for the element type T that holds `dtype`.
template <class Body>
Result<TensorData> with_element_type(DType dtype, Body&& body) {
  switch (dtype) {
    case DType::F32:
      return body(std::type_identity<float>{});
    case DType::I64:
      return body(std::type_identity<std::int64_t>{});
    case DType::Bool:
      return body(std::type_identity<std::uint8_t>{});
  }
  return body(std::type_identity<float>{});
}

}  // namespace orvo_compiler::detail
