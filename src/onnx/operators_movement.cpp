// The operators that move data without computing on it: reshapes, Expand,
// Transpose, Slice, Split, and Concat and Gather (which only ever fold).
// Folding goes through one strided copy; mapping through Reshape, Broadcast,
// Transpose and Slice operations.
#include <algorithm>
#include <functional>
#include <numeric>

#include <fmt/format.h>

#include "onnx/constant_ops.hpp"
#include "onnx/map_operators.hpp"
#include "onnx/operator_registry.hpp"
#include "onnx/shape_rules.hpp"

namespace orvo_compiler::onnx_import {
namespace {

using Outputs = std::vector<Constant>;

Constant with_dims(const Constant& source, Dims dims) {
  Constant result = source;
  result.dims = std::move(dims);
  return result;
}

// Appends `length` values of `source` from `begin` to `target`.
void append_range(Constant& target, const Constant& source, std::int64_t begin, std::int64_t length) {
  const auto copy = [begin, length](const auto& from, auto& to) {
    if (!from.empty()) {
      to.insert(to.end(), from.begin() + begin, from.begin() + begin + length);
    }
  };
  copy(source.floats, target.floats);
  copy(source.integers, target.integers);
}

std::int64_t product(Dims::const_iterator begin, Dims::const_iterator end) {
  return std::accumulate(begin, end, std::int64_t{1}, std::multiplies<>());
}

Result<Outputs> fold_gather(const Node& node, std::span<const Operand> operands) {
  const Constant& data = known_value(operands, 0);
  Result<std::vector<std::int64_t>> indices = integer_input(node, operands, 1, "indices");
  Result<std::size_t> axis = axis_attribute(node, 0, data.dims.size());
  if (!indices || !axis) {
    return std::unexpected(!indices ? indices.error() : axis.error());
  }
  const auto split = data.dims.begin() + static_cast<std::ptrdiff_t>(*axis);
  const Dims& index_dims = operand_at(operands, 1).dims;
  Dims dims(data.dims.begin(), split);
  dims.insert(dims.end(), index_dims.begin(), index_dims.end());
  dims.insert(dims.end(), split + 1, data.dims.end());
  if (Result<void> size = check_growth(node, dims, operands); !size) {
    return std::unexpected(size.error());
  }
  // Row-major: for each index of the axes before `axis`, one contiguous
  // stretch of `inner` values per gathered index.
  const std::int64_t size = *split;
  const std::int64_t inner = product(split + 1, data.dims.end());
  const std::int64_t outer = product(data.dims.begin(), split);
  Constant result{data.data_type, dims, {}, {}};
  for (std::int64_t block = 0; block < outer; ++block) {
    for (const std::int64_t index : *indices) {
      if (index < -size || index >= size) {
        return fail(node, fmt::format("index {} is out of range for axis {} of size {}", index, *axis, size));
      }
      const std::int64_t position = index < 0 ? index + size : index;
      append_range(result, data, (block * size + position) * inner, inner);
    }
  }
  return Outputs{std::move(result)};
}

Result<Outputs> fold_slice(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<AxisRange>> ranges = slice_ranges(node, operands);
  if (!ranges) {
    return std::unexpected(ranges.error());
  }
  const Constant& data = known_value(operands, 0);
  const Dims strides = row_strides(data.dims);
  Dims dims = data.dims;
  std::int64_t offset = 0;
  for (const AxisRange& range : *ranges) {
    dims[range.axis] = range.end - range.start;
    offset += range.start * strides[range.axis];
  }
  return Outputs{strided_copy(data, offset, dims, strides)};
}

Result<Outputs> fold_split(const Node& node, std::span<const Operand> operands) {
  Result<SplitPieces> pieces = split_pieces(node, operands);
  if (!pieces) {
    return std::unexpected(pieces.error());
  }
  const Constant& data = known_value(operands, 0);
  const Dims strides = row_strides(data.dims);
  Outputs outputs;
  std::int64_t start = 0;
  for (const std::int64_t size : pieces->sizes) {
    Dims dims = data.dims;
    dims[pieces->axis] = size;
    outputs.push_back(strided_copy(data, start * strides[pieces->axis], dims, strides));
    start += size;
  }
  return outputs;
}

Result<Outputs> fold_concat(const Node& node, std::span<const Operand> operands) {
  const Constant& first = known_value(operands, 0);
  Result<std::size_t> axis = axis_attribute(node, 0, first.dims.size());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  Dims dims = first.dims;
  dims[*axis] = 0;
  for (std::size_t index = 0; index < operands.size(); ++index) {
    const Constant& piece = known_value(operands, index);
    Dims other = piece.dims;
    if (other.size() == dims.size()) {
      other[*axis] = 0;
    }
    if (other != dims || piece.data_type != first.data_type) {
      return fail(node, fmt::format("input {} ({} {}) does not concatenate with {} {} on axis {}", node.inputs[index],
                                    data_type_name(piece.data_type), dims_text(piece.dims),
                                    data_type_name(first.data_type), dims_text(first.dims), *axis));
    }
  }
  for (const Operand& operand : operands) {
    dims[*axis] += operand.constant->dims[*axis];
  }
  // Row-major: for each index of the axes before `axis`, each input's
  // stretch of its axis and the axes after, in input order.
  const auto split = dims.begin() + static_cast<std::ptrdiff_t>(*axis);
  const std::int64_t inner = product(split + 1, dims.end());
  const std::int64_t outer = product(dims.begin(), split);
  Constant result{first.data_type, dims, {}, {}};
  for (std::int64_t block = 0; block < outer; ++block) {
    for (const Operand& operand : operands) {
      const std::int64_t length = operand.constant->dims[*axis] * inner;
      append_range(result, *operand.constant, block * length, length);
    }
  }
  return Outputs{std::move(result)};
}

Result<Outputs> fold_reshape(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<std::int64_t>> target = integer_input(node, operands, 1, "shape");
  Result<std::int64_t> allow_zero = int_attribute(node, "allowzero", 0);
  if (!target || !allow_zero) {
    return std::unexpected(!target ? target.error() : allow_zero.error());
  }
  Result<Dims> dims = reshape_dims(node, operand_at(operands, 0).dims, *target, *allow_zero != 0);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  return Outputs{with_dims(known_value(operands, 0), std::move(*dims))};
}

Result<Outputs> fold_unsqueeze(const Node& node, std::span<const Operand> operands) {
  Result<Dims> dims = unsqueeze_dims(node, operands);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  return Outputs{with_dims(known_value(operands, 0), std::move(*dims))};
}

Result<Outputs> fold_squeeze(const Node& node, std::span<const Operand> operands) {
  Result<Dims> dims = squeeze_dims(node, operands);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  return Outputs{with_dims(known_value(operands, 0), std::move(*dims))};
}

Result<Outputs> fold_transpose(const Node& node, std::span<const Operand> operands) {
  const Constant& data = known_value(operands, 0);
  Result<std::vector<std::uint64_t>> permutation = transpose_permutation(node, data.dims.size());
  if (!permutation) {
    return std::unexpected(permutation.error());
  }
  return Outputs{strided_copy(data, 0, permute(data.dims, *permutation), permute(row_strides(data.dims), *permutation))};
}

Result<Outputs> fold_expand(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<std::int64_t>> shape = integer_input(node, operands, 1, "shape");
  if (!shape) {
    return std::unexpected(shape.error());
  }
  const Constant& data = known_value(operands, 0);
  Result<Dims> dims = broadcast_dims(node, data.dims, *shape);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  if (Result<void> size = check_growth(node, *dims, operands); !size) {
    return std::unexpected(size.error());
  }
  return Outputs{broadcast_constant(data, *dims)};
}

Result<Dims> reshape_output(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<std::int64_t>> target = integer_input(node, operands, 1, "shape");
  if (!target) {
    return std::unexpected(target.error());
  }
  Result<std::int64_t> allow_zero = int_attribute(node, "allowzero", 0);
  if (!allow_zero) {
    return std::unexpected(allow_zero.error());
  }
  return reshape_dims(node, operand_at(operands, 0).dims, *target, *allow_zero != 0);
}

Result<Dims> transpose_output(const Node& node, std::span<const Operand> operands) {
  const Dims& input = operand_at(operands, 0).dims;
  Result<std::vector<std::uint64_t>> permutation = transpose_permutation(node, input.size());
  if (!permutation) {
    return std::unexpected(permutation.error());
  }
  return permute(input, *permutation);
}

Result<Dims> slice_output(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<AxisRange>> ranges = slice_ranges(node, operands);
  if (!ranges) {
    return std::unexpected(ranges.error());
  }
  Dims dims = operand_at(operands, 0).dims;
  for (const AxisRange& range : *ranges) {
    dims[range.axis] = range.end - range.start;
  }
  return dims;
}

Result<Dims> expand_output(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<std::int64_t>> shape = integer_input(node, operands, 1, "shape");
  if (!shape) {
    return std::unexpected(shape.error());
  }
  return broadcast_dims(node, operand_at(operands, 0).dims, *shape);
}

// One dims per output of Split.
Result<std::vector<Dims>> split_outputs(const Node& node, std::span<const Operand> operands) {
  Result<SplitPieces> pieces = split_pieces(node, operands);
  if (!pieces) {
    return std::unexpected(pieces.error());
  }
  std::vector<Dims> outputs;
  for (const std::int64_t size : pieces->sizes) {
    Dims dims = operand_at(operands, 0).dims;
    dims[pieces->axis] = size;
    outputs.push_back(std::move(dims));
  }
  return outputs;
}

Result<void> map_reshape(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  return define(context, context.graph().reshape(context.output, *x, context.output_shape()));
}

Result<void> map_expand(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  return define(context, context.graph().broadcast(context.output, *x, context.output_shape()));
}

Result<void> map_transpose(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<std::vector<std::uint64_t>> permutation =
      x ? transpose_permutation(context.node, context.shape_of(*x).size()) : std::unexpected(x.error());
  if (!permutation) {
    return std::unexpected(permutation.error());
  }
  return define(context, context.graph().transpose(context.output, *x, std::move(*permutation)));
}

// One Slice operation per axis that loses elements; none at all aliases the input.
Result<void> map_slice(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<std::vector<AxisRange>> ranges =
      x ? slice_ranges(context.node, operands_of(context.folded, context.node)) : std::unexpected(x.error());
  if (!ranges) {
    return std::unexpected(ranges.error());
  }
  const Shape shape = context.shape_of(*x);
  std::erase_if(*ranges, [&shape](const AxisRange& range) {
    return range.start == 0 && static_cast<std::uint64_t>(range.end) == shape[range.axis];
  });
  Result<TensorId> result = *x;
  for (std::size_t index = 0; index < ranges->size() && result; ++index) {
    const AxisRange& range = (*ranges)[index];
    const std::string name =
        index + 1 == ranges->size() ? context.output : context.derived(fmt::format("axis{}", range.axis));
    result = context.graph().slice(name, *result, range.axis, static_cast<std::uint64_t>(range.start),
                                   static_cast<std::uint64_t>(range.end));
  }
  return define(context, result);
}

// One Slice operation per output, named after it.
Result<void> map_split(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<SplitPieces> pieces =
      x ? split_pieces(context.node, operands_of(context.folded, context.node)) : std::unexpected(x.error());
  if (!pieces) {
    return std::unexpected(pieces.error());
  }
  std::uint64_t start = 0;
  for (std::size_t index = 0; index < pieces->sizes.size(); ++index) {
    const auto end = start + static_cast<std::uint64_t>(pieces->sizes[index]);
    const std::string& name = context.node.outputs[index];
    if (!name.empty()) {
      Result<TensorId> piece = end - start == context.shape_of(*x)[pieces->axis]
                                   ? Result<TensorId>(*x)
                                   : context.graph().slice(name, *x, pieces->axis, start, end);
      if (!piece) {
        return std::unexpected(piece.error());
      }
      context.mapping.tensors.insert_or_assign(name, *piece);
    }
    start = end;
  }
  return {};
}

// Reshape: 0 copies the input's axis (allowzero 0), one -1 takes the rest.
constexpr OperatorForm reshape_forms[] = {
    {.opsets = {13, 17},
     .arity = {2, 2, 1},
     .fold = fold_reshape,
     .shape = single_output<reshape_output>,
     .map = map_reshape},
};
// Unsqueeze and Squeeze take their axes as an input from opset 13.
constexpr OperatorForm unsqueeze_forms[] = {
    {.opsets = {13, 17},
     .arity = {2, 2, 1},
     .fold = fold_unsqueeze,
     .shape = single_output<unsqueeze_dims>,
     .map = map_reshape},
};
constexpr OperatorForm squeeze_forms[] = {
    {.opsets = {13, 17},
     .arity = {1, 2, 1},
     .fold = fold_squeeze,
     .shape = single_output<squeeze_dims>,
     .map = map_reshape},
};
constexpr OperatorForm expand_forms[] = {
    {.opsets = {13, 17},
     .arity = {2, 2, 1},
     .fold = fold_expand,
     .shape = single_output<expand_output>,
     .map = map_expand},
};
constexpr OperatorForm transpose_forms[] = {
    {.opsets = {13, 17},
     .arity = {1, 1, 1},
     .fold = fold_transpose,
     .shape = single_output<transpose_output>,
     .map = map_transpose},
};
// Slice: starts, ends, axes and steps as inputs; steps of 1 only.
constexpr OperatorForm slice_forms[] = {
    {.opsets = {13, 17}, .arity = {3, 5, 1}, .fold = fold_slice, .shape = single_output<slice_output>, .map = map_slice},
};
// Split: the sizes as an optional input from opset 13.
constexpr OperatorForm split_forms[] = {
    {.opsets = {13, 17}, .arity = {1, 2, many}, .fold = fold_split, .shape = split_outputs, .map = map_split},
};
// Concat and Gather only ever fold (shape arithmetic).
constexpr OperatorForm concat_forms[] = {
    {.opsets = {13, 17}, .arity = {many, many, 1}, .fold = fold_concat},
};
constexpr OperatorForm gather_forms[] = {
    {.opsets = {13, 17}, .arity = {2, 2, 1}, .fold = fold_gather},
};

constexpr Registration registrations[] = {
    {"Reshape", reshape_forms}, {"Unsqueeze", unsqueeze_forms}, {"Squeeze", squeeze_forms},
    {"Expand", expand_forms},   {"Transpose", transpose_forms}, {"Slice", slice_forms},
    {"Split", split_forms},     {"Concat", concat_forms},       {"Gather", gather_forms},
};

}  // namespace

std::span<const Registration> movement_operators() { return registrations; }

}  // namespace orvo_compiler::onnx_import
