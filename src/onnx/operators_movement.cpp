// The operators that move data without computing on it: reshapes (Reshape,
// Flatten, Squeeze, Unsqueeze), Expand, Transpose, Slice, Split, Concat,
// Gather, Tile, Pad, Trilu and OneHot. Folding goes through one strided copy;
// mapping through the graph's data movement kinds, which take any element type.
#include <algorithm>
#include <functional>
#include <initializer_list>
#include <numeric>
#include <optional>
#include <tuple>

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

// The element type code of a graph dtype.
std::int32_t data_type_of(DType dtype) {
  switch (dtype) {
    case DType::F32:
      return float_type;
    case DType::I64:
      return int64_type;
    case DType::Bool:
      return bool_type;
  }
  return float_type;
}

// Integer attributes read as the inputs that replace them at later opsets:
// `operands` with attribute names[i] as input first + i (absent when the
// attribute is), so that one rule serves both forms.
class AttributeInputs {
 public:
  AttributeInputs(const Node& node, std::span<const Operand> operands, std::size_t first,
                  std::initializer_list<std::string_view> names)
      : operands_(operands.begin(), operands.end()) {
    held_.reserve(names.size());
    std::size_t index = first;
    for (const std::string_view name : names) {
      if (operands_.size() <= index) {
        operands_.resize(index + 1);
      }
      Result<std::optional<std::vector<std::int64_t>>> values = ints_attribute(node, name);
      if (!values) {
        error_ = values.error();
      } else if (*values) {
        held_.push_back(integer_tensor({static_cast<std::int64_t>((*values)->size())}, std::move(**values)));
        operands_[index] = Operand{true, held_.back().dims, &held_.back()};
      }
      ++index;
    }
  }
  AttributeInputs(const AttributeInputs&) = delete;
  AttributeInputs& operator=(const AttributeInputs&) = delete;

  // The operands, or the error of an attribute of another kind.
  [[nodiscard]] Result<std::span<const Operand>> operands() const {
    if (error_) {
      return std::unexpected(*error_);
    }
    return std::span<const Operand>(operands_);
  }

 private:
  std::vector<Operand> operands_;
  std::vector<Constant> held_;
  std::optional<CompileError> error_;
};

// `rule` applied to the node with the integer attributes `names` standing in
// for its inputs `first`, `first` + 1, ...
template <class Value>
Result<Value> with_attributes(const Node& node, std::span<const Operand> operands, std::size_t first,
                              std::initializer_list<std::string_view> names,
                              Result<Value> (*rule)(const Node&, std::span<const Operand>)) {
  const AttributeInputs inputs(node, operands, first, names);
  Result<std::span<const Operand>> replaced = inputs.operands();
  if (!replaced) {
    return std::unexpected(replaced.error());
  }
  return rule(node, *replaced);
}

// One axis of a Slice: `count` entries from `start`, `step` apart.
struct StridedRange {
  std::size_t axis = 0;
  std::int64_t start = 0;
  std::int64_t step = 1;
  std::int64_t count = 0;
};

