// Import-time evaluation of operators on known tensors. Data movement goes
// through one strided copy; arithmetic broadcasts its operands first. Every
// evaluator checks its inputs and words its errors after the node.
#include "onnx/constant_ops.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>

#include <fmt/format.h>

namespace orvo_compiler::onnx_import {
namespace {

// Folding may create at most this many elements beyond what its inputs hold.
constexpr std::uint64_t largest_new_constant = std::uint64_t{1} << 24;

using Outputs = std::vector<Constant>;

std::unexpected<CompileError> fail(const Node& node, std::string_view what) {
  return std::unexpected(node_error(node, what));
}

Result<Outputs> one(Result<Constant> constant) {
  if (!constant) {
    return std::unexpected(constant.error());
  }
  return Outputs{std::move(*constant)};
}

const Constant& value_at(std::span<const Operand> operands, std::size_t index) {
  return *operand_at(operands, index).constant;
}

// Refuses a result of `dims` that would be both large and larger than the
// inputs it comes from.
Result<void> check_growth(const Node& node, const Dims& dims, std::span<const Operand> operands) {
  const std::optional<std::uint64_t> count = element_count(dims);
  std::uint64_t inputs = 0;
  for (const Operand& operand : operands) {
    if (operand.constant != nullptr) {
      inputs += operand.constant->count();
    }
  }
  if (!count || (*count > largest_new_constant && *count > inputs)) {
    return fail(node, fmt::format("folding it would create a tensor of shape {}, larger than {} elements",
                                  dims_text(dims), largest_new_constant));
  }
  return {};
}

// Every value a readable tensor of a type the evaluators handle.
Result<void> check_readable(const Node& node, std::span<const Operand> operands) {
  for (std::size_t index = 0; index < operands.size(); ++index) {
    const Operand& operand = operands[index];
    if (operand.constant != nullptr && !operand.constant->is_float() && !operand.constant->is_integer()) {
      return fail(node, fmt::format("input {} has element type {}, which the importer does not read",
                                    node.inputs[index], data_type_name(operand.constant->data_type)));
    }
  }
  return {};
}

Constant with_dims(const Constant& source, Dims dims) {
  Constant result = source;
  result.dims = std::move(dims);
  return result;
}

// Strides that read `source` broadcast to `target` (numpy's alignment).
Dims broadcast_strides(const Dims& source, const Dims& target) {
  const Dims strides = row_strides(source);
  Dims result(target.size(), 0);
  const std::size_t offset = target.size() - source.size();
  for (std::size_t axis = 0; axis < source.size(); ++axis) {
    result[offset + axis] = source[axis] == 1 ? 0 : strides[axis];
  }
  return result;
}

Constant broadcast_to(const Constant& source, const Dims& target) {
  return strided_copy(source, 0, target, broadcast_strides(source.dims, target));
}

Constant integer_tensor(Dims dims, std::vector<std::int64_t> values, std::int32_t data_type = int64_type) {
  return Constant{data_type, std::move(dims), {}, std::move(values)};
}

Result<Outputs> fold_shape(const Node& node, std::span<const Operand> operands) {
  const Dims& dims = operand_at(operands, 0).dims;
  const auto rank = static_cast<std::int64_t>(dims.size());
  Result<std::int64_t> start = int_attribute(node, "start", 0);
  Result<std::int64_t> end = int_attribute(node, "end", rank);
  if (!start || !end) {
    return std::unexpected(!start ? start.error() : end.error());
  }
  const auto clamp = [rank](std::int64_t index) { return std::clamp(index < 0 ? index + rank : index, std::int64_t{0}, rank); };
  const std::int64_t first = clamp(*start);
  const std::int64_t last = std::max(first, clamp(*end));
  std::vector<std::int64_t> values(dims.begin() + first, dims.begin() + last);
  return Outputs{integer_tensor({last - first}, std::move(values))};
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
  const Constant& data = value_at(operands, 0);
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
  const Constant& data = value_at(operands, 0);
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
  const Constant& data = value_at(operands, 0);
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
  const Constant& first = value_at(operands, 0);
  Result<std::size_t> axis = axis_attribute(node, 0, first.dims.size());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  Dims dims = first.dims;
  dims[*axis] = 0;
  for (std::size_t index = 0; index < operands.size(); ++index) {
    const Constant& piece = value_at(operands, index);
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
  return Outputs{with_dims(value_at(operands, 0), std::move(*dims))};
}

Result<Outputs> fold_unsqueeze(const Node& node, std::span<const Operand> operands) {
  Result<Dims> dims = unsqueeze_dims(node, operands);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  return Outputs{with_dims(value_at(operands, 0), std::move(*dims))};
}

Result<Outputs> fold_squeeze(const Node& node, std::span<const Operand> operands) {
  Result<Dims> dims = squeeze_dims(node, operands);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  return Outputs{with_dims(value_at(operands, 0), std::move(*dims))};
}

Result<Outputs> fold_transpose(const Node& node, std::span<const Operand> operands) {
  const Constant& data = value_at(operands, 0);
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
  const Constant& data = value_at(operands, 0);
  Result<Dims> dims = broadcast_dims(node, data.dims, *shape);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  if (Result<void> size = check_growth(node, *dims, operands); !size) {
    return std::unexpected(size.error());
  }
  return Outputs{broadcast_to(data, *dims)};
}

// Float-to-integer conversion truncates; values outside the target's range
// (and NaN) are refused rather than left undefined.
Result<std::int64_t> float_to_integer(const Node& node, float value) {
  constexpr auto limit = static_cast<float>(std::numeric_limits<std::int64_t>::max());
  if (!(value > -limit && value < limit)) {
    return fail(node, fmt::format("cannot cast {} to an integer", value));
  }
  return static_cast<std::int64_t>(value);
}

std::int64_t narrow_integer(std::int64_t value, std::int32_t data_type) {
  switch (data_type) {
    case bool_type:
      return value != 0 ? 1 : 0;
    case int32_type:
      return static_cast<std::int32_t>(value);
    default:
      return value;
  }
}

Result<Outputs> fold_cast(const Node& node, std::span<const Operand> operands) {
  const Constant& data = value_at(operands, 0);
  Result<std::int64_t> to = int_attribute(node, "to", 0);
  if (!to) {
    return std::unexpected(to.error());
  }
  const auto target = static_cast<std::int32_t>(*to);
  if (target != float_type && target != int64_type && target != int32_type && target != bool_type) {
    return fail(node, fmt::format("cast to {} is not supported", data_type_name(target)));
  }
  Constant result{target, data.dims, {}, {}};
  if (target == float_type) {
    result.floats = data.floats;
    for (const std::int64_t value : data.integers) {
      result.floats.push_back(static_cast<float>(value));
    }
    return Outputs{std::move(result)};
  }
  for (const float value : data.floats) {
    Result<std::int64_t> converted = float_to_integer(node, value);
    if (!converted) {
      return std::unexpected(converted.error());
    }
    result.integers.push_back(narrow_integer(*converted, target));
  }
  for (const std::int64_t value : data.integers) {
    result.integers.push_back(narrow_integer(value, target));
  }
  return Outputs{std::move(result)};
}

std::int64_t wrapping(std::uint64_t value) { return static_cast<std::int64_t>(value); }

Result<std::int64_t> integer_arithmetic(const Node& node, std::int64_t a, std::int64_t b) {
  const auto ua = static_cast<std::uint64_t>(a);
  const auto ub = static_cast<std::uint64_t>(b);
  if (node.op_type == "Add") {
    return wrapping(ua + ub);
  }
  if (node.op_type == "Sub") {
    return wrapping(ua - ub);
  }
  if (node.op_type == "Mul") {
    return wrapping(ua * ub);
  }
  if (b == 0) {
    return fail(node, fmt::format("divides {} by zero", a));
  }
  if (b == -1) {
    return wrapping(0 - ua);
  }
  return a / b;
}

float float_arithmetic(std::string_view op_type, float a, float b) {
  if (op_type == "Add") {
    return a + b;
  }
  if (op_type == "Sub") {
    return a - b;
  }
  if (op_type == "Mul") {
    return a * b;
  }
  return a / b;
}

// Both operands broadcast to their common dims, of one element type.
Result<std::pair<Constant, Constant>> aligned_pair(const Node& node, std::span<const Operand> operands) {
  const Constant& left = value_at(operands, 0);
  const Constant& right = value_at(operands, 1);
  if (left.is_float() != right.is_float()) {
    return fail(node, fmt::format("operands have element types {} and {}", data_type_name(left.data_type),
                                  data_type_name(right.data_type)));
  }
  Result<Dims> dims = broadcast_dims(node, left.dims, right.dims);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  if (Result<void> size = check_growth(node, *dims, operands); !size) {
    return std::unexpected(size.error());
  }
  return std::pair{broadcast_to(left, *dims), broadcast_to(right, *dims)};
}

Result<Outputs> fold_arithmetic(const Node& node, std::span<const Operand> operands) {
  Result<std::pair<Constant, Constant>> pair = aligned_pair(node, operands);
  if (!pair) {
    return std::unexpected(pair.error());
  }
  auto& [result, right] = *pair;
  for (std::size_t index = 0; index < result.floats.size(); ++index) {
    result.floats[index] = float_arithmetic(node.op_type, result.floats[index], right.floats[index]);
  }
  for (std::size_t index = 0; index < result.integers.size(); ++index) {
    Result<std::int64_t> value = integer_arithmetic(node, result.integers[index], right.integers[index]);
    if (!value) {
      return std::unexpected(value.error());
    }
    result.integers[index] = *value;
  }
  return Outputs{std::move(result)};
}

Result<Outputs> fold_equal(const Node& node, std::span<const Operand> operands) {
  Result<std::pair<Constant, Constant>> pair = aligned_pair(node, operands);
  if (!pair) {
    return std::unexpected(pair.error());
  }
  const auto& [left, right] = *pair;
  Constant result{bool_type, left.dims, {}, {}};
  for (std::size_t index = 0; index < left.floats.size(); ++index) {
    result.integers.push_back(left.floats[index] == right.floats[index] ? 1 : 0);
  }
  for (std::size_t index = 0; index < left.integers.size(); ++index) {
    result.integers.push_back(left.integers[index] == right.integers[index] ? 1 : 0);
  }
  return Outputs{std::move(result)};
}

Result<Outputs> fold_where(const Node& node, std::span<const Operand> operands) {
  const Constant& condition = value_at(operands, 0);
  if (!condition.is_integer()) {
    return fail(node, "the condition must be boolean");
  }
  Result<std::pair<Constant, Constant>> pair = aligned_pair(node, operands.subspan(1));
  if (!pair) {
    return std::unexpected(pair.error());
  }
  Result<Dims> dims = broadcast_dims(node, condition.dims, pair->first.dims);
  if (!dims) {
    return std::unexpected(dims.error());
  }
  if (Result<void> size = check_growth(node, *dims, operands); !size) {
    return std::unexpected(size.error());
  }
  const Constant choose = broadcast_to(condition, *dims);
  Constant result = broadcast_to(pair->first, *dims);
  const Constant otherwise = broadcast_to(pair->second, *dims);
  for (std::size_t index = 0; index < choose.integers.size(); ++index) {
    if (choose.integers[index] == 0) {
      if (result.is_float()) {
        result.floats[index] = otherwise.floats[index];
      } else {
        result.integers[index] = otherwise.integers[index];
      }
    }
  }
  return Outputs{std::move(result)};
}

Result<Outputs> fold_range(const Node& node, std::span<const Operand> operands) {
  const Constant& start = value_at(operands, 0);
  const Constant& limit = value_at(operands, 1);
  const Constant& delta = value_at(operands, 2);
  if (start.count() != 1 || limit.count() != 1 || delta.count() != 1 || start.is_float() != limit.is_float() ||
      start.is_float() != delta.is_float()) {
    return fail(node, "start, limit and delta must be scalars of one element type");
  }
  const auto as_double = [](const Constant& c) {
    return c.is_float() ? static_cast<double>(c.floats[0]) : static_cast<double>(c.integers[0]);
  };
  const double step = as_double(delta);
  const double steps = std::ceil((as_double(limit) - as_double(start)) / step);
  if (step == 0 || !(steps < static_cast<double>(largest_new_constant))) {
    return fail(node, "the range is empty-stepped or too long to fold");
  }
  const auto count = static_cast<std::int64_t>(std::max(steps, 0.0));
  Constant result{start.data_type, {count}, {}, {}};
  for (std::int64_t index = 0; index < count; ++index) {
    if (start.is_float()) {
      result.floats.push_back(start.floats[0] + static_cast<float>(index) * delta.floats[0]);
    } else {
      result.integers.push_back(
          wrapping(static_cast<std::uint64_t>(start.integers[0]) +
                   static_cast<std::uint64_t>(index) * static_cast<std::uint64_t>(delta.integers[0])));
    }
  }
  return Outputs{std::move(result)};
}

Result<Outputs> fold_constant_of_shape(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<std::int64_t>> shape = integer_input(node, operands, 0, "shape");
  if (!shape) {
    return std::unexpected(shape.error());
  }
  Constant fill{float_type, {1}, {0.0F}, {}};
  if (const auto found = node.attributes.find("value"); found != node.attributes.end()) {
    const auto* value = std::get_if<Constant>(&found->second);
    if (value == nullptr || value->count() != 1) {
      return fail(node, "attribute value must be a tensor of one element");
    }
    fill = *value;
  }
  if (Result<void> size = check_growth(node, *shape, operands); !size) {
    return std::unexpected(size.error());
  }
  fill.dims = {1};
  return Outputs{broadcast_to(fill, *shape)};
}

Result<Outputs> fold_constant(const Node& node, std::span<const Operand>) { return one(constant_node_value(node)); }

using Evaluator = Result<Outputs> (*)(const Node&, std::span<const Operand>);

struct Folder {
  std::string_view op_type;
  Evaluator evaluate;
  bool fold_only;
};

constexpr Folder folders[] = {
    {"Constant", fold_constant, true},
    {"Shape", fold_shape, true},
    {"Gather", fold_gather, true},
    {"Concat", fold_concat, true},
    {"Range", fold_range, true},
    {"ConstantOfShape", fold_constant_of_shape, true},
    {"Equal", fold_equal, true},
    {"Where", fold_where, true},
    {"Cast", fold_cast, false},
    {"Slice", fold_slice, false},
    {"Split", fold_split, false},
    {"Reshape", fold_reshape, false},
    {"Unsqueeze", fold_unsqueeze, false},
    {"Squeeze", fold_squeeze, false},
    {"Transpose", fold_transpose, false},
    {"Expand", fold_expand, false},
    {"Add", fold_arithmetic, false},
    {"Sub", fold_arithmetic, false},
    {"Mul", fold_arithmetic, false},
    {"Div", fold_arithmetic, false},
};

const Folder* find_folder(std::string_view op_type) {
  const auto* found = std::ranges::find(folders, op_type, &Folder::op_type);
  return found == std::end(folders) ? nullptr : found;
}

}  // namespace

bool is_foldable(std::string_view op_type) { return find_folder(op_type) != nullptr; }

bool is_fold_only(std::string_view op_type) {
  const Folder* folder = find_folder(op_type);
  return folder != nullptr && folder->fold_only;
}

Result<std::vector<Constant>> evaluate_constant(const Node& node, std::span<const Operand> operands) {
  const Folder* folder = find_folder(node.op_type);
  if (folder == nullptr) {
    return fail(node, "is not an operator the importer folds");
  }
  if (Result<void> readable = check_readable(node, operands); !readable) {
    return std::unexpected(readable.error());
  }
  return folder->evaluate(node, operands);
}

Result<Constant> constant_node_value(const Node& node) {
  if (node.attributes.size() != 1) {
    return fail(node, "needs exactly one value attribute");
  }
  const auto& [name, attribute] = *node.attributes.begin();
  if (const auto* tensor = std::get_if<Constant>(&attribute); tensor != nullptr && name == "value") {
    return *tensor;
  }
  if (const auto* value = std::get_if<float>(&attribute); value != nullptr && name == "value_float") {
    return Constant{float_type, {}, {*value}, {}};
  }
  if (const auto* values = std::get_if<std::vector<float>>(&attribute); values != nullptr && name == "value_floats") {
    return Constant{float_type, {static_cast<std::int64_t>(values->size())}, *values, {}};
  }
  if (const auto* value = std::get_if<std::int64_t>(&attribute); value != nullptr && name == "value_int") {
    return integer_tensor({}, {*value});
  }
  if (const auto* values = std::get_if<std::vector<std::int64_t>>(&attribute);
      values != nullptr && name == "value_ints") {
    return integer_tensor({static_cast<std::int64_t>(values->size())}, *values);
  }
  return fail(node, fmt::format("attribute {} is not a value the importer reads", name));
}

Dims row_strides(const Dims& dims) {
  Dims strides(dims.size(), 1);
  for (std::size_t axis = dims.size(); axis > 1; --axis) {
    strides[axis - 2] = strides[axis - 1] * dims[axis - 1];
  }
  return strides;
}

Constant strided_copy(const Constant& constant, std::int64_t offset, const Dims& dims, const Dims& strides) {
  Constant result{constant.data_type, dims, {}, {}};
  const std::uint64_t count = element_count(dims).value_or(0);
  const auto copy = [&](const auto& source, auto& target) {
    if (source.empty()) {
      return;
    }
    target.reserve(count);
    Dims coordinate(dims.size(), 0);
    std::int64_t index = offset;
    for (std::uint64_t element = 0; element < count; ++element) {
      target.push_back(source[static_cast<std::size_t>(index)]);
      for (std::size_t axis = dims.size(); axis > 0; --axis) {
        const std::size_t a = axis - 1;
        index += strides[a];
        if (++coordinate[a] < dims[a]) {
          break;
        }
        index -= strides[a] * dims[a];
        coordinate[a] = 0;
      }
    }
  };
  copy(constant.floats, result.floats);
  copy(constant.integers, result.integers);
  return result;
}

}  // namespace orvo_compiler::onnx_import
