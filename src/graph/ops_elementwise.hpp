// Element-wise operation kinds: those of two inputs that broadcast (add, sub,
// mul, div), those of one (gelu, erf, tanh, sqrt, the activations and the maths
// functions), and those of several inputs that broadcast (max, min, sum, mean,
// pow, mod, prelu, the comparisons, the logical ones, where). Each gives its
// element function only; its family gives the shape and type rules and the loop.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
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

// ---- Functions of several tensors that broadcast ---------------------------
// Every operand is read in place through a BroadcastReader: output element i
// (row-major) combines the element numpy's broadcast places there.

// Output element i is `element(at)`, where at[k] is operand k's flat index
// for output element i.
template <class T, class Element>
std::vector<T> broadcast_map(const KernelInputs& inputs, Element element) {
  const Shape& output_shape = inputs.output_shape();
  std::vector<BroadcastReader> readers;
  readers.reserve(inputs.size());
  for (std::size_t position = 0; position < inputs.size(); ++position) {
    readers.emplace_back(inputs.shape(position), output_shape);
  }
  std::vector<std::uint64_t> at(inputs.size());
  std::vector<T> output(elements_of(output_shape));
  for (T& value : output) {
    for (std::size_t position = 0; position < readers.size(); ++position) {
      at[position] = readers[position].next();
    }
    value = element(std::span<const std::uint64_t>(at));
  }
  return output;
}

// The type rule "inputs of one element type among `allowed`", the output's
// type `result` (or the inputs' when it is nothing).
inline Result<DType> one_type_of(std::string_view operation, const InputTypes& types, std::string_view name,
                                 std::initializer_list<DType> allowed, std::optional<DType> result) {
  Result<DType> dtype = same_dtype(operation, types, name);
  if (!dtype) {
    return dtype;
  }
  if (std::ranges::find(allowed, *dtype) == allowed.end()) {
    std::string names;
    for (const DType each : allowed) {
      names += fmt::format("{}{}", names.empty() ? "" : " or ", each);
    }
    return rule_error(name, fmt::format("{} takes {} inputs, not {}", operation, names, *dtype));
  }
  return result.value_or(*dtype);
}

// One or more inputs of one type (F32 or I64) that broadcast, folded first
// to last by `Definition::combine(accumulated, next)`; `Definition::finish`,
// where it has one, then maps each F32 result given the input count.
template <class Definition>
struct ElementwiseVariadic {
  static constexpr std::size_t arity = variadic;

  // A function, not a constant: the kind's definition derives from this
  // class, and is complete only once a member body is instantiated.
  static constexpr bool finishes() { return requires { Definition::finish(1.0F, std::size_t{1}); }; }

  static Result<Shape> output_shape(const auto& /*kind*/, const InputShapes& inputs, std::string_view name) {
    return broadcast_all(inputs, name);
  }

  template <class Kind>
  static Result<DType> output_dtype(const Kind& /*kind*/, const InputTypes& types, std::string_view name) {
    if constexpr (finishes()) {
      return one_type_of(Kind::info.operation, types, name, {DType::F32}, std::nullopt);
    } else {
      return one_type_of(Kind::info.operation, types, name, {DType::F32, DType::I64}, std::nullopt);
    }
  }

  static Result<TensorData> evaluate(const auto& /*kind*/, KernelInputs& inputs) {
    return with_element_type(inputs.dtype(0), [&]<class T>(std::type_identity<T>) -> Result<TensorData> {
      if constexpr (std::is_same_v<T, std::uint8_t>) {
        return std::unexpected(CompileError::graph(fmt::format("evaluate: {}: Bool inputs", inputs.name())));
      } else {
        std::vector<std::span<const T>> operands;
        for (std::size_t position = 0; position < inputs.size(); ++position) {
          operands.push_back(inputs.template operand_as<T>(position));
        }
        std::vector<T> output = broadcast_map<T>(inputs, [&](std::span<const std::uint64_t> at) {
          T value = operands[0][at[0]];
          for (std::size_t position = 1; position < operands.size(); ++position) {
            value = Definition::combine(value, operands[position][at[position]]);
          }
          return value;
        });
        // Two tests: the outer one does not depend on T, so that for a kind
        // without `finish` the call is never looked at.
        if constexpr (finishes()) {
          if constexpr (std::is_same_v<T, float>) {
            for (T& value : output) {
              value = Definition::finish(value, operands.size());
            }
          }
        }
        return output;
      }
    });
  }
};

