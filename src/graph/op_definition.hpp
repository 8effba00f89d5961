// What each operation kind is beyond the description its struct carries: its
// number of inputs, the rule that gives its output shape (the builder's, with
// the builder's error texts), and its evaluator kernel. Each kind has one
// specialisation of OpDefinition, in the header of its family (ops_*.hpp);
// op_definitions.hpp gathers them and rejects a kind that has none.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "kernels/kernels_dispatch.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::detail {

// Specialised for every kind with these static members:
//   std::size_t arity;  the number of inputs
//   Result<Shape> output_shape(const Kind&, const InputShapes&, std::string_view name);
//     the output shape for inputs of these shapes (as many as `arity`), or
//     the builder's error, whose text starts with "{name}: "
//   std::vector<float> evaluate(const Kind&, KernelInputs&);
//     the output values, for inputs whose shapes obey the rule
template <class Kind>
struct OpDefinition;

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

// What a kernel reads: the values and shapes of its operation's inputs, the
// output's shape and the kernel path the evaluation runs on.
class KernelInputs {
 public:
  [[nodiscard]] virtual std::span<const float> operand(std::size_t position) const = 0;
  [[nodiscard]] virtual const Shape& shape(std::size_t position) const = 0;
  [[nodiscard]] virtual const Shape& output_shape() const = 0;
  [[nodiscard]] virtual KernelPath path() const = 0;
  // The values of input `position` in a buffer the kernel may overwrite and
  // return as its output: the input's own when nothing reads it afterwards,
  // a copy otherwise. `operand(position)` stays readable.
  [[nodiscard]] virtual std::vector<float> take(std::size_t position) = 0;

 protected:
  KernelInputs() = default;
  KernelInputs(const KernelInputs&) = default;
  KernelInputs& operator=(const KernelInputs&) = default;
  ~KernelInputs() = default;
};

// A shape rule's failure: the graph error "{name}: {what}".
inline std::unexpected<CompileError> rule_error(std::string_view name, std::string_view what) {
  return std::unexpected(CompileError::graph(fmt::format("{}: {}", name, what)));
}

}  // namespace orvo_compiler::detail
