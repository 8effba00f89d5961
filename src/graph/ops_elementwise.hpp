// Element-wise operation kinds: those of two inputs of identical shape (add,
// sub, mul, div) and those of one (gelu, erf, tanh, sqrt). Each gives its
// element function only; the family gives the shape rule and the loop, and
// works in place when the input's buffer is free.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "graph/op_definition.hpp"
#include "kernels/exact_math.hpp"
#include "kernels/kernels_dispatch.hpp"

namespace orvo_compiler::detail {

// Two inputs of identical shape give an output of that shape.
inline Result<Shape> same_shapes(const InputShapes& inputs, std::string_view name) {
  if (inputs[0] != inputs[1]) {
    return rule_error(name, "binary shapes differ");
  }
  return inputs[0];
}

// A kind of two inputs whose output element i is `Definition::apply(left[i], right[i])`.
template <class Definition>
struct ElementwiseBinary {
  static constexpr std::size_t arity = 2;

  static Result<Shape> output_shape(const auto& /*kind*/, const InputShapes& inputs, std::string_view name) {
    return same_shapes(inputs, name);
  }

  static std::vector<float> evaluate(const auto& /*kind*/, KernelInputs& inputs) {
    std::vector<float> output = inputs.take(0);
    const std::span<const float> right = inputs.operand(1);
    for (std::size_t i = 0; i < output.size(); ++i) {
      output[i] = Definition::apply(output[i], right[i]);
    }
    return output;
  }
};

// A kind of one input of any shape whose values `Definition::apply_many(path, values)` maps in place.
template <class Definition>
struct ElementwiseUnary {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const auto& /*kind*/, const InputShapes& inputs, std::string_view /*name*/) {
    return inputs[0];
  }

  static std::vector<float> evaluate(const auto& /*kind*/, KernelInputs& inputs) {
    std::vector<float> output = inputs.take(0);
    Definition::apply_many(inputs.path(), std::span<float>(output));
    return output;
  }
};

template <>
struct OpDefinition<Add> : ElementwiseBinary<OpDefinition<Add>> {
  static float apply(float left, float right) { return left + right; }
};

template <>
struct OpDefinition<Sub> : ElementwiseBinary<OpDefinition<Sub>> {
  static float apply(float left, float right) { return left - right; }
};

template <>
struct OpDefinition<Mul> : ElementwiseBinary<OpDefinition<Mul>> {
  static float apply(float left, float right) { return left * right; }
};

template <>
struct OpDefinition<Div> : ElementwiseBinary<OpDefinition<Div>> {
  static float apply(float left, float right) { return left / right; }
};

template <>
struct OpDefinition<Gelu> : ElementwiseUnary<OpDefinition<Gelu>> {
  static void apply_many(KernelPath path, std::span<float> values) { gelu_with(path, values, values); }
};

template <>
struct OpDefinition<Erf> : ElementwiseUnary<OpDefinition<Erf>> {
  static void apply_many(KernelPath path, std::span<float> values) { erf_f32_many(path, values, values); }
};

template <>
struct OpDefinition<Tanh> : ElementwiseUnary<OpDefinition<Tanh>> {
  static void apply_many(KernelPath path, std::span<float> values) { tanh_f32_many(path, values, values); }
};

template <>
struct OpDefinition<Sqrt> : ElementwiseUnary<OpDefinition<Sqrt>> {
  static void apply_many(KernelPath /*path*/, std::span<float> values) {
    for (float& value : values) {
      value = std::sqrt(value);
    }
  }
};

}  // namespace orvo_compiler::detail
