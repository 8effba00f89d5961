// Operation kinds that normalise or reduce along an axis: layer_norm and
// reduce_mean over the last axis, softmax, log_softmax and hardmax over any.
// layer_norm and softmax run the reference kernels; reduce_mean sums each row
// first to last; log_softmax and hardmax walk their axis in place.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "graph/op_definition.hpp"
#include "graph/ops_data_movement.hpp"
#include "graph/ops_reductions.hpp"
#include "kernels/kernels_dispatch.hpp"

namespace orvo_compiler::detail {

// Each row of the last axis normalised; the output has the input's shape.
template <>
struct OpDefinition<LayerNorm> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const LayerNorm& /*kind*/, const InputShapes& inputs,
                                    std::string_view /*name*/) {
    return inputs[0];
  }

  static std::vector<float> evaluate(const LayerNorm& kind, KernelInputs& inputs) {
    const std::uint64_t columns = inputs.shape(0).back();
    std::vector<float> output = inputs.take(0);
    layer_norm_with(inputs.path(), output, output, output.size() / columns, columns, kind.epsilon);
    return output;
  }
};

// Softmax along `axis`, which the input must have.
template <>
struct OpDefinition<Softmax> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const Softmax& kind, const InputShapes& inputs, std::string_view name) {
    if (kind.axis >= inputs[0].size()) {
      return rule_error(name, "softmax axis out of range");
    }
    return inputs[0];
  }

  static std::vector<float> evaluate(const Softmax& kind, KernelInputs& inputs) {
    const Shape& shape = inputs.shape(0);
    const std::uint64_t length = shape[kind.axis];
    if (kind.axis + 1 == shape.size()) {
      std::vector<float> output = inputs.take(0);
      softmax_rows_with(inputs.path(), output, output.size() / length, length);
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
    std::vector<float> rows = permuted(inputs.operand(0), shape, to_rows);
    softmax_rows_with(inputs.path(), rows, rows.size() / length, length);
    std::vector<std::uint64_t> back(shape.size());
    for (std::uint64_t axis = 0; axis < shape.size(); ++axis) {
      back[to_rows[axis]] = axis;
    }
    return permuted(std::span<const float>(rows), reordered(shape, to_rows), back);
  }
};

// The mean over the last axis, which the output keeps with size 1; an input
// without axes has none to reduce.
template <>
struct OpDefinition<ReduceMean> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const ReduceMean& /*kind*/, const InputShapes& inputs, std::string_view name) {
    Shape shape = inputs[0];
    if (shape.empty()) {
      return rule_error(name, "reduce_mean of a scalar");
    }
    shape.back() = 1;
    return shape;
  }

  static std::vector<float> evaluate(const ReduceMean& /*kind*/, KernelInputs& inputs) {
    const std::span<const float> input = inputs.operand(0);
    const std::uint64_t columns = inputs.shape(0).back();
    const auto divisor = static_cast<float>(columns);
    std::vector<float> output(input.size() / columns);
    for (std::size_t row = 0; row < output.size(); ++row) {
      float sum = -0.0F;
      for (const float value : input.subspan(row * columns, columns)) {
        sum = sum + value;
      }
      output[row] = sum / divisor;
    }
    return output;
  }
};

// An axis of the input: the rule of softmax, log_softmax and hardmax.
inline Result<Shape> axis_kept_shape(std::string_view operation, std::uint64_t axis, const Shape& input,
                                     std::string_view name) {
  if (axis >= input.size()) {
    return rule_error(name, fmt::format("{} axis out of range", operation));
  }
  return input;
}

// Along `axis`: the maximum m (passing over NaN, from -inf, as softmax's),
// the shifted elements x - m, their exponentials summed from +0.0 as
// exponential + total in index order, and each x - m minus log of the total.
template <>
struct OpDefinition<LogSoftmax> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const LogSoftmax& kind, const InputShapes& inputs, std::string_view name) {
    return axis_kept_shape("log_softmax", kind.axis, inputs[0], name);
  }

  static std::vector<float> evaluate(const LogSoftmax& kind, KernelInputs& inputs) {
    const AxisSplit split = split_at(inputs.shape(0), kind.axis);
    std::vector<float> values = inputs.take(0);
    for (std::uint64_t outer = 0; outer < split.outer; ++outer) {
      for (std::uint64_t inner = 0; inner < split.inner; ++inner) {
        const auto at = [&](std::uint64_t k) -> float& {
          return values[(outer * split.length + k) * split.inner + inner];
        };
        float maximum = -std::numeric_limits<float>::infinity();
        for (std::uint64_t k = 0; k < split.length; ++k) {
          maximum = at(k) > maximum ? at(k) : maximum;
        }
        float total = 0.0F;
        for (std::uint64_t k = 0; k < split.length; ++k) {
          at(k) = at(k) - maximum;
          total = exp_f32(at(k)) + total;
        }
        const float log_total = log_f32(total);
        for (std::uint64_t k = 0; k < split.length; ++k) {
          at(k) = at(k) - log_total;
        }
      }
    }
    return values;
  }
};

// 1.0 at the first largest element along `axis` (a NaN counts as larger than
// any number, the first NaN winning), +0.0 elsewhere.
template <>
struct OpDefinition<Hardmax> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const Hardmax& kind, const InputShapes& inputs, std::string_view name) {
    return axis_kept_shape("hardmax", kind.axis, inputs[0], name);
  }

  static std::vector<float> evaluate(const Hardmax& kind, KernelInputs& inputs) {
    const AxisSplit split = split_at(inputs.shape(0), kind.axis);
    const std::span<const float> input = inputs.operand(0);
    std::vector<float> output(input.size(), 0.0F);
    for (std::uint64_t outer = 0; outer < split.outer; ++outer) {
      for (std::uint64_t inner = 0; inner < split.inner; ++inner) {
        const std::uint64_t first = outer * split.length * split.inner + inner;
        std::uint64_t best = 0;
        for (std::uint64_t k = 1; k < split.length; ++k) {
          const float candidate = input[first + k * split.inner];
          const float leader = input[first + best * split.inner];
          if (!std::isnan(leader) && (candidate > leader || std::isnan(candidate))) {
            best = k;
          }
        }
        output[first + best * split.inner] = 1.0F;
      }
    }
    return output;
  }
};

}  // namespace orvo_compiler::detail
