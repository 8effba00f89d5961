// Import-time evaluation of operators on known tensors: the entry that runs
// an operator's folding rule from the registry, and the helpers the rules
// share. Data movement goes through one strided copy; arithmetic broadcasts
// its operands first.
#include "onnx/constant_ops.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "onnx/operator_registry.hpp"

namespace orvo_compiler::onnx_import {
namespace {

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

}  // namespace

const Constant& known_value(std::span<const Operand> operands, std::size_t index) {
  return *operand_at(operands, index).constant;
}

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

Constant broadcast_constant(const Constant& source, const Dims& target) {
  return strided_copy(source, 0, target, broadcast_strides(source.dims, target));
}

Constant integer_tensor(Dims dims, std::vector<std::int64_t> values, std::int32_t data_type) {
  return Constant{data_type, std::move(dims), {}, std::move(values)};
}

Result<std::vector<Constant>> evaluate_constant(const Node& node, std::span<const Operand> operands,
                                                std::int64_t opset) {
  const OperatorForm* form = find_operator(node, opset);
  if (form == nullptr || form->fold == nullptr) {
    return fail(node, "is not an operator the importer folds");
  }
  if (Result<void> readable = check_readable(node, operands); !readable) {
    return std::unexpected(readable.error());
  }
  return form->fold(node, operands);
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
