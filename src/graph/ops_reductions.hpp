// Operation kinds that reduce or accumulate along axes: the ten reductions
// over any set of axes (one kind each, sharing one shape rule and one walk),
// ArgMax and ArgMin, and the running sums of CumSum. Every sum runs first to last along the
// reduced axes, in row-major order of the reduced index space.
#pragma once

#include <cmath>
#include <cstddef>
#include <type_traits>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "graph/op_definition.hpp"
#include "graph/ops_data_movement.hpp"
#include "kernels/exact_math.hpp"

namespace orvo_compiler::detail {

// The natural logarithm of `x` rounded once to float from a double-precision
// evaluation that uses only IEEE double additions, multiplications and
// divisions (and the exact frexp), so every machine gives the same bits:
// x = 2^e m with m in [sqrt(1/2), sqrt(2)), log m = 2 atanh(s) with
// s = (m - 1) / (m + 1), |s| < 0.172, summed by Horner's rule to s^25 (the
// first term left out is below 2^-66 of the result). The double result is
// within a few units of its last place, so the float is the correctly rounded
// one except where the exact logarithm lies that close to a halfway point;
// no such argument is claimed absent. NaN gives a quiet NaN, negative
// arguments NaN, ±0 -inf, +inf +inf.
inline float log_f32(float x) {
  if (std::isnan(x)) {
    return x + x;
  }
  if (x < 0.0F) {
    return std::numeric_limits<float>::quiet_NaN();
  }
  if (x == 0.0F) {
    return -std::numeric_limits<float>::infinity();
  }
  if (std::isinf(x)) {
    return x;
  }
  int exponent = 0;
  double mantissa = std::frexp(static_cast<double>(x), &exponent);
  if (mantissa < 0.70710678118654752440) {
    mantissa = mantissa * 2.0;
    exponent = exponent - 1;
  }
  const double s = (mantissa - 1.0) / (mantissa + 1.0);
  const double s2 = s * s;
  double series = 1.0 / 25.0;
  for (int odd = 23; odd >= 1; odd -= 2) {
    series = series * s2 + 1.0 / static_cast<double>(odd);
  }
  constexpr double ln2 = 0.69314718055994530942;
  const double log_mantissa = 2.0 * s * series;
  return static_cast<float>(static_cast<double>(exponent) * ln2 + log_mantissa);
}

// A shape split around one axis: `outer` index blocks before it, its
// `length`, and `inner` elements after it; element (o, k, i) sits at
// (o x length + k) x inner + i.
struct AxisSplit {
  std::uint64_t outer = 1;
  std::uint64_t length = 1;
  std::uint64_t inner = 1;
};

inline AxisSplit split_at(const Shape& shape, std::uint64_t axis) {
  AxisSplit split;
  for (std::uint64_t position = 0; position < shape.size(); ++position) {
    if (position < axis) {
      split.outer *= shape[position];
    } else if (position == axis) {
      split.length = shape[position];
    } else {
      split.inner *= shape[position];
    }
  }
  return split;
}

// The arithmetic of each reduction: the total starts at `initial`, takes
// every element by `step(total, element)` in order, and `finish(total, count)`
// turns it into the result (count is the number of elements reduced).
template <class Function>
struct ReductionSteps;

template <>
struct ReductionSteps<reduction::Sum> {
  static constexpr float initial = -0.0F;
  static float step(float total, float value) { return total + value; }
  static float finish(float total, std::uint64_t /*count*/) { return total; }
};
template <>
struct ReductionSteps<reduction::Mean> {
  static constexpr float initial = -0.0F;
  static float step(float total, float value) { return total + value; }
  static float finish(float total, std::uint64_t count) { return total / static_cast<float>(count); }
};
// A NaN element makes the result NaN; of equal elements the first is kept.
// Both selections are written without a branch, so loops of them vectorise.
template <>
struct ReductionSteps<reduction::Max> {
  static constexpr float initial = -std::numeric_limits<float>::infinity();
  static float step(float total, float value) {
    const float larger = value > total ? value : total;
    return std::isnan(value) ? value : larger;
  }
  static float finish(float total, std::uint64_t /*count*/) { return total; }
};
template <>
struct ReductionSteps<reduction::Min> {
  static constexpr float initial = std::numeric_limits<float>::infinity();
  static float step(float total, float value) {
    const float smaller = value < total ? value : total;
    return std::isnan(value) ? value : smaller;
  }
  static float finish(float total, std::uint64_t /*count*/) { return total; }
};
template <>
struct ReductionSteps<reduction::Prod> {
  static constexpr float initial = 1.0F;
  static float step(float total, float value) { return total * value; }
  static float finish(float total, std::uint64_t /*count*/) { return total; }
};
template <>
struct ReductionSteps<reduction::L1> {
  static constexpr float initial = -0.0F;
  static float step(float total, float value) { return total + std::fabs(value); }
  static float finish(float total, std::uint64_t /*count*/) { return total; }
};
template <>
struct ReductionSteps<reduction::L2> {
  static constexpr float initial = -0.0F;
  static float step(float total, float value) { return total + value * value; }
  static float finish(float total, std::uint64_t /*count*/) { return std::sqrt(total); }
};
template <>
struct ReductionSteps<reduction::SumSquare> {
  static constexpr float initial = -0.0F;
  static float step(float total, float value) { return total + value * value; }
  static float finish(float total, std::uint64_t /*count*/) { return total; }
};
template <>
struct ReductionSteps<reduction::LogSum> {
  static constexpr float initial = -0.0F;
  static float step(float total, float value) { return total + value; }
  static float finish(float total, std::uint64_t /*count*/) { return log_f32(total); }
};
template <>
struct ReductionSteps<reduction::LogSumExp> {
  static constexpr float initial = -0.0F;
  static float step(float total, float value) { return total + exp_f32(value); }
  static float finish(float total, std::uint64_t /*count*/) { return log_f32(total); }
};

// The output shape of a reduction of `input` over `axes`, or the reason there
// is none: the axes must be ascending, distinct and below the rank, at least
// one, and without keepdims at least one axis must remain.
inline Result<Shape> reduced_shape(std::string_view operation, const Shape& input,
                                   const std::vector<std::uint64_t>& axes, bool keepdims, std::string_view name) {
  if (axes.empty()) {
    return rule_error(name, fmt::format("{} needs at least one axis", operation));
  }
  for (std::size_t position = 0; position < axes.size(); ++position) {
    if (axes[position] >= input.size() || (position > 0 && axes[position] <= axes[position - 1])) {
      return rule_error(name, fmt::format("{} axes [{}] do not fit a rank-{} input; they must ascend and be below "
                                          "the rank",
                                          operation, fmt::join(axes, ", "), input.size()));
    }
  }
  if (!keepdims && axes.size() == input.size()) {
    return rule_error(name, fmt::format("{} of every axis without keepdims leaves no axis", operation));
  }
  Shape output;
  std::size_t next = 0;
  for (std::uint64_t axis = 0; axis < input.size(); ++axis) {
    if (next < axes.size() && axes[next] == axis) {
      ++next;
      if (keepdims) {
        output.push_back(1);
      }
      continue;
    }
    output.push_back(input[axis]);
  }
  return output;
}

// Calls visit(position, target) for every element of `shape` in row-major
// order, with target = the sum of its index times `strides` (0 for the axes
// the target does not depend on).
template <class Visit>
void walk_targets(const Shape& shape, const Strides& strides, Visit&& visit) {
  const std::size_t rank = shape.size();
  const std::uint64_t row = shape.back();
  const std::uint64_t step = strides.back();
  std::uint64_t elements = 1;
  for (const std::uint64_t dimension : shape) {
    elements *= dimension;
  }
  std::vector<std::uint64_t> index(rank, 0);
  std::uint64_t offset = 0;
  for (std::uint64_t position = 0; position < elements; position += row) {
    for (std::uint64_t column = 0; column < row; ++column) {
      visit(position + column, offset + column * step);
    }
    for (std::size_t axis = rank - 1; axis-- > 0;) {
      if (++index[axis] < shape[axis]) {
        offset += strides[axis];
        break;
      }
      offset -= strides[axis] * (shape[axis] - 1);
      index[axis] = 0;
    }
  }
}

// Each reduction: the output shape by reduced_shape, the values by one pass
// over the input in row-major order, each element folded into the total of
// its output element (so each total takes its elements in row-major order of
// the reduced axes).
template <class Function>
struct OpDefinition<Reduction<Function>> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const Reduction<Function>& kind, const InputShapes& inputs,
                                    std::string_view name) {
    return reduced_shape(Function::info.operation, inputs[0], kind.axes, kind.keepdims, name);
  }

  static std::vector<float> evaluate(const Reduction<Function>& kind, KernelInputs& inputs) {
    using Steps = ReductionSteps<Function>;
    const Shape& shape = inputs.shape(0);
    Shape kept = shape;
    std::uint64_t count = 1;
    for (const std::uint64_t axis : kind.axes) {
      count *= shape[axis];
      kept[axis] = 1;
    }
    Strides strides = row_major_strides(kept);
    for (const std::uint64_t axis : kind.axes) {
      strides[axis] = 0;
    }
    std::uint64_t outputs = 1;
    for (const std::uint64_t dimension : kept) {
      outputs *= dimension;
    }
    const std::span<const float> input = inputs.operand(0);
    std::vector<float> totals(outputs, Steps::initial);
    walk_targets(shape, strides, [&](std::uint64_t position, std::uint64_t target) {
      totals[target] = Steps::step(totals[target], input[position]);
    });
    for (float& total : totals) {
      total = Steps::finish(total, count);
    }
    return totals;
  }
};