// Slice's ranges from its starts, ends, axes and steps inputs, clamped as
// ONNX clamps them: a negative start or end counts from the end; with a
// positive step both lie in [0, size], with a negative one in [-1, size - 1].
Result<std::vector<StridedRange>> strided_ranges(const Node& node, std::span<const Operand> operands) {
  const Dims& input = operand_at(operands, 0).dims;
  Result<std::vector<std::int64_t>> starts = integer_input(node, operands, 1, "starts");
  Result<std::vector<std::int64_t>> ends = integer_input(node, operands, 2, "ends");
  if (!starts || !ends) {
    return std::unexpected(!starts ? starts.error() : ends.error());
  }
  const std::size_t count = starts->size();
  std::vector<std::int64_t> axes(count);
  std::iota(axes.begin(), axes.end(), std::int64_t{0});
  std::vector<std::int64_t> steps(count, 1);
  for (const auto& [index, list, role] : {std::tuple{std::size_t{3}, &axes, "axes"}, {4, &steps, "steps"}}) {
    if (operand_at(operands, index).present) {
      Result<std::vector<std::int64_t>> given = integer_input(node, operands, index, role);
      if (!given) {
        return std::unexpected(given.error());
      }
      *list = std::move(*given);
    }
  }
  if (ends->size() != count || axes.size() != count || steps.size() != count) {
    return fail(node, "starts, ends, axes and steps differ in length");
  }
  std::vector<StridedRange> ranges;
  for (std::size_t index = 0; index < count; ++index) {
    Result<std::size_t> axis = normalize_axis(node, axes[index], input.size());
    if (!axis) {
      return std::unexpected(axis.error());
    }
    if (std::ranges::any_of(ranges, [&](const StridedRange& range) { return range.axis == *axis; })) {
      return fail(node, fmt::format("axis {} is listed twice", axes[index]));
    }
    const std::int64_t step = steps[index];
    if (step == 0) {
      return fail(node, "a step is 0");
    }
    const std::int64_t size = input[*axis];
    const auto clamp = [size, step](std::int64_t bound) {
      if (bound < 0) {
        bound = bound < -size ? -1 : bound + size;
      }
      return step > 0 ? std::clamp<std::int64_t>(bound, 0, size) : std::clamp<std::int64_t>(bound, -1, size - 1);
    };
    const std::int64_t start = clamp((*starts)[index]);
    const std::int64_t end = clamp((*ends)[index]);
    // Both bounds lie in [-1, size] and |step| >= 1, so nothing overflows.
    const std::int64_t distance = step > 0 ? end - start : start - end;
    const std::uint64_t stride = step > 0 ? static_cast<std::uint64_t>(step) : 0 - static_cast<std::uint64_t>(step);
    const std::uint64_t taken = distance <= 0 ? 0 : (static_cast<std::uint64_t>(distance) - 1) / stride + 1;
    ranges.push_back(StridedRange{*axis, start, step, static_cast<std::int64_t>(taken)});
  }
  return ranges;
}

