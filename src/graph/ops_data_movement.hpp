// Operation kinds that move elements without computing: reshape, transpose,
// broadcast, slice, concat, gather, tile, pad, strided slice, trilu, one-hot
// and cast, with the gathers their kernels share. Their kernels copy bits
// (Cast converts each element on its own), so their results are exact.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <type_traits>
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


// ---- Kinds of imported models: any element type ----------------------------
//
// Their kernels are written once over the element type; each output element
// is a copy of an input element (Cast converts one), so the results are
// exact. Indices read at run time (Gather, OneHot) are checked before any
// element is read.

// An evaluation error of the operation `inputs` belongs to.
inline std::unexpected<CompileError> evaluate_error(const KernelInputs& inputs, std::string_view what) {
  return std::unexpected(CompileError::graph(fmt::format("evaluate: {}: {}", inputs.name(), what)));
}

// The type rule of kinds whose output keeps the element type of input 0.
inline Result<DType> keeps_first_dtype(const InputTypes& types) { return types[0]; }

// `shape`, unless its element count does not fit in 64 bits.
inline Result<Shape> countable(Shape shape, std::string_view name) {
  if (!checked_element_count(shape)) {
    return rule_error(name, fmt::format("output shape {} is too large", shape_text(shape)));
  }
  return shape;
}

// Marks a table entry whose output element takes the fill value.
inline constexpr std::uint64_t outside = std::numeric_limits<std::uint64_t>::max();

// Output element (i0, i1, ...) of `shape` reads source[tables[0][i0] +
// tables[1][i1] + ...], or is `fill` when any of those entries is `outside`.
// Each table holds one entry per index of its axis (its offset in the source).
template <class T>
std::vector<T> gather_by_tables(std::span<const T> source, const Shape& shape,
                                const std::vector<std::vector<std::uint64_t>>& tables, T fill) {
  std::vector<T> output;
  if (shape.empty()) {
    output.push_back(source[0]);
    return output;
  }
  const std::uint64_t elements = checked_element_count(shape).value_or(0);
  output.reserve(elements);
  if (elements == 0) {
    return output;
  }
  const std::size_t last = shape.size() - 1;
  std::vector<std::uint64_t> index(shape.size(), 0);
  while (true) {
    std::uint64_t base = 0;
    bool filled = false;
    for (std::size_t axis = 0; axis < last; ++axis) {
      const std::uint64_t entry = tables[axis][index[axis]];
      filled = filled || entry == outside;
      base += entry;
    }
    for (const std::uint64_t entry : tables[last]) {
      output.push_back(filled || entry == outside ? fill : source[base + entry]);
    }
    std::size_t axis = last;
    while (axis > 0 && ++index[axis - 1] == shape[axis - 1]) {
      index[--axis] = 0;
    }
    if (axis == 0) {
      return output;
    }
  }
}

// The product of shape[first, last).
inline std::uint64_t extent(const Shape& shape, std::size_t first, std::size_t last) {
  std::uint64_t product = 1;
  for (std::size_t axis = first; axis < last; ++axis) {
    product *= shape[axis];
  }
  return product;
}

// The inputs joined along `axis`.
template <>
struct OpDefinition<Concat> {
  static constexpr std::size_t arity = variadic;

  static Result<DType> output_dtype(const Concat& /*kind*/, const InputTypes& types, std::string_view name) {
    return same_dtype(Concat::info.operation, types, name);
  }

  static Result<Shape> output_shape(const Concat& kind, const InputShapes& inputs, std::string_view name) {
    Shape shape = inputs[0];
    if (kind.axis >= shape.size()) {
      return rule_error(name, fmt::format("concat axis {} is out of range for rank {}", kind.axis, shape.size()));
    }
    for (std::size_t position = 1; position < inputs.size(); ++position) {
      const Shape& other = inputs[position];
      bool fits = other.size() == shape.size();
      for (std::size_t axis = 0; fits && axis < shape.size(); ++axis) {
        fits = axis == kind.axis || other[axis] == shape[axis];
      }
      if (!fits || other[kind.axis] > std::numeric_limits<std::uint64_t>::max() - shape[kind.axis]) {
        return rule_error(name, fmt::format("cannot concatenate {} with {} on axis {}", shape_text(inputs[0]),
                                            shape_text(other), kind.axis));
      }
      shape[kind.axis] += other[kind.axis];
    }
    return countable(std::move(shape), name);
  }