// The larger (or smaller) of two values; a NaN on either side gives that NaN
// (the first one's when both are).
template <class T>
T larger(T left, T right) {
  if (left != left) {
    return left;
  }
  if (right != right) {
    return right;
  }
  return left < right ? right : left;
}
template <class T>
T smaller(T left, T right) {
  if (left != left) {
    return left;
  }
  if (right != right) {
    return right;
  }
  return right < left ? right : left;
}

template <>
struct OpDefinition<Max> : ElementwiseVariadic<OpDefinition<Max>> {
  template <class T>
  static T combine(T left, T right) {
    return larger(left, right);
  }
};

template <>
struct OpDefinition<Min> : ElementwiseVariadic<OpDefinition<Min>> {
  template <class T>
  static T combine(T left, T right) {
    return smaller(left, right);
  }
};

template <>
struct OpDefinition<Sum> : ElementwiseVariadic<OpDefinition<Sum>> {
  template <class T>
  static T combine(T left, T right) {
    if constexpr (std::is_same_v<T, std::int64_t>) {
      return wrapping(static_cast<std::uint64_t>(left) + static_cast<std::uint64_t>(right));
    } else {
      return left + right;
    }
  }
};

template <>
struct OpDefinition<Mean> : ElementwiseVariadic<OpDefinition<Mean>> {
  template <class T>
  static T combine(T left, T right) {
    return left + right;
  }
  static float finish(float sum, std::size_t count) { return sum / static_cast<float>(count); }
};

// Two inputs of one element type that broadcast, compared element by element
// by `Definition::test(left, right)` into a Bool output. F32 and I64 operands
// (Bool too where `Definition::takes_bool`).
template <class Definition>
struct Comparison {
  static constexpr std::size_t arity = 2;

  static Result<Shape> output_shape(const auto& /*kind*/, const InputShapes& inputs, std::string_view name) {
    return broadcast_all(inputs, name);
  }

  template <class Kind>
  static Result<DType> output_dtype(const Kind& /*kind*/, const InputTypes& types, std::string_view name) {
    if constexpr (requires { Definition::takes_bool; }) {
      return one_type_of(Kind::info.operation, types, name, {DType::F32, DType::I64, DType::Bool}, DType::Bool);
    } else {
      return one_type_of(Kind::info.operation, types, name, {DType::F32, DType::I64}, DType::Bool);
    }
  }

  static Result<TensorData> evaluate(const auto& /*kind*/, KernelInputs& inputs) {
    return with_element_type(inputs.dtype(0), [&]<class T>(std::type_identity<T>) -> Result<TensorData> {
      const std::span<const T> left = inputs.template operand_as<T>(0);
      const std::span<const T> right = inputs.template operand_as<T>(1);
      return broadcast_map<std::uint8_t>(inputs, [&](std::span<const std::uint64_t> at) {
        return static_cast<std::uint8_t>(Definition::test(left[at[0]], right[at[1]]) ? 1 : 0);
      });
    });
  }
};

template <>
struct OpDefinition<Equal> : Comparison<OpDefinition<Equal>> {
  static constexpr bool takes_bool = true;
  static bool test(auto left, auto right) { return left == right; }
};

template <>
struct OpDefinition<Less> : Comparison<OpDefinition<Less>> {
  static bool test(auto left, auto right) { return left < right; }
};

template <>
struct OpDefinition<Greater> : Comparison<OpDefinition<Greater>> {
  static bool test(auto left, auto right) { return left > right; }
};

template <>
struct OpDefinition<LessOrEqual> : Comparison<OpDefinition<LessOrEqual>> {
  static bool test(auto left, auto right) { return left <= right; }
};

template <>
struct OpDefinition<GreaterOrEqual> : Comparison<OpDefinition<GreaterOrEqual>> {
  static bool test(auto left, auto right) { return left >= right; }
};