// Running sums along `axis`, which the input must have.
template <>
struct OpDefinition<CumSum> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const CumSum& kind, const InputShapes& inputs, std::string_view name) {
    if (kind.axis >= inputs[0].size()) {
      return rule_error(name, "cum_sum axis out of range");
    }
    return inputs[0];
  }

  // F32 or I64, which the output keeps.
  static Result<DType> output_dtype(const CumSum& /*kind*/, const InputTypes& types, std::string_view name) {
    if (types[0] == DType::Bool) {
      return rule_error(name, "cum_sum takes F32 or I64 inputs, not Bool");
    }
    return types[0];
  }

  // The inclusive sums are numpy's partial sums (from -0.0, total + element);
  // an exclusive sum is the inclusive sum one index earlier, +0.0 first.
  template <class Value, class Add>
  static std::vector<Value> running_sums(const CumSum& kind, const Shape& shape, std::span<const Value> input,
                                         Value start, Add add) {
    const AxisSplit split = split_at(shape, kind.axis);
    std::vector<Value> output(input.size());
    for (std::uint64_t outer = 0; outer < split.outer; ++outer) {
      for (std::uint64_t inner = 0; inner < split.inner; ++inner) {
        Value total = start;
        for (std::uint64_t step = 0; step < split.length; ++step) {
          const std::uint64_t k = kind.reverse ? split.length - 1 - step : step;
          const std::uint64_t at = (outer * split.length + k) * split.inner + inner;
          if (kind.exclusive) {
            output[at] = step == 0 ? Value{0} : total;
            total = add(total, input[at]);
          } else {
            total = add(total, input[at]);
            output[at] = total;
          }
        }
      }
    }
    return output;
  }

  // I64 sums wrap modulo 2^64.
  static TensorData evaluate(const CumSum& kind, KernelInputs& inputs) {
    if (inputs.dtype(0) == DType::I64) {
      return running_sums<std::int64_t>(kind, inputs.shape(0), inputs.operand_as<std::int64_t>(0), 0,
                                        [](std::int64_t total, std::int64_t value) {
                                          return static_cast<std::int64_t>(static_cast<std::uint64_t>(total) +
                                                                           static_cast<std::uint64_t>(value));
                                        });
    }
    return running_sums<float>(kind, inputs.shape(0), inputs.operand(0), -0.0F,
                               [](float total, float value) { return total + value; });
  }
};

