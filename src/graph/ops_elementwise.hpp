// Element-wise operation kinds: those of two inputs of identical shape (add,
// sub, mul, div) and those of one (gelu, erf, tanh, sqrt, the activations and
// the maths functions). Each gives its element function only; the family gives
// the shape rule and the loop, and works in place when the input's buffer is free.
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

// A kind of one input of any shape, mapped in place: by
// `Definition::apply_many(path, values)` where the kind has a batch form on
// the kernel paths, else element by element by `Definition::apply(kind, x)`.
template <class Definition>
struct ElementwiseUnary {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const auto& /*kind*/, const InputShapes& inputs, std::string_view /*name*/) {
    return inputs[0];
  }

  static std::vector<float> evaluate(const auto& kind, KernelInputs& inputs) {
    std::vector<float> output = inputs.take(0);
    if constexpr (requires { Definition::apply_many(inputs.path(), std::span<float>(output)); }) {
      Definition::apply_many(inputs.path(), std::span<float>(output));
    } else {
      for (float& value : output) {
        value = Definition::apply(kind, value);
      }
    }
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


// ---- Functions of one float, element by element ----------------------------
// Each step is one IEEE single operation in the order written; e^x is the
// correctly rounded `exp_f32`; the other transcendental functions are the C
// library's float functions (glibc's on every build we make, so the same bits
// on every run).

// The nearest integer to x, halves to the even one, independent of the
// processor's rounding mode; the sign of x is kept (-0.5 gives -0).
inline float round_half_even(float x) {
  const float away = std::round(x);
  if (std::fabs(away - x) == 0.5F && std::fmod(away, 2.0F) != 0.0F) {
    return std::copysign(away - std::copysign(1.0F, x), x);
  }
  return away;
}

template <>
struct OpDefinition<Relu> : ElementwiseUnary<OpDefinition<Relu>> {
  static float apply(const Relu& /*kind*/, float x) { return x < 0.0F ? 0.0F : x; }
};

template <>
struct OpDefinition<LeakyRelu> : ElementwiseUnary<OpDefinition<LeakyRelu>> {
  static float apply(const LeakyRelu& kind, float x) { return x < 0.0F ? kind.alpha * x : x; }
};

template <>
struct OpDefinition<Elu> : ElementwiseUnary<OpDefinition<Elu>> {
  static float apply(const Elu& kind, float x) { return x < 0.0F ? kind.alpha * (exp_f32(x) - 1.0F) : x; }
};

template <>
struct OpDefinition<Selu> : ElementwiseUnary<OpDefinition<Selu>> {
  static float apply(const Selu& kind, float x) {
    return x > 0.0F ? kind.gamma * x : kind.gamma * (kind.alpha * (exp_f32(x) - 1.0F));
  }
};

template <>
struct OpDefinition<Celu> : ElementwiseUnary<OpDefinition<Celu>> {
  static float apply(const Celu& kind, float x) {
    return x > 0.0F ? x : kind.alpha * (exp_f32(x / kind.alpha) - 1.0F);
  }
};

template <>
struct OpDefinition<ThresholdedRelu> : ElementwiseUnary<OpDefinition<ThresholdedRelu>> {
  static float apply(const ThresholdedRelu& kind, float x) { return x > kind.alpha ? x : 0.0F; }
};

template <>
struct OpDefinition<Sigmoid> : ElementwiseUnary<OpDefinition<Sigmoid>> {
  static void apply_many(KernelPath path, std::span<float> values) {
    for (float& value : values) {
      value = -value;
    }
    exp_f32_many(path, values, values);
    for (float& value : values) {
      value = 1.0F / (1.0F + value);
    }
  }
};

// max(0, min(1, alpha x + beta)), NaN kept.
inline float hard_sigmoid(float x, float alpha, float beta) {
  const float line = alpha * x + beta;
  if (line < 0.0F) {
    return 0.0F;
  }
  return line > 1.0F ? 1.0F : line;
}

template <>
struct OpDefinition<HardSigmoid> : ElementwiseUnary<OpDefinition<HardSigmoid>> {
  static float apply(const HardSigmoid& kind, float x) { return hard_sigmoid(x, kind.alpha, kind.beta); }
};

template <>
struct OpDefinition<HardSwish> : ElementwiseUnary<OpDefinition<HardSwish>> {
  // 1/6 rounded to float.
  static float apply(const HardSwish& /*kind*/, float x) { return x * hard_sigmoid(x, 0.16666667F, 0.5F); }
};

template <>
struct OpDefinition<Softplus> : ElementwiseUnary<OpDefinition<Softplus>> {
  // Split at 0 so that e^x never overflows: x + ln(1 + e^-x) above.
  static float apply(const Softplus& /*kind*/, float x) {
    return x > 0.0F ? x + std::log1p(exp_f32(-x)) : std::log1p(exp_f32(x));
  }
};

template <>
struct OpDefinition<Softsign> : ElementwiseUnary<OpDefinition<Softsign>> {
  static float apply(const Softsign& /*kind*/, float x) { return x / (1.0F + std::fabs(x)); }
};

template <>
struct OpDefinition<Shrink> : ElementwiseUnary<OpDefinition<Shrink>> {
  static float apply(const Shrink& kind, float x) {
    if (x < -kind.lambd) {
      return x + kind.bias;
    }
    return x > kind.lambd ? x - kind.bias : 0.0F;
  }
};

template <>
struct OpDefinition<Exp> : ElementwiseUnary<OpDefinition<Exp>> {
  static void apply_many(KernelPath path, std::span<float> values) { exp_f32_many(path, values, values); }
};

template <>
struct OpDefinition<Log> : ElementwiseUnary<OpDefinition<Log>> {
  static float apply(const Log& /*kind*/, float x) { return std::log(x); }
};

template <>
struct OpDefinition<Neg> : ElementwiseUnary<OpDefinition<Neg>> {
  static float apply(const Neg& /*kind*/, float x) { return -x; }
};

template <>
struct OpDefinition<Abs> : ElementwiseUnary<OpDefinition<Abs>> {
  static float apply(const Abs& /*kind*/, float x) { return std::fabs(x); }
};

template <>
struct OpDefinition<Reciprocal> : ElementwiseUnary<OpDefinition<Reciprocal>> {
  static float apply(const Reciprocal& /*kind*/, float x) { return 1.0F / x; }
};

template <>
struct OpDefinition<Floor> : ElementwiseUnary<OpDefinition<Floor>> {
  static float apply(const Floor& /*kind*/, float x) { return std::floor(x); }
};

template <>
struct OpDefinition<Ceil> : ElementwiseUnary<OpDefinition<Ceil>> {
  static float apply(const Ceil& /*kind*/, float x) { return std::ceil(x); }
};

template <>
struct OpDefinition<Round> : ElementwiseUnary<OpDefinition<Round>> {
  static float apply(const Round& /*kind*/, float x) { return round_half_even(x); }
};

template <>
struct OpDefinition<Sign> : ElementwiseUnary<OpDefinition<Sign>> {
  // Both zeros give +0; NaN stays NaN.
  static float apply(const Sign& /*kind*/, float x) {
    if (x > 0.0F) {
      return 1.0F;
    }
    if (x < 0.0F) {
      return -1.0F;
    }
    return x == 0.0F ? 0.0F : x;
  }
};

template <>
struct OpDefinition<Sin> : ElementwiseUnary<OpDefinition<Sin>> {
  static float apply(const Sin& /*kind*/, float x) { return std::sin(x); }
};

template <>
struct OpDefinition<Cos> : ElementwiseUnary<OpDefinition<Cos>> {
  static float apply(const Cos& /*kind*/, float x) { return std::cos(x); }
};

template <>
struct OpDefinition<Tan> : ElementwiseUnary<OpDefinition<Tan>> {
  static float apply(const Tan& /*kind*/, float x) { return std::tan(x); }
};

template <>
struct OpDefinition<Asin> : ElementwiseUnary<OpDefinition<Asin>> {
  static float apply(const Asin& /*kind*/, float x) { return std::asin(x); }
};

template <>
struct OpDefinition<Acos> : ElementwiseUnary<OpDefinition<Acos>> {
  static float apply(const Acos& /*kind*/, float x) { return std::acos(x); }
};

template <>
struct OpDefinition<Atan> : ElementwiseUnary<OpDefinition<Atan>> {
  static float apply(const Atan& /*kind*/, float x) { return std::atan(x); }
};

template <>
struct OpDefinition<Sinh> : ElementwiseUnary<OpDefinition<Sinh>> {
  static float apply(const Sinh& /*kind*/, float x) { return std::sinh(x); }
};

template <>
struct OpDefinition<Cosh> : ElementwiseUnary<OpDefinition<Cosh>> {
  static float apply(const Cosh& /*kind*/, float x) { return std::cosh(x); }
};

template <>
struct OpDefinition<Asinh> : ElementwiseUnary<OpDefinition<Asinh>> {
  static float apply(const Asinh& /*kind*/, float x) { return std::asinh(x); }
};

template <>
struct OpDefinition<Acosh> : ElementwiseUnary<OpDefinition<Acosh>> {
  static float apply(const Acosh& /*kind*/, float x) { return std::acosh(x); }
};

template <>
struct OpDefinition<Atanh> : ElementwiseUnary<OpDefinition<Atanh>> {
  static float apply(const Atanh& /*kind*/, float x) { return std::atanh(x); }
};

template <>
struct OpDefinition<Clip> : ElementwiseUnary<OpDefinition<Clip>> {
  // NaN stays NaN; where min > max every element becomes max.
  static float apply(const Clip& kind, float x) {
    const float raised = x < kind.min ? kind.min : x;
    return raised > kind.max ? kind.max : raised;
  }
};

}  // namespace orvo_compiler::detail
