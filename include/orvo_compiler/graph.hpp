// The tensor dataflow graph: plain lists of tensors and operations that refer
// to each other only by index, the builder that grows them with each
// operation's shape rule, and structural validation.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <fmt/ostream.h>

#include "orvo_compiler/error.hpp"

namespace orvo_compiler {

// Position of a tensor in `Graph::tensors`.
struct TensorId {
  std::uint64_t index = 0;
  friend auto operator<=>(const TensorId&, const TensorId&) = default;
  friend bool operator==(const TensorId&, const TensorId&) = default;
};

// Position of an operation in `Graph::ops`.
struct OpId {
  std::uint64_t index = 0;
  friend auto operator<=>(const OpId&, const OpId&) = default;
  friend bool operator==(const OpId&, const OpId&) = default;
};

enum class DType : std::uint8_t { F32 };

// Bytes of one element.
constexpr std::uint64_t size(DType dtype) {
  switch (dtype) {
    case DType::F32:
      return 4;
  }
  return 4;
}

enum class TensorKind : std::uint8_t { Input, Weight, Intermediate, Output };

using Shape = std::vector<std::uint64_t>;

struct Tensor {
  TensorId id;
  std::string name;
  DType dtype = DType::F32;
  Shape shape;
  TensorKind kind = TensorKind::Input;
  std::optional<OpId> producer;

  // Product of the dimensions (1 for an empty shape); wraps modulo 2^64 for
  // shapes that validation rejects as too large.
  [[nodiscard]] std::uint64_t elements() const;

  friend bool operator==(const Tensor&, const Tensor&) = default;
};

struct MatMul {
  friend bool operator==(const MatMul&, const MatMul&) = default;
};
struct Add {
  friend bool operator==(const Add&, const Add&) = default;
};
struct Mul {
  friend bool operator==(const Mul&, const Mul&) = default;
};
struct Reshape {
  Shape shape;
  friend bool operator==(const Reshape&, const Reshape&) = default;
};
struct Transpose {
  std::vector<std::uint64_t> permutation;
  friend bool operator==(const Transpose&, const Transpose&) = default;
};
struct LayerNorm {
  float epsilon = 0.0F;
  friend bool operator==(const LayerNorm&, const LayerNorm&) = default;
};
struct Softmax {
  std::uint64_t axis = 0;
  friend bool operator==(const Softmax&, const Softmax&) = default;
};
struct Gelu {
  friend bool operator==(const Gelu&, const Gelu&) = default;
};

// The kinds below extend the language for imported models. Each has a builder
// with its own shape rule; their numeric meaning is that of `evaluate`.
struct Sub {
  friend bool operator==(const Sub&, const Sub&) = default;
};
struct Div {
  friend bool operator==(const Div&, const Div&) = default;
};
// Copies the input to `shape` by numpy's rules: dimensions aligned from the
// right, each input dimension 1 (repeated) or equal, missing leading ones 1.
struct Broadcast {
  Shape shape;
  friend bool operator==(const Broadcast&, const Broadcast&) = default;
};
// Matrix products over the last two axes, one per index of the leading axes.
struct BatchMatMul {
  friend bool operator==(const BatchMatMul&, const BatchMatMul&) = default;
};
// Indices [start, end) of one axis.
struct Slice {
  std::uint64_t axis = 0;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  friend bool operator==(const Slice&, const Slice&) = default;
};
struct Erf {
  friend bool operator==(const Erf&, const Erf&) = default;
};
struct Tanh {
  friend bool operator==(const Tanh&, const Tanh&) = default;
};
struct Sqrt {
  friend bool operator==(const Sqrt&, const Sqrt&) = default;
};
// The mean over the last axis, which the output keeps with size 1.
struct ReduceMean {
  friend bool operator==(const ReduceMean&, const ReduceMean&) = default;
};

using OpKind = std::variant<MatMul, Add, Mul, Reshape, Transpose, LayerNorm, Softmax, Gelu, Sub, Div, Broadcast,
                            BatchMatMul, Slice, Erf, Tanh, Sqrt, ReduceMean>;

struct Op {
  OpId id;
  std::string name;
  OpKind kind;
  std::vector<TensorId> inputs;
  TensorId output;

  friend bool operator==(const Op&, const Op&) = default;
};

// A graph grows only by appending through the builder below. Every builder
// call that fails leaves the graph exactly as it was.
struct Graph {
  std::vector<Tensor> tensors;
  std::vector<Op> ops;
  std::vector<TensorId> outputs;

  // Appends a tensor and returns its id; checks nothing.
  TensorId tensor(std::string_view name, Shape shape, TensorKind kind, std::optional<OpId> producer);
  TensorId input(std::string_view name, Shape shape);
  TensorId weight(std::string_view name, Shape shape);