  static Result<TensorData> evaluate(const Concat& kind, KernelInputs& inputs) {
    return with_element_type(inputs.dtype(0), [&]<class T>(std::type_identity<T>) -> Result<TensorData> {
      const Shape& shape = inputs.output_shape();
      const std::uint64_t inner = extent(shape, kind.axis + 1, shape.size());
      const std::uint64_t outer = extent(shape, 0, kind.axis);
      std::vector<T> output;
      output.reserve(outer * shape[kind.axis] * inner);
      for (std::uint64_t block = 0; block < outer; ++block) {
        for (std::size_t position = 0; position < inputs.size(); ++position) {
          const std::uint64_t length = inputs.shape(position)[kind.axis] * inner;
          const std::span<const T> piece = inputs.operand_as<T>(position).subspan(block * length, length);
          output.insert(output.end(), piece.begin(), piece.end());
        }
      }
      return output;
    });
  }
};

// Entries of `axis` of input 0 picked by the I64 indices of input 1.
template <>
struct OpDefinition<Gather> {
  static constexpr std::size_t arity = 2;

  static Result<DType> output_dtype(const Gather& /*kind*/, const InputTypes& types, std::string_view name) {
    if (types[1] != DType::I64) {
      return rule_error(name, fmt::format("gather takes I64 indices, not {}", types[1]));
    }
    return types[0];
  }

  static Result<Shape> output_shape(const Gather& kind, const InputShapes& inputs, std::string_view name) {
    const Shape& data = inputs[0];
    if (kind.axis >= data.size()) {
      return rule_error(name, fmt::format("gather axis {} is out of range for rank {}", kind.axis, data.size()));
    }
    Shape shape(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(kind.axis));
    shape.insert(shape.end(), inputs[1].begin(), inputs[1].end());
    shape.insert(shape.end(), data.begin() + static_cast<std::ptrdiff_t>(kind.axis) + 1, data.end());
    return countable(std::move(shape), name);
  }

  static Result<TensorData> evaluate(const Gather& kind, KernelInputs& inputs) {
    const Shape& data = inputs.shape(0);
    const std::uint64_t size = data[kind.axis];
    const std::span<const std::int64_t> indices = inputs.operand_as<std::int64_t>(1);
    std::vector<std::uint64_t> picked;
    picked.reserve(indices.size());
    for (const std::int64_t index : indices) {
      const std::uint64_t magnitude = index < 0 ? 0 - static_cast<std::uint64_t>(index) : static_cast<std::uint64_t>(index);
      if (index < 0 ? magnitude > size : magnitude >= size) {
        return evaluate_error(inputs, fmt::format("index {} is out of range for axis {} of size {}", index,
                                                  kind.axis, size));
      }
      picked.push_back(index < 0 ? size - magnitude : magnitude);
    }
    return with_element_type(inputs.dtype(0), [&]<class T>(std::type_identity<T>) -> Result<TensorData> {
      // Row-major: for each index of the axes before `axis`, one stretch of
      // `inner` elements per picked entry.
      const std::uint64_t inner = extent(data, kind.axis + 1, data.size());
      const std::uint64_t outer = extent(data, 0, kind.axis);
      const std::span<const T> source = inputs.operand_as<T>(0);
      std::vector<T> output;
      output.reserve(outer * picked.size() * inner);
      for (std::uint64_t block = 0; block < outer; ++block) {
        for (const std::uint64_t entry : picked) {
          const std::span<const T> piece = source.subspan((block * size + entry) * inner, inner);
          output.insert(output.end(), piece.begin(), piece.end());
        }
      }
      return output;
    });
  }
};