// Flatten's two axes: those before `axis` and those from it.
Result<Dims> flatten_output(const Node& node, std::span<const Operand> operands) {
  const Dims& input = operand_at(operands, 0).dims;
  Result<std::int64_t> axis = int_attribute(node, "axis", 1);
  if (!axis) {
    return std::unexpected(axis.error());
  }
  const auto rank = static_cast<std::int64_t>(input.size());
  if (*axis < -rank || *axis > rank) {
    return fail(node, fmt::format("axis {} is out of range for rank {}", *axis, rank));
  }
  const auto split = input.begin() + (*axis < 0 ? *axis + rank : *axis);
  return Dims{std::accumulate(input.begin(), split, std::int64_t{1}, std::multiplies<>()),
              std::accumulate(split, input.end(), std::int64_t{1}, std::multiplies<>())};
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

Result<Dims> expand_output(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<std::int64_t>> shape = integer_input(node, operands, 1, "shape");
  if (!shape) {
    return std::unexpected(shape.error());
  }
  return broadcast_dims(node, operand_at(operands, 0).dims, *shape);
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

// The attribute forms of the rules whose parameters became inputs.
Result<Dims> unsqueeze_attribute_dims(const Node& node, std::span<const Operand> operands) {
  return with_attributes(node, operands, 1, {"axes"}, unsqueeze_dims);
}
Result<Dims> squeeze_attribute_dims(const Node& node, std::span<const Operand> operands) {
  return with_attributes(node, operands, 1, {"axes"}, squeeze_dims);
}
Result<std::vector<StridedRange>> attribute_ranges(const Node& node, std::span<const Operand> operands) {
  return with_attributes(node, operands, 1, {"starts", "ends", "axes"}, strided_ranges);
}
Result<SplitPieces> attribute_pieces(const Node& node, std::span<const Operand> operands) {
  return with_attributes(node, operands, 1, {"split"}, split_pieces);
}

using DimsRule = Result<Dims> (*)(const Node&, std::span<const Operand>);
using RangesRule = Result<std::vector<StridedRange>> (*)(const Node&, std::span<const Operand>);
using PiecesRule = Result<SplitPieces> (*)(const Node&, std::span<const Operand>);

// The known input 0 under the dims `rule` gives.
template <DimsRule rule>
Result<Outputs> fold_redimensioned(const Node& node, std::span<const Operand> operands) {
  Result<Dims> dims = rule(node, operands);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  return Outputs{with_dims(known_value(operands, 0), std::move(*dims))};
}

template <RangesRule rule>
Result<Outputs> fold_ranges(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<StridedRange>> ranges = rule(node, operands);
  if (!ranges) {
    return std::unexpected(ranges.error());
  }
  const Constant& data = known_value(operands, 0);
  const Dims strides = row_strides(data.dims);
  Dims dims = data.dims;
  Dims steps = strides;
  std::int64_t offset = 0;
  for (const StridedRange& range : *ranges) {
    dims[range.axis] = range.count;
    // A step matters only between two entries, which both lie inside the axis.
    steps[range.axis] = range.count > 1 ? range.step * strides[range.axis] : strides[range.axis];
    offset += range.count == 0 ? 0 : range.start * strides[range.axis];
  }
  return Outputs{strided_copy(data, offset, dims, steps)};
}

template <RangesRule rule>
Result<Dims> ranges_output(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<StridedRange>> ranges = rule(node, operands);
  if (!ranges) {
    return std::unexpected(ranges.error());
  }
  Dims dims = operand_at(operands, 0).dims;
  for (const StridedRange& range : *ranges) {
    dims[range.axis] = range.count;
  }
  return dims;
}

template <PiecesRule rule>
Result<Outputs> fold_pieces(const Node& node, std::span<const Operand> operands) {
  Result<SplitPieces> pieces = rule(node, operands);
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

// One dims per output of Split.
template <PiecesRule rule>
Result<std::vector<Dims>> pieces_outputs(const Node& node, std::span<const Operand> operands) {
  Result<SplitPieces> pieces = rule(node, operands);
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

// Steps of 1: one Slice operation per axis that loses elements (none at all
// aliases the input); other steps: one StridedSlice over every axis.
template <RangesRule rule>
Result<void> map_slice(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<std::vector<StridedRange>> ranges =
      x ? rule(context.node, operands_of(context.folded, context.node)) : std::unexpected(x.error());
  if (!ranges) {
    return std::unexpected(ranges.error());
  }
  const Shape shape = context.shape_of(*x);
  if (std::ranges::any_of(*ranges, [](const StridedRange& range) { return range.step != 1; })) {
    StridedSlice kind{Shape(shape.size(), 0), std::vector<std::int64_t>(shape.size(), 1), shape};
    for (const StridedRange& range : *ranges) {
      kind.starts[range.axis] = static_cast<std::uint64_t>(range.start);
      kind.steps[range.axis] = range.step;
      kind.shape[range.axis] = static_cast<std::uint64_t>(range.count);
    }
    return define(context, context.graph().apply(context.output, std::move(kind), {*x}));
  }
  std::erase_if(*ranges, [&shape](const StridedRange& range) {
    return range.start == 0 && static_cast<std::uint64_t>(range.count) == shape[range.axis];
  });
  Result<TensorId> result = *x;
  for (std::size_t index = 0; index < ranges->size() && result; ++index) {
    const StridedRange& range = (*ranges)[index];
    const std::string name =
        index + 1 == ranges->size() ? context.output : context.derived(fmt::format("axis{}", range.axis));
    const auto first = static_cast<std::uint64_t>(range.start);
    result = context.graph().slice(name, *result, range.axis, first, first + static_cast<std::uint64_t>(range.count));
  }
  return define(context, result);
}

// One Slice operation per output, named after it.
template <PiecesRule rule>
Result<void> map_split(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<SplitPieces> pieces =
      x ? rule(context.node, operands_of(context.folded, context.node)) : std::unexpected(x.error());
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

Result<Dims> concat_output(const Node& node, std::span<const Operand> operands) {
  const Dims& first = operand_at(operands, 0).dims;
  Result<std::size_t> axis = axis_attribute(node, 0, first.size());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  Dims dims = first;
  for (std::size_t index = 1; index < operands.size(); ++index) {
    Dims other = operands[index].dims;
    if (other.size() == dims.size()) {
      other[*axis] = dims[*axis];
    }
    if (other != dims) {
      return fail(node, fmt::format("input {} {} does not concatenate with {} on axis {}", node.inputs[index],
                                    dims_text(operands[index].dims), dims_text(first), *axis));
    }
    dims[*axis] += operands[index].dims[*axis];
  }
  return dims;
}

Result<void> map_concat(const MapContext& context) {
  const std::size_t rank = context.output_shape().size();
  Result<std::size_t> axis = axis_attribute(context.node, 0, rank);
  if (!axis) {
    return std::unexpected(axis.error());
  }
  std::vector<TensorId> pieces;
  for (std::size_t index = 0; index < context.node.inputs.size(); ++index) {
    Result<TensorId> piece = input(context, index);
    if (!piece) {
      return std::unexpected(piece.error());
    }
    pieces.push_back(*piece);
  }
  return define(context, context.graph().apply(context.output, Concat{*axis}, std::move(pieces)));
}

Result<Dims> gather_output(const Node& node, std::span<const Operand> operands) {
  const Dims& data = operand_at(operands, 0).dims;
  Result<std::size_t> axis = axis_attribute(node, 0, data.size());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  const auto split = data.begin() + static_cast<std::ptrdiff_t>(*axis);
  const Dims& index_dims = operand_at(operands, 1).dims;
  Dims dims(data.begin(), split);
  dims.insert(dims.end(), index_dims.begin(), index_dims.end());
  dims.insert(dims.end(), split + 1, data.end());
  return dims;
}

// The graph holds rank-0 indices as shape [1]: a Reshape then drops that axis.
Result<void> map_gather(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<TensorId> indices = x ? input(context, 1) : x;
  Result<std::size_t> axis =
      indices ? axis_attribute(context.node, 0, context.shape_of(*x).size()) : std::unexpected(indices.error());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  const bool exact = to_shape(operands_of(context.folded, context.node)[1].dims) == context.shape_of(*indices);
  Result<TensorId> gathered =
      context.graph().apply(exact ? context.output : context.derived("gather"), Gather{*axis}, {*x, *indices});
  if (!gathered || exact) {
    return define(context, gathered);
  }
  return define(context, context.graph().reshape(context.output, *gathered, context.output_shape()));
}

Result<Shape> tile_repeats(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<std::int64_t>> repeats = integer_input(node, operands, 1, "repeats");
  if (!repeats) {
    return std::unexpected(repeats.error());
  }
  const Dims& input = operand_at(operands, 0).dims;
  if (repeats->size() != input.size() || std::ranges::any_of(*repeats, [](std::int64_t r) { return r < 0; })) {
    return fail(node, fmt::format("repeats {} do not suit input {}", dims_text(*repeats), dims_text(input)));
  }
  return to_shape(*repeats);
}

Result<Dims> tile_output(const Node& node, std::span<const Operand> operands) {
  Result<Shape> repeats = tile_repeats(node, operands);
  if (!repeats) {
    return std::unexpected(repeats.error());
  }
  Dims dims = operand_at(operands, 0).dims;
  for (std::size_t axis = 0; axis < dims.size(); ++axis) {
    const auto times = static_cast<std::int64_t>((*repeats)[axis]);
    if (times != 0 && dims[axis] > std::numeric_limits<std::int64_t>::max() / times) {
      return fail(node, fmt::format("repeating {} by {} is too large", dims_text(operand_at(operands, 0).dims),
                                    dims_text(to_dims(*repeats))));
    }
    dims[axis] *= times;
  }
  return dims;
}

Result<void> map_tile(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<Shape> repeats =
      x ? tile_repeats(context.node, operands_of(context.folded, context.node)) : std::unexpected(x.error());
  if (!repeats) {
    return std::unexpected(repeats.error());
  }
  return define(context, context.graph().apply(context.output, Tile{std::move(*repeats)}, {*x}));
}

// Pad's amounts (all starts, then all ends) and mode.
struct PadForm {
  std::vector<std::int64_t> pads;
  std::string mode = "constant";
};

Result<PadForm> pad_form(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<std::int64_t>> pads = integer_input(node, operands, 1, "pads");
  if (!pads) {
    return std::unexpected(pads.error());
  }
  PadForm form{std::move(*pads), "constant"};
  if (const auto found = node.attributes.find("mode"); found != node.attributes.end()) {
    const auto* mode = std::get_if<std::string>(&found->second);
    if (mode == nullptr || (*mode != "constant" && *mode != "reflect" && *mode != "edge")) {
      return fail(node, "mode must be constant, reflect or edge");
    }
    form.mode = *mode;
  }
  const Dims& input = operand_at(operands, 0).dims;
  const std::size_t rank = input.size();
  if (form.pads.size() != 2 * rank) {
    return fail(node, fmt::format("pads {} do not suit input {}", dims_text(form.pads), dims_text(input)));
  }
  return form;
}

Result<PadForm> attribute_pad_form(const Node& node, std::span<const Operand> operands) {
  return with_attributes(node, operands, 1, {"pads"}, pad_form);
}

template <Result<PadForm> (*rule)(const Node&, std::span<const Operand>)>
Result<Dims> pad_output(const Node& node, std::span<const Operand> operands) {
  Result<PadForm> form = rule(node, operands);
  if (!form) {
    return std::unexpected(form.error());
  }
  Dims dims = operand_at(operands, 0).dims;
  const std::size_t rank = dims.size();
  constexpr std::int64_t largest = std::int64_t{1} << 61;
  for (std::size_t axis = 0; axis < rank; ++axis) {
    const std::int64_t before = form->pads[axis];
    const std::int64_t after = form->pads[rank + axis];
    if (std::max({before, after, -before, -after}) > largest) {
      return fail(node, fmt::format("pads {} are too large", dims_text(form->pads)));
    }
    dims[axis] += before + after;
  }
  return dims;
}

// The pad value as a weight of the data's element type (an integer one
// truncated, which must fit).
Result<TensorId> pad_value(const MapContext& context, DType dtype, float value) {
  Constant constant{data_type_of(dtype), {}, {}, {}};
  constexpr float limit = 9223372036854775808.0F;
  if (dtype == DType::F32) {
    constant.floats.push_back(value);
  } else if (dtype == DType::Bool) {
    constant.integers.push_back(value != 0.0F ? 1 : 0);
  } else if (value >= -limit && value < limit) {
    constant.integers.push_back(static_cast<std::int64_t>(value));
  } else {
    return fail(context.node, fmt::format("value {} does not fit the data's element type {}", value, dtype));
  }
  return derived_weight(context, "pad_value", context.derived("pad_value"), std::move(constant));
}

// Before opset 11 the value is a float attribute; from 11 an optional input.
template <Result<PadForm> (*rule)(const Node&, std::span<const Operand>), bool value_input>
Result<void> map_pad(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<PadForm> form = x ? rule(context.node, operands_of(context.folded, context.node)) : std::unexpected(x.error());
  if (!form) {
    return std::unexpected(form.error());
  }
  Result<TensorId> value = std::unexpected(CompileError::graph(""));
  if (value_input && !input_name(context.node, 2).empty()) {
    value = input(context, 2);
  } else {
    Result<float> given = float_attribute(context.node, "value", 0.0F);
    if (!given) {
      return std::unexpected(given.error());
    }
    value = pad_value(context, context.graph().tensors[x->index].dtype, *given);
  }
  if (!value) {
    return std::unexpected(value.error());
  }
  return define(context, context.graph().apply(context.output, Pad{std::move(form->pads), std::move(form->mode)},
                                               {*x, *value}));
}

Result<Dims> trilu_output(const Node& node, std::span<const Operand> operands) {
  const Dims& input = operand_at(operands, 0).dims;
  if (input.size() < 2) {
    return fail(node, fmt::format("input {} is not a matrix or a stack of them", dims_text(input)));
  }
  if (operand_at(operands, 1).present) {
    Result<std::vector<std::int64_t>> k = integer_input(node, operands, 1, "k");
    if (!k || k->size() != 1) {
      return k ? fail(node, "k must hold one value") : std::unexpected(k.error());
    }
  }
  return input;
}

Result<void> map_trilu(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<std::int64_t> upper = x ? int_attribute(context.node, "upper", 1) : std::unexpected(x.error());
  if (!upper) {
    return std::unexpected(upper.error());
  }
  const Constant* k = input_name(context.node, 1).empty() ? nullptr : context.constant(1);
  const std::int64_t diagonal = k == nullptr ? 0 : k->integers.front();
  return define(context, context.graph().apply(context.output, Trilu{*upper != 0, diagonal}, {*x}));
}

// OneHot's depth (a known number of any type) and the new axis' position.
struct OneHotForm {
  std::uint64_t depth = 0;
  std::size_t axis = 0;
};

Result<OneHotForm> one_hot_form(const Node& node, std::span<const Operand> operands) {
  const Operand& depth = operand_at(operands, 1);
  if (depth.constant == nullptr || depth.constant->count() != 1) {
    return fail(node, "depth must be one number known when importing");
  }
  const double value = depth.constant->is_float() ? static_cast<double>(depth.constant->floats[0])
                                                  : static_cast<double>(depth.constant->integers[0]);
  if (!(value >= 1 && value <= static_cast<double>(std::uint64_t{1} << 40))) {
    return fail(node, fmt::format("depth {} is not a positive count", value));
  }
  if (operand_at(operands, 2).dims != Dims{2}) {
    return fail(node, fmt::format("values {} are not [off, on]", dims_text(operand_at(operands, 2).dims)));
  }
  Result<std::size_t> axis = axis_attribute(node, -1, operand_at(operands, 0).dims.size() + 1);
  if (!axis) {
    return std::unexpected(axis.error());
  }
  return OneHotForm{static_cast<std::uint64_t>(value), *axis};
}

Result<Dims> one_hot_output(const Node& node, std::span<const Operand> operands) {
  Result<OneHotForm> form = one_hot_form(node, operands);
  if (!form) {
    return std::unexpected(form.error());
  }
  Dims dims = operand_at(operands, 0).dims;
  dims.insert(dims.begin() + static_cast<std::ptrdiff_t>(form->axis), static_cast<std::int64_t>(form->depth));
  return dims;
}

Result<void> map_one_hot(const MapContext& context) {
  Result<TensorId> indices = input(context, 0);
  Result<TensorId> values = indices ? input(context, 2) : indices;
  Result<OneHotForm> form =
      values ? one_hot_form(context.node, operands_of(context.folded, context.node)) : std::unexpected(values.error());
  if (!form) {
    return std::unexpected(form.error());
  }
  return define(context,
                context.graph().apply(context.output, OneHot{form->depth, form->axis}, {*indices, *values}));
}

// Reshape: 0 copies the input's axis (allowzero 0, an attribute from opset 14), one -1 takes the rest.
constexpr OperatorForm reshape_forms[] = {
    {.opsets = {7, 17},
     .arity = {2, 2, 1},
     .fold = fold_reshape,
     .shape = single_output<reshape_output>,
     .map = map_reshape},
};
constexpr OperatorForm flatten_forms[] = {
    {.opsets = {7, 17},
     .arity = {1, 1, 1},
     .fold = fold_redimensioned<flatten_output>,
     .shape = single_output<flatten_output>,
     .map = map_reshape},
};
// Unsqueeze and Squeeze take their axes as an attribute before opset 13, as an input from 13.
constexpr OperatorForm unsqueeze_forms[] = {
    {.opsets = {7, 12},
     .arity = {1, 1, 1},
     .fold = fold_redimensioned<unsqueeze_attribute_dims>,
     .shape = single_output<unsqueeze_attribute_dims>,
     .map = map_reshape},
    {.opsets = {13, 17},
     .arity = {2, 2, 1},
     .fold = fold_unsqueeze,
     .shape = single_output<unsqueeze_dims>,
     .map = map_reshape},
};
constexpr OperatorForm squeeze_forms[] = {
    {.opsets = {7, 12},
     .arity = {1, 1, 1},
     .fold = fold_redimensioned<squeeze_attribute_dims>,
     .shape = single_output<squeeze_attribute_dims>,
     .map = map_reshape},
    {.opsets = {13, 17},
     .arity = {1, 2, 1},
     .fold = fold_squeeze,
     .shape = single_output<squeeze_dims>,
     .map = map_reshape},
};
constexpr OperatorForm expand_forms[] = {
    {.opsets = {8, 17},
     .arity = {2, 2, 1},
     .fold = fold_expand,
     .shape = single_output<expand_output>,
     .map = map_expand},
};
constexpr OperatorForm transpose_forms[] = {
    {.opsets = {7, 17},
     .arity = {1, 1, 1},
     .fold = fold_transpose,
     .shape = single_output<transpose_output>,
     .map = map_transpose},
};
// Slice: starts, ends and axes as attributes before opset 10; from 10 as
// inputs, with steps (any but 0).
constexpr OperatorForm slice_forms[] = {
    {.opsets = {7, 9},
     .arity = {1, 1, 1},
     .fold = fold_ranges<attribute_ranges>,
     .shape = single_output<ranges_output<attribute_ranges>>,
     .map = map_slice<attribute_ranges>},
    {.opsets = {10, 17},
     .arity = {3, 5, 1},
     .fold = fold_ranges<strided_ranges>,
     .shape = single_output<ranges_output<strided_ranges>>,
     .map = map_slice<strided_ranges>},
};
// Split: the sizes as an attribute before opset 13, as an optional input from 13.
constexpr OperatorForm split_forms[] = {
    {.opsets = {7, 12},
     .arity = {1, 1, many},
     .fold = fold_pieces<attribute_pieces>,
     .shape = pieces_outputs<attribute_pieces>,
     .map = map_split<attribute_pieces>},
    {.opsets = {13, 17},
     .arity = {1, 2, many},
     .fold = fold_pieces<split_pieces>,
     .shape = pieces_outputs<split_pieces>,
     .map = map_split<split_pieces>},
};
constexpr OperatorForm concat_forms[] = {
    {.opsets = {7, 17},
     .arity = {many, many, 1},
     .fold = fold_concat,
     .shape = single_output<concat_output>,
     .map = map_concat},
};
constexpr OperatorForm gather_forms[] = {
    {.opsets = {7, 17},
     .arity = {2, 2, 1},
     .fold = fold_gather,
     .shape = single_output<gather_output>,
     .map = map_gather,
     .dtype = outputs_of_input_type<0>},
};
// Tile: the repeats must be known when importing.
constexpr OperatorForm tile_forms[] = {
    {.opsets = {7, 17}, .arity = {2, 2, 1}, .shape = single_output<tile_output>, .map = map_tile},
};
// Pad: pads and a float value as attributes before opset 11; from 11 the
// pads (known when importing) and an optional value as inputs.
constexpr OperatorForm pad_forms[] = {
    {.opsets = {7, 10},
     .arity = {1, 1, 1},
     .shape = single_output<pad_output<attribute_pad_form>>,
     .map = map_pad<attribute_pad_form, false>},
    {.opsets = {11, 17},
     .arity = {2, 3, 1},
     .shape = single_output<pad_output<pad_form>>,
     .map = map_pad<pad_form, true>},
};
constexpr OperatorForm trilu_forms[] = {
    {.opsets = {14, 17}, .arity = {1, 2, 1}, .shape = single_output<trilu_output>, .map = map_trilu},
};
// OneHot: the depth must be known when importing.
constexpr OperatorForm one_hot_forms[] = {
    {.opsets = {9, 17},
     .arity = {3, 3, 1},
     .shape = single_output<one_hot_output>,
     .map = map_one_hot,
     .dtype = outputs_of_input_type<2>},
};

constexpr Registration movement_registrations[] = {
    {"Reshape", reshape_forms}, {"Flatten", flatten_forms},     {"Unsqueeze", unsqueeze_forms},
    {"Squeeze", squeeze_forms}, {"Expand", expand_forms},       {"Transpose", transpose_forms},
    {"Slice", slice_forms},     {"Split", split_forms},         {"Concat", concat_forms},
    {"Gather", gather_forms},   {"Tile", tile_forms},           {"Pad", pad_forms},
    {"Trilu", trilu_forms},     {"OneHot", one_hot_forms},
};

}  // namespace

std::span<const Registration> movement_operators() { return movement_registrations; }

}  // namespace orvo_compiler::onnx_import