// Bool inputs (one or two) that broadcast, combined by `Definition::test`.
template <class Definition, std::size_t count>
struct Logical {
  static constexpr std::size_t arity = count;

  static Result<Shape> output_shape(const auto& /*kind*/, const InputShapes& inputs, std::string_view name) {
    return broadcast_all(inputs, name);
  }

  template <class Kind>
  static Result<DType> output_dtype(const Kind& /*kind*/, const InputTypes& types, std::string_view name) {
    return one_type_of(Kind::info.operation, types, name, {DType::Bool}, std::nullopt);
  }

  static std::vector<std::uint8_t> evaluate(const auto& /*kind*/, KernelInputs& inputs) {
    const std::span<const std::uint8_t> left = inputs.operand_as<std::uint8_t>(0);
    if constexpr (count == 1) {
      std::vector<std::uint8_t> output(left.size());
      for (std::size_t i = 0; i < left.size(); ++i) {
        output[i] = Definition::test(left[i] != 0, false) ? 1 : 0;
      }
      return output;
    } else {
      const std::span<const std::uint8_t> right = inputs.operand_as<std::uint8_t>(1);
      return broadcast_map<std::uint8_t>(inputs, [&](std::span<const std::uint64_t> at) {
        return static_cast<std::uint8_t>(Definition::test(left[at[0]] != 0, right[at[1]] != 0) ? 1 : 0);
      });
    }
  }
};

template <>
struct OpDefinition<Not> : Logical<OpDefinition<Not>, 1> {
  static bool test(bool value, bool /*unused*/) { return !value; }
};

template <>
struct OpDefinition<And> : Logical<OpDefinition<And>, 2> {
  static bool test(bool left, bool right) { return left && right; }
};

template <>
struct OpDefinition<Or> : Logical<OpDefinition<Or>, 2> {
  static bool test(bool left, bool right) { return left || right; }
};

template <>
struct OpDefinition<Xor> : Logical<OpDefinition<Xor>, 2> {
  static bool test(bool left, bool right) { return left != right; }
};

template <>
struct OpDefinition<Where> {
  static constexpr std::size_t arity = 3;

  static Result<Shape> output_shape(const Where& /*kind*/, const InputShapes& inputs, std::string_view name) {
    return broadcast_all(inputs, name);
  }

  static Result<DType> output_dtype(const Where& /*kind*/, const InputTypes& types, std::string_view name) {
    if (types[0] != DType::Bool) {
      return rule_error(name, fmt::format("where takes a Bool condition, not {}", types[0]));
    }
    if (types[1] != types[2]) {
      return rule_error(name, fmt::format("where takes values of one element type, not {} and {}", types[1],
                                          types[2]));
    }
    return types[1];
  }

  static Result<TensorData> evaluate(const Where& /*kind*/, KernelInputs& inputs) {
    const std::span<const std::uint8_t> condition = inputs.operand_as<std::uint8_t>(0);
    return with_element_type(inputs.dtype(1), [&]<class T>(std::type_identity<T>) -> Result<TensorData> {
      const std::span<const T> chosen = inputs.template operand_as<T>(1);
      const std::span<const T> otherwise = inputs.template operand_as<T>(2);
      return broadcast_map<T>(inputs, [&](std::span<const std::uint64_t> at) {
        return condition[at[0]] != 0 ? chosen[at[1]] : otherwise[at[2]];
      });
    });
  }
};

// The float base and its exponent (F32 or I64) broadcast; each element is
// float(pow(double(base), double(exponent))), glibc's double pow.
template <>
struct OpDefinition<Pow> {
  static constexpr std::size_t arity = 2;

  static Result<Shape> output_shape(const Pow& /*kind*/, const InputShapes& inputs, std::string_view name) {
    return broadcast_all(inputs, name);
  }

  static Result<DType> output_dtype(const Pow& /*kind*/, const InputTypes& types, std::string_view name) {
    if (types[0] != DType::F32) {
      return rule_error(name, fmt::format("pow takes an F32 base, not {}", types[0]));
    }
    if (types[1] == DType::Bool) {
      return rule_error(name, "pow takes an F32 or I64 exponent, not Bool");
    }
    return DType::F32;
  }