// The input repeated along each axis.
template <>
struct OpDefinition<Tile> {
  static constexpr std::size_t arity = 1;

  static Result<DType> output_dtype(const Tile& /*kind*/, const InputTypes& types, std::string_view /*name*/) {
    return keeps_first_dtype(types);
  }

  static Result<Shape> output_shape(const Tile& kind, const InputShapes& inputs, std::string_view name) {
    const Shape& source = inputs[0];
    if (kind.repeats.size() != source.size() || std::ranges::find(kind.repeats, 0U) != kind.repeats.end()) {
      return rule_error(name, fmt::format("repeats {} do not suit shape {}", shape_text(kind.repeats),
                                          shape_text(source)));
    }
    Shape shape;
    for (std::size_t axis = 0; axis < source.size(); ++axis) {
      if (source[axis] > std::numeric_limits<std::uint64_t>::max() / kind.repeats[axis]) {
        return rule_error(name, fmt::format("{} repeated {} times is too large", shape_text(source),
                                            shape_text(kind.repeats)));
      }
      shape.push_back(source[axis] * kind.repeats[axis]);
    }
    return countable(std::move(shape), name);
  }

  static Result<TensorData> evaluate(const Tile& /*kind*/, KernelInputs& inputs) {
    const Shape& source = inputs.shape(0);
    const Shape& shape = inputs.output_shape();
    const Strides strides = row_major_strides(source);
    std::vector<std::vector<std::uint64_t>> tables(shape.size());
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
      for (std::uint64_t index = 0; index < shape[axis]; ++index) {
        tables[axis].push_back(index % source[axis] * strides[axis]);
      }
    }
    return with_element_type(inputs.dtype(0), [&]<class T>(std::type_identity<T>) -> Result<TensorData> {
      return gather_by_tables(inputs.operand_as<T>(0), shape, tables, T{});
    });
  }
};

// The input grown or cut at both ends of each axis.
template <>
struct OpDefinition<Pad> {
  static constexpr std::size_t arity = 2;

  // Pads and dimensions far below 2^63, so that their sums never overflow.
  static constexpr std::int64_t largest = std::int64_t{1} << 61;

  static Result<DType> output_dtype(const Pad& /*kind*/, const InputTypes& types, std::string_view name) {
    return same_dtype(Pad::info.operation, types, name);
  }

  static Result<Shape> output_shape(const Pad& kind, const InputShapes& inputs, std::string_view name) {
    const Shape& source = inputs[0];
    const std::size_t rank = source.size();
    if (kind.mode != "constant" && kind.mode != "reflect" && kind.mode != "edge") {
      return rule_error(name, fmt::format("pad mode \"{}\" is not constant, reflect or edge", kind.mode));
    }
    if (checked_element_count(inputs[1]) != 1) {
      return rule_error(name, fmt::format("the pad value has shape {}, not one element", shape_text(inputs[1])));
    }
    const auto refused = [&] {
      return rule_error(name, fmt::format("pads [{}] do not suit shape {} in mode {}", fmt::join(kind.pads, ", "),
                                          shape_text(source), kind.mode));
    };
    if (kind.pads.size() != 2 * rank) {
      return refused();
    }
    Shape shape;
    for (std::size_t axis = 0; axis < rank; ++axis) {
      const std::int64_t before = kind.pads[axis];
      const std::int64_t after = kind.pads[rank + axis];
      if (source[axis] > static_cast<std::uint64_t>(largest) || before < -largest || before > largest ||
          after < -largest || after > largest) {
        return refused();
      }
      const auto size = static_cast<std::int64_t>(source[axis]);
      const std::int64_t kept = size - std::max<std::int64_t>(0, -before) - std::max<std::int64_t>(0, -after);
      const std::int64_t dimension = size + before + after;
      if (dimension < 1 || (kind.mode != "constant" && kept < 1)) {
        return refused();
      }
      shape.push_back(static_cast<std::uint64_t>(dimension));
    }
    return countable(std::move(shape), name);
  }