  // Appends the output tensor (named after the operation) and the operation;
  // fails with "{name}: unknown input" when an input names no tensor.
  [[nodiscard]] Result<TensorId> op(std::string_view name, OpKind kind, std::vector<TensorId> inputs,
                                    Shape shape);
  // Element-wise operation of two tensors of identical shape.
  [[nodiscard]] Result<TensorId> binary(std::string_view name, OpKind kind, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> add(std::string_view name, TensorId left, TensorId right);
  // Rank-2 by rank-2 product; [a0, a1] x [a1, b1] gives [a0, b1].
  [[nodiscard]] Result<TensorId> matmul(std::string_view name, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> transpose(std::string_view name, TensorId input,
                                           std::vector<std::uint64_t> permutation);
  [[nodiscard]] Result<TensorId> softmax(std::string_view name, TensorId input, std::uint64_t axis);
  [[nodiscard]] Result<TensorId> layer_norm(std::string_view name, TensorId input, float epsilon);
  [[nodiscard]] Result<TensorId> gelu(std::string_view name, TensorId input);

  // Element-wise, of two tensors of identical shape, as `add`.
  [[nodiscard]] Result<TensorId> mul(std::string_view name, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> sub(std::string_view name, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> div(std::string_view name, TensorId left, TensorId right);
  // The same elements in row-major order under another shape; fails with
  // "{name}: cannot reshape {from} to {to}" when the element counts differ.
  [[nodiscard]] Result<TensorId> reshape(std::string_view name, TensorId input, Shape shape);
  // Fails with "{name}: cannot broadcast {from} to {to}" unless the input's
  // rank is at most the target's and each of its dimensions, aligned from
  // the right, is 1 or the target's.
  [[nodiscard]] Result<TensorId> broadcast(std::string_view name, TensorId input, Shape shape);
  // [..., m, k] x [..., k, n] gives [..., m, n] for operands of equal rank of
  // at least 2 with equal leading dimensions; otherwise fails with
  // "{name}: incompatible batch matmul {left} x {right}".
  [[nodiscard]] Result<TensorId> batch_matmul(std::string_view name, TensorId left, TensorId right);
  // Indices [start, end) of `axis`; fails with "{name}: slice out of range"
  // unless axis < rank and start < end <= the axis' size.
  [[nodiscard]] Result<TensorId> slice(std::string_view name, TensorId input, std::uint64_t axis, std::uint64_t start,
                                       std::uint64_t end);
  [[nodiscard]] Result<TensorId> erf(std::string_view name, TensorId input);
  [[nodiscard]] Result<TensorId> tanh(std::string_view name, TensorId input);
  [[nodiscard]] Result<TensorId> sqrt(std::string_view name, TensorId input);
  // The last axis reduced to size 1; fails with "{name}: reduce_mean of a
  // scalar" for an input without axes.
  [[nodiscard]] Result<TensorId> reduce_mean(std::string_view name, TensorId input);

  // Marks a tensor as a graph output (kind `Output`) and appends it to
  // `outputs`, repeats included. An id naming no tensor is appended as it is
  // and left for `validate` to reject.
  void mark_output(TensorId tensor);

  // Checks the structural invariants: ids equal positions, operations refer to
  // existing tensors and own their outputs, shapes are non-empty, free of 0
  // and small enough to count in 64 bits, and at least one valid output exists.
  [[nodiscard]] Result<void> validate() const;

  friend bool operator==(const Graph&, const Graph&) = default;
};

// Debug renderings: `TensorId(7)`, `OpId(3)`, `F32`, `Weight`, and
// `Transpose { permutation: [1, 0] }` for operation kinds
// (`Slice { axis: 1, start: 0, end: 4 }`, `Broadcast { shape: [2, 3] }`).
std::ostream& operator<<(std::ostream& out, TensorId id);
std::ostream& operator<<(std::ostream& out, OpId id);
std::ostream& operator<<(std::ostream& out, DType dtype);
std::ostream& operator<<(std::ostream& out, TensorKind kind);
std::ostream& operator<<(std::ostream& out, const OpKind& kind);

}  // namespace orvo_compiler

template <>
struct std::hash<orvo_compiler::TensorId> {
  std::size_t operator()(orvo_compiler::TensorId id) const noexcept {
    return std::hash<std::uint64_t>{}(id.index);
  }
};

template <>
struct fmt::formatter<orvo_compiler::TensorId> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::OpId> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::DType> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::TensorKind> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::OpKind> : fmt::ostream_formatter {};
