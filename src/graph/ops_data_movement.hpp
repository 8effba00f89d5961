// Operation kinds that move elements without computing: reshape, transpose,
// broadcast and slice, with the strided gather their kernels share. Their
// kernels copy bits, so their results are exact.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "graph/op_definition.hpp"
#include "support/render.hpp"

namespace orvo_compiler::detail {

using Strides = std::vector<std::uint64_t>;

// The product of the dimensions; nothing when it does not fit in 64 bits.
inline std::optional<std::uint64_t> checked_element_count(const Shape& shape) {
  std::uint64_t count = 1;
  for (const std::uint64_t dimension : shape) {
    if (dimension != 0 && count > std::numeric_limits<std::uint64_t>::max() / dimension) {
      return std::nullopt;
    }
    count *= dimension;
  }
  return count;
}

// numpy's rule: aligned from the right, each source dimension 1 or equal.
inline bool broadcasts_to(const Shape& source, const Shape& target) {
  if (source.size() > target.size()) {
    return false;
  }
  const std::size_t offset = target.size() - source.size();
  for (std::size_t axis = 0; axis < source.size(); ++axis) {
    if (source[axis] != 1 && source[axis] != target[offset + axis]) {
      return false;
    }
  }
  return true;
}

inline Strides row_major_strides(const Shape& shape) {
  Strides strides(shape.size(), 1);
  for (std::size_t axis = shape.size(); axis-- > 1;) {
    strides[axis - 1] = strides[axis] * shape[axis];
  }
  return strides;
}

// The elements source[sum of index[axis] x strides[axis]] for every index of
// `shape`, in row-major order. A stride of 0 repeats an element along its axis.
template <class T>
std::vector<T> gather_strided(const T* source, const Shape& shape, const Strides& strides) {
  std::vector<T> output(elements_of(shape));
  const std::size_t rank = shape.size();
  const std::uint64_t row = shape.back();
  const std::uint64_t step = strides.back();
  std::vector<std::uint64_t> index(rank, 0);
  std::uint64_t offset = 0;
  for (std::size_t position = 0; position < output.size(); position += row) {
    const T* const first = source + offset;
    for (std::uint64_t column = 0; column < row; ++column) {
      output[position + column] = first[column * step];
    }
    // Advance the index of the leading axes, the last of them fastest.
    for (std::size_t axis = rank - 1; axis-- > 0;) {
      if (++index[axis] < shape[axis]) {
        offset += strides[axis];
        break;
      }
      offset -= (shape[axis] - 1) * strides[axis];
      index[axis] = 0;
    }
  }
  return output;
}

// The elements of `data` read by `gather_strided` from `first` on, in the
// list of their own element type.
inline TensorData gather_any(const TensorData& data, std::uint64_t first, const Shape& shape, const Strides& strides) {
  return std::visit([&](const auto& values) -> TensorData { return gather_strided(values.data() + first, shape, strides); },
                    data);
}

// Element j is sizes[permutation[j]].
inline std::vector<std::uint64_t> reordered(const std::vector<std::uint64_t>& sizes,
                                            std::span<const std::uint64_t> permutation) {
  std::vector<std::uint64_t> result;
  result.reserve(permutation.size());
  for (const std::uint64_t axis : permutation) {
    result.push_back(sizes[axis]);
  }
  return result;
}

// `values` of shape `shape` with its axes reordered: output axis j is input
// axis permutation[j].
template <class T>
std::vector<T> permuted(std::span<const T> values, const Shape& shape, std::span<const std::uint64_t> permutation) {
  return gather_strided(values.data(), reordered(shape, permutation),
                        reordered(row_major_strides(shape), permutation));
}

// The same elements in row-major order under another shape of as many elements.
template <>
struct OpDefinition<Reshape> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const Reshape& kind, const InputShapes& inputs, std::string_view name) {
    const Shape& source = inputs[0];
    const std::optional<std::uint64_t> from = checked_element_count(source);
    if (!from || from != checked_element_count(kind.shape)) {
      return rule_error(name, fmt::format("cannot reshape {} to {}", shape_text(source), shape_text(kind.shape)));
    }
    return kind.shape;
  }

  static Result<DType> output_dtype(const Reshape& /*kind*/, const InputTypes& types, std::string_view /*name*/) {
    return types[0];
  }

  static TensorData evaluate(const Reshape& /*kind*/, KernelInputs& inputs) { return inputs.take_data(0); }
};

// Output axis i is input axis permutation[i]; the permutation names each axis once.
template <>
struct OpDefinition<Transpose> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const Transpose& kind, const InputShapes& inputs, std::string_view name) {
    const Shape& source = inputs[0];
    const std::size_t rank = source.size();
    const std::set<std::uint64_t> axes(kind.permutation.begin(), kind.permutation.end());
    if (kind.permutation.size() != rank || axes.size() != rank ||
        std::ranges::any_of(kind.permutation, [rank](std::uint64_t axis) { return axis >= rank; })) {
      return rule_error(name, "invalid transpose permutation");
    }
    return reordered(source, kind.permutation);
  }

  static Result<DType> output_dtype(const Transpose& /*kind*/, const InputTypes& types, std::string_view /*name*/) {
    return types[0];
  }

  static TensorData evaluate(const Transpose& kind, KernelInputs& inputs) {
    return gather_any(inputs.data(0), 0, reordered(inputs.shape(0), kind.permutation),
                      reordered(row_major_strides(inputs.shape(0)), kind.permutation));
  }
};

// The input copied to `shape` by numpy's rules.
template <>
struct OpDefinition<Broadcast> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const Broadcast& kind, const InputShapes& inputs, std::string_view name) {
    const Shape& source = inputs[0];
    if (!broadcasts_to(source, kind.shape)) {
      return rule_error(name,
                        fmt::format("cannot broadcast {} to {}", shape_text(source), shape_text(kind.shape)));
    }
    return kind.shape;
  }

  static Result<DType> output_dtype(const Broadcast& /*kind*/, const InputTypes& types, std::string_view /*name*/) {
    return types[0];
  }

  static TensorData evaluate(const Broadcast& kind, KernelInputs& inputs) {
    const Shape& source = inputs.shape(0);
    const Strides source_strides = row_major_strides(source);
    const std::size_t offset = kind.shape.size() - source.size();
    Strides strides(kind.shape.size(), 0);
    for (std::size_t axis = 0; axis < source.size(); ++axis) {
      strides[offset + axis] = source[axis] == 1 ? 0 : source_strides[axis];
    }
    return gather_any(inputs.data(0), 0, kind.shape, strides);
  }
};

// Indices [start, end) of `axis`, which must lie inside the input.
template <>
struct OpDefinition<Slice> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const Slice& kind, const InputShapes& inputs, std::string_view name) {
    Shape shape = inputs[0];
    if (kind.axis >= shape.size() || kind.start >= kind.end || kind.end > shape[kind.axis]) {
      return rule_error(name, "slice out of range");
    }
    shape[kind.axis] = kind.end - kind.start;
    return shape;
  }

  static Result<DType> output_dtype(const Slice& /*kind*/, const InputTypes& types, std::string_view /*name*/) {
    return types[0];
  }

  static TensorData evaluate(const Slice& kind, KernelInputs& inputs) {
    const Strides strides = row_major_strides(inputs.shape(0));
    return gather_any(inputs.data(0), kind.start * strides[kind.axis], inputs.output_shape(), strides);
  }
};

}  // namespace orvo_compiler::detail