  // For each output index of one axis, the source offset, or `outside`.
  static std::vector<std::uint64_t> table(const Pad& kind, std::uint64_t source, std::int64_t before,
                                          std::int64_t after, std::uint64_t dimension, std::uint64_t stride) {
    const auto size = static_cast<std::int64_t>(source);
    // The entries [low, high) that the cuts keep; padding mirrors or repeats these.
    const std::int64_t low = std::max<std::int64_t>(0, -before);
    const std::int64_t high = size - std::max<std::int64_t>(0, -after);
    std::vector<std::uint64_t> entries;
    entries.reserve(dimension);
    for (std::uint64_t index = 0; index < dimension; ++index) {
      std::int64_t position = static_cast<std::int64_t>(index) - before;
      if (position < low || position >= high) {
        if (kind.mode == "constant") {
          entries.push_back(outside);
          continue;
        }
        if (kind.mode == "edge") {
          position = std::clamp(position, low, high - 1);
        } else {
          // Reflection repeats with period 2 (m - 1) over the m kept entries.
          const std::int64_t kept = high - low;
          const std::int64_t period = 2 * (kept - 1);
          std::int64_t offset = period == 0 ? 0 : ((position - low) % period + period) % period;
          if (offset >= kept) {
            offset = period - offset;
          }
          position = low + offset;
        }
      }
      entries.push_back(static_cast<std::uint64_t>(position) * stride);
    }
    return entries;
  }

  static Result<TensorData> evaluate(const Pad& kind, KernelInputs& inputs) {
    const Shape& source = inputs.shape(0);
    const Shape& shape = inputs.output_shape();
    const Strides strides = row_major_strides(source);
    const std::size_t rank = source.size();
    std::vector<std::vector<std::uint64_t>> tables;
    for (std::size_t axis = 0; axis < rank; ++axis) {
      tables.push_back(table(kind, source[axis], kind.pads[axis], kind.pads[rank + axis], shape[axis], strides[axis]));
    }
    return with_element_type(inputs.dtype(0), [&]<class T>(std::type_identity<T>) -> Result<TensorData> {
      return gather_by_tables(inputs.operand_as<T>(0), shape, tables, inputs.operand_as<T>(1)[0]);
    });
  }
};

// Every steps[a]-th entry of each axis a from starts[a], shape[a] of them.
template <>
struct OpDefinition<StridedSlice> {
  static constexpr std::size_t arity = 1;

  static Result<DType> output_dtype(const StridedSlice& /*kind*/, const InputTypes& types,
                                    std::string_view /*name*/) {
    return keeps_first_dtype(types);
  }

  static Result<Shape> output_shape(const StridedSlice& kind, const InputShapes& inputs, std::string_view name) {
    const Shape& source = inputs[0];
    const std::size_t rank = source.size();
    if (kind.starts.size() != rank || kind.steps.size() != rank || kind.shape.size() != rank) {
      return rule_error(name, fmt::format("strided slice of rank {} on shape {}", kind.shape.size(),
                                          shape_text(source)));
    }
    for (std::size_t axis = 0; axis < rank; ++axis) {
      const std::uint64_t start = kind.starts[axis];
      const std::int64_t step = kind.steps[axis];
      const std::uint64_t count = kind.shape[axis];
      // The last entry read, start + (count - 1) x step, must lie in [0, size).
      const std::uint64_t stride = step < 0 ? 0 - static_cast<std::uint64_t>(step) : static_cast<std::uint64_t>(step);
      const std::uint64_t room = step < 0 ? start : source[axis] - 1 - std::min(start, source[axis] - 1);
      if (step == 0 || count == 0 || start >= source[axis] || (count - 1 > 0 && room / stride < count - 1)) {
        return rule_error(name, fmt::format("strided slice from {} by {} for {} leaves axis {} of size {}", start,
                                            step, count, axis, source[axis]));
      }
    }
    return kind.shape;
  }

