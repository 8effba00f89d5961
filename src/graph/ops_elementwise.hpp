// Element-wise operation kinds: those of two inputs that broadcast (add,
// sub, mul, div) and those of one (gelu, erf, tanh, sqrt). Each gives its
// element function only; the family gives the shape rule and the loop, and
// works in place when the input's buffer is free.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
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

// Integer arithmetic wraps modulo 2^64, as the hardware's does.
inline std::int64_t wrapping(std::uint64_t value) { return static_cast<std::int64_t>(value); }

// `apply(left, right)` over two operands that broadcast to the output shape,
// read in place: the output's index order is row-major, and each operand's
// element is the one numpy's broadcast places there.
template <class T, class Apply>
std::vector<T> broadcast_binary(KernelInputs& inputs, Apply apply) {
  const Shape& output_shape = inputs.output_shape();
  const std::span<const T> left = inputs.template operand_as<T>(0);
  const std::span<const T> right = inputs.template operand_as<T>(1);
  std::vector<T> output(elements_of(output_shape));
  if (inputs.shape(0) == output_shape && inputs.shape(1) == output_shape) {
    for (std::size_t i = 0; i < output.size(); ++i) {
      output[i] = apply(left[i], right[i]);
    }
    return output;
  }
  BroadcastReader left_index(inputs.shape(0), output_shape);
  BroadcastReader right_index(inputs.shape(1), output_shape);
  for (T& value : output) {
    value = apply(left[left_index.next()], right[right_index.next()]);
  }
  return output;
}

// A kind of two inputs that broadcast by numpy's rules, whose output element
// is `Definition::apply(left, right)`: of F32 operands always, of I64 ones
// when the definition has an integer form (which may refuse a pair of values
// by giving nothing).
template <class Definition>
struct ElementwiseBinary {
  static constexpr std::size_t arity = 2;

  static Result<Shape> output_shape(const auto& /*kind*/, const InputShapes& inputs, std::string_view name) {
    return broadcast_all(inputs, name);
  }

  template <class Kind>
  static Result<DType> output_dtype(const Kind& /*kind*/, const InputTypes& types, std::string_view name) {
    Result<DType> dtype = same_dtype(Kind::info.operation, types, name);
    if (dtype && *dtype != DType::F32 && !(*dtype == DType::I64 && integer_form)) {
      return rule_error(name, fmt::format("{} takes F32{} inputs, not {}", Kind::info.operation,
                                          integer_form ? " or I64" : "", *dtype));
    }
    return dtype;
  }

  static Result<TensorData> evaluate(const auto& /*kind*/, KernelInputs& inputs) {
    if (inputs.dtype(0) == DType::I64) {
      if constexpr (integer_form) {
        return integer_values(inputs);
      }
    }
    if (inputs.shape(0) == inputs.output_shape() && inputs.shape(1) == inputs.output_shape()) {
      std::vector<float> output = inputs.take(0);
      const std::span<const float> right = inputs.operand(1);
      for (std::size_t i = 0; i < output.size(); ++i) {
        output[i] = Definition::apply(output[i], right[i]);
      }
      return output;
    }
    return broadcast_binary<float>(inputs, [](float left, float right) { return Definition::apply(left, right); });
  }

 private:
  static constexpr bool integer_form =
      requires(std::int64_t value) { Definition::apply_integer(value, value); };

  static Result<TensorData> integer_values(KernelInputs& inputs) {
    bool refused = false;
    std::vector<std::int64_t> output =
        broadcast_binary<std::int64_t>(inputs, [&refused](std::int64_t left, std::int64_t right) {
          const std::optional<std::int64_t> value = Definition::apply_integer(left, right);
          refused = refused || !value.has_value();
          return value.value_or(0);
        });
    if (refused) {
      return std::unexpected(
          CompileError::graph(fmt::format("evaluate: {}: integer division by zero", inputs.name())));
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
  static std::optional<std::int64_t> apply_integer(std::int64_t left, std::int64_t right) {
    return wrapping(static_cast<std::uint64_t>(left) + static_cast<std::uint64_t>(right));
  }
};

template <>
struct OpDefinition<Sub> : ElementwiseBinary<OpDefinition<Sub>> {
  static float apply(float left, float right) { return left - right; }
  static std::optional<std::int64_t> apply_integer(std::int64_t left, std::int64_t right) {
    return wrapping(static_cast<std::uint64_t>(left) - static_cast<std::uint64_t>(right));
  }
};

template <>
struct OpDefinition<Mul> : ElementwiseBinary<OpDefinition<Mul>> {
  static float apply(float left, float right) { return left * right; }
  static std::optional<std::int64_t> apply_integer(std::int64_t left, std::int64_t right) {
    return wrapping(static_cast<std::uint64_t>(left) * static_cast<std::uint64_t>(right));
  }
};

// Integer quotients truncate toward zero; the one that overflows wraps.
template <>
struct OpDefinition<Div> : ElementwiseBinary<OpDefinition<Div>> {
  static float apply(float left, float right) { return left / right; }
  static std::optional<std::int64_t> apply_integer(std::int64_t left, std::int64_t right) {
    if (right == 0) {
      return std::nullopt;
    }
    if (right == -1) {
      return wrapping(0 - static_cast<std::uint64_t>(left));
    }
    return left / right;
  }
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