  static Result<TensorData> evaluate(const Pow& /*kind*/, KernelInputs& inputs) {
    const std::span<const float> base = inputs.operand(0);
    return with_element_type(inputs.dtype(1), [&]<class T>(std::type_identity<T>) -> Result<TensorData> {
      const std::span<const T> exponent = inputs.template operand_as<T>(1);
      return broadcast_map<float>(inputs, [&](std::span<const std::uint64_t> at) {
        return static_cast<float>(std::pow(static_cast<double>(base[at[0]]), static_cast<double>(exponent[at[1]])));
      });
    });
  }
};

// x, or slope x where x < 0; the slope broadcasts to x's shape.
template <>
struct OpDefinition<PRelu> {
  static constexpr std::size_t arity = 2;

  static Result<Shape> output_shape(const PRelu& /*kind*/, const InputShapes& inputs, std::string_view name) {
    Result<Shape> shape = broadcast_all(inputs, name);
    if (shape && *shape != inputs[0]) {
      return rule_error(name, fmt::format("the slope {} does not broadcast to {}", shape_text(inputs[1]),
                                          shape_text(inputs[0])));
    }
    return shape;
  }

  static std::vector<float> evaluate(const PRelu& /*kind*/, KernelInputs& inputs) {
    const std::span<const float> x = inputs.operand(0);
    const std::span<const float> slope = inputs.operand(1);
    return broadcast_map<float>(inputs, [&](std::span<const std::uint64_t> at) {
      const float value = x[at[0]];
      return value < 0.0F ? slope[at[1]] * value : value;
    });
  }
};

// The remainder, of F32 or I64 operands that broadcast. Truncated (fmod 1):
// the sign of the dividend, C's fmod (exact for floats). Floored (fmod 0):
// that remainder plus the divisor where the two signs differ and it is not
// zero. An integer divisor of zero is an error.
template <>
struct OpDefinition<Mod> {
  static constexpr std::size_t arity = 2;

  static Result<Shape> output_shape(const Mod& /*kind*/, const InputShapes& inputs, std::string_view name) {
    return broadcast_all(inputs, name);
  }

  static Result<DType> output_dtype(const Mod& /*kind*/, const InputTypes& types, std::string_view name) {
    return one_type_of("mod", types, name, {DType::F32, DType::I64}, std::nullopt);
  }

  static float remainder(float left, float right, bool floored) {
    const float truncated = std::fmod(left, right);
    if (floored && truncated != 0.0F && (truncated < 0.0F) != (right < 0.0F)) {
      return truncated + right;
    }
    return truncated;
  }

  static std::int64_t remainder(std::int64_t left, std::int64_t right, bool floored) {
    // right is not 0; -1 divides everything (and INT64_MIN % -1 would trap).
    const std::int64_t truncated = right == -1 ? 0 : left % right;
    if (floored && truncated != 0 && (truncated < 0) != (right < 0)) {
      return truncated + right;
    }
    return truncated;
  }

  static Result<TensorData> evaluate(const Mod& kind, KernelInputs& inputs) {
    const bool floored = kind.fmod == 0;
    return with_element_type(inputs.dtype(0), [&]<class T>(std::type_identity<T>) -> Result<TensorData> {
      if constexpr (std::is_same_v<T, std::uint8_t>) {
        return std::unexpected(CompileError::graph(fmt::format("evaluate: {}: Bool inputs", inputs.name())));
      } else {
        const std::span<const T> left = inputs.template operand_as<T>(0);
        const std::span<const T> right = inputs.template operand_as<T>(1);
        if constexpr (std::is_same_v<T, std::int64_t>) {
          if (std::ranges::find(right, T{0}) != right.end()) {
            return std::unexpected(
                CompileError::graph(fmt::format("evaluate: {}: integer division by zero", inputs.name())));
          }
        }
        return broadcast_map<T>(inputs, [&](std::span<const std::uint64_t> at) {
          return remainder(left[at[0]], right[at[1]], floored);
        });
      }
    });
  }
};

}  // namespace orvo_compiler::detail