  static Result<TensorData> evaluate(const StridedSlice& kind, KernelInputs& inputs) {
    const Strides strides = row_major_strides(inputs.shape(0));
    std::vector<std::vector<std::uint64_t>> tables(kind.shape.size());
    for (std::size_t axis = 0; axis < kind.shape.size(); ++axis) {
      std::uint64_t position = kind.starts[axis];
      for (std::uint64_t index = 0; index < kind.shape[axis]; ++index) {
        tables[axis].push_back(position * strides[axis]);
        // Wraps modulo 2^64 for a negative step, which the shape rule keeps at 0 or above.
        position += static_cast<std::uint64_t>(kind.steps[axis]);
      }
    }
    return with_element_type(inputs.dtype(0), [&]<class T>(std::type_identity<T>) -> Result<TensorData> {
      return gather_by_tables(inputs.operand_as<T>(0), kind.shape, tables, T{});
    });
  }
};

// Each element converted to another element type.
template <>
struct OpDefinition<Cast> {
  static constexpr std::size_t arity = 1;

  static Result<DType> output_dtype(const Cast& kind, const InputTypes& /*types*/, std::string_view /*name*/) {
    return kind.to;
  }

  static Result<Shape> output_shape(const Cast& /*kind*/, const InputShapes& inputs, std::string_view /*name*/) {
    return inputs[0];
  }

  // float to I64 truncates; -2^63 is a float, 2^63 the first one past the range.
  static Result<TensorData> to_integers(std::span<const float> values, KernelInputs& inputs) {
    constexpr float lowest = -9223372036854775808.0F;
    std::vector<std::int64_t> output;
    output.reserve(values.size());
    for (const float value : values) {
      if (!(value >= lowest && value < -lowest)) {
        return evaluate_error(inputs, fmt::format("cannot cast {} to I64", value));
      }
      output.push_back(static_cast<std::int64_t>(value));
    }
    return output;
  }

  static Result<TensorData> evaluate(const Cast& kind, KernelInputs& inputs) {
    return with_element_type(inputs.dtype(0), [&]<class From>(std::type_identity<From>) -> Result<TensorData> {
      const std::span<const From> values = inputs.operand_as<From>(0);
      if constexpr (std::is_same_v<From, float>) {
        if (kind.to == DType::I64) {
          return to_integers(values, inputs);
        }
      }
      return with_element_type(kind.to, [&]<class To>(std::type_identity<To>) -> Result<TensorData> {
        std::vector<To> output;
        output.reserve(values.size());
        for (const From value : values) {
          if constexpr (std::is_same_v<To, std::uint8_t>) {
            output.push_back(static_cast<std::uint8_t>(value != From{0}));
          } else {
            output.push_back(static_cast<To>(value));
          }
        }
        return output;
      });
    });
  }
};

// The upper or lower triangle of each matrix over the last two axes.
template <>
struct OpDefinition<Trilu> {
  static constexpr std::size_t arity = 1;

  static Result<DType> output_dtype(const Trilu& /*kind*/, const InputTypes& types, std::string_view /*name*/) {
    return keeps_first_dtype(types);
  }

  static Result<Shape> output_shape(const Trilu& /*kind*/, const InputShapes& inputs, std::string_view name) {
    if (inputs[0].size() < 2) {
      return rule_error(name, fmt::format("trilu needs matrices, not shape {}", shape_text(inputs[0])));
    }
    return inputs[0];
  }

  static Result<TensorData> evaluate(const Trilu& kind, KernelInputs& inputs) {
    const Shape& shape = inputs.shape(0);
    const std::uint64_t rows = shape[shape.size() - 2];
    const std::uint64_t columns = shape.back();
    return with_element_type(inputs.dtype(0), [&]<class T>(std::type_identity<T>) -> Result<TensorData> {
      const std::span<const T> values = inputs.operand_as<T>(0);
      std::vector<T> output(values.begin(), values.end());
      for (std::uint64_t position = 0; position < output.size(); ++position) {
        // Both below 2^63, so their difference is exact.
        const auto row = static_cast<std::int64_t>(position / columns % rows);
        const auto column = static_cast<std::int64_t>(position % columns);
        const bool kept = kind.upper ? column - row >= kind.k : column - row <= kind.k;
        if (!kept) {
          output[position] = T{0};
        }
      }
      return output;
    });
  }
};