// ArgMax and ArgMin: which of two elements is preferred as the answer. A NaN
// is preferred to any number (numpy's rule), the first NaN to later ones
// unless the last index is selected, as is the last of equal elements.
struct Larger {
  static constexpr const char* operation = "arg_max";
  template <class Value>
  static bool beyond(Value candidate, Value leader) {
    return candidate > leader;
  }
};
struct Smaller {
  static constexpr const char* operation = "arg_min";
  template <class Value>
  static bool beyond(Value candidate, Value leader) {
    return candidate < leader;
  }
};

template <class Order, class Kind>
struct ArgDefinition {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const Kind& kind, const InputShapes& inputs, std::string_view name) {
    const Shape& input = inputs[0];
    if (kind.axis >= input.size()) {
      return rule_error(name, fmt::format("{} axis out of range", Order::operation));
    }
    if (!kind.keepdims && input.size() == 1) {
      return rule_error(name, fmt::format("{} of the only axis without keepdims leaves no axis", Order::operation));
    }
    Shape output = input;
    if (kind.keepdims) {
      output[kind.axis] = 1;
    } else {
      output.erase(output.begin() + static_cast<std::ptrdiff_t>(kind.axis));
    }
    return output;
  }

  // F32 or I64 inputs; the output is I64.
  static Result<DType> output_dtype(const Kind& /*kind*/, const InputTypes& types, std::string_view name) {
    if (types[0] == DType::Bool) {
      return rule_error(name, fmt::format("{} takes F32 or I64 inputs, not Bool", Order::operation));
    }
    return DType::I64;
  }

  template <class Value>
  static bool preferred(Value candidate, Value leader, bool last) {
    if constexpr (std::is_floating_point_v<Value>) {
      if (std::isnan(leader)) {
        return last && std::isnan(candidate);
      }
      if (std::isnan(candidate)) {
        return true;
      }
    }
    return Order::beyond(candidate, leader) || (last && candidate == leader);
  }

  template <class Value>
  static std::vector<std::int64_t> indices(const Kind& kind, const Shape& shape, std::span<const Value> input) {
    const AxisSplit split = split_at(shape, kind.axis);
    std::vector<std::int64_t> output(split.outer * split.inner);
    for (std::uint64_t outer = 0; outer < split.outer; ++outer) {
      for (std::uint64_t inner = 0; inner < split.inner; ++inner) {
        const std::uint64_t first = outer * split.length * split.inner + inner;
        std::uint64_t best = 0;
        for (std::uint64_t k = 1; k < split.length; ++k) {
          if (preferred(input[first + k * split.inner], input[first + best * split.inner], kind.select_last_index)) {
            best = k;
          }
        }
        output[outer * split.inner + inner] = static_cast<std::int64_t>(best);
      }
    }
    return output;
  }

  static TensorData evaluate(const Kind& kind, KernelInputs& inputs) {
    if (inputs.dtype(0) == DType::I64) {
      return indices(kind, inputs.shape(0), inputs.operand_as<std::int64_t>(0));
    }
    return indices(kind, inputs.shape(0), inputs.operand(0));
  }
};

template <>
struct OpDefinition<ArgMax> : ArgDefinition<Larger, ArgMax> {};
template <>
struct OpDefinition<ArgMin> : ArgDefinition<Smaller, ArgMin> {};

}  // namespace orvo_compiler::detail
