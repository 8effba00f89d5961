// Operation kinds that normalise or reduce along an axis: layer_norm and
// reduce_mean over the last axis, softmax over any. layer_norm and softmax
// run the reference kernels; reduce_mean sums each row first to last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "graph/op_definition.hpp"
#include "graph/ops_data_movement.hpp"
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

}  // namespace orvo_compiler::detail