// One-hot rows along a new axis, of input 1's [off, on] values.
template <>
struct OpDefinition<OneHot> {
  static constexpr std::size_t arity = 2;

  static Result<DType> output_dtype(const OneHot& /*kind*/, const InputTypes& types, std::string_view name) {
    if (types[0] == DType::Bool) {
      return rule_error(name, "one_hot takes I64 or F32 indices, not Bool");
    }
    return types[1];
  }

  static Result<Shape> output_shape(const OneHot& kind, const InputShapes& inputs, std::string_view name) {
    const Shape& indices = inputs[0];
    if (checked_element_count(inputs[1]) != 2) {
      return rule_error(name, fmt::format("the one_hot values have shape {}, not two elements",
                                          shape_text(inputs[1])));
    }
    if (kind.axis > indices.size() || kind.depth == 0) {
      return rule_error(name, fmt::format("one_hot axis {} and depth {} do not suit indices {}", kind.axis,
                                          kind.depth, shape_text(indices)));
    }
    Shape shape = indices;
    shape.insert(shape.begin() + static_cast<std::ptrdiff_t>(kind.axis), kind.depth);
    return countable(std::move(shape), name);
  }

  // Each index as an entry of the new axis; an error for one outside
  // [-depth, depth) or, for float indices, NaN or infinite.
  static Result<std::vector<std::uint64_t>> entries(const OneHot& kind, KernelInputs& inputs) {
    const auto depth = static_cast<std::int64_t>(std::min<std::uint64_t>(kind.depth, std::uint64_t{1} << 62));
    std::vector<std::int64_t> indices;
    if (inputs.dtype(0) == DType::F32) {
      for (const float value : inputs.operand(0)) {
        // Truncated towards zero; past 2^62 in magnitude it is out of range anyway.
        constexpr float limit = 0x1p62F;
        if (!(value > -limit && value < limit)) {
          return evaluate_error(inputs, fmt::format("index {} is out of range for depth {}", value, kind.depth));
        }
        indices.push_back(static_cast<std::int64_t>(value));
      }
    } else {
      const std::span<const std::int64_t> given = inputs.operand_as<std::int64_t>(0);
      indices.assign(given.begin(), given.end());
    }
    std::vector<std::uint64_t> result;
    result.reserve(indices.size());
    for (const std::int64_t index : indices) {
      if (index < -depth || index >= depth) {
        return evaluate_error(inputs, fmt::format("index {} is out of range for depth {}", index, kind.depth));
      }
      result.push_back(static_cast<std::uint64_t>(index < 0 ? index + depth : index));
    }
    return result;
  }

  static Result<TensorData> evaluate(const OneHot& kind, KernelInputs& inputs) {
    Result<std::vector<std::uint64_t>> picked = entries(kind, inputs);
    if (!picked) {
      return std::unexpected(picked.error());
    }
    const Shape& indices = inputs.shape(0);
    const std::uint64_t inner = extent(indices, kind.axis, indices.size());
    const std::uint64_t outer = extent(indices, 0, kind.axis);
    return with_element_type(inputs.dtype(1), [&]<class T>(std::type_identity<T>) -> Result<TensorData> {
      const T off = inputs.operand_as<T>(1)[0];
      const T on = inputs.operand_as<T>(1)[1];
      std::vector<T> output;
      output.reserve(outer * kind.depth * inner);
      for (std::uint64_t block = 0; block < outer; ++block) {
        for (std::uint64_t entry = 0; entry < kind.depth; ++entry) {
          for (std::uint64_t position = 0; position < inner; ++position) {
            output.push_back((*picked)[block * inner + position] == entry ? on : off);
          }
        }
      }
      return output;
    });
  }
};

}  // namespace orvo_compiler::detail
