// Helpers of the importer's model records: type names, attribute readers and
// the wording of errors after the model's own node names.
#include "onnx/model.hpp"

#include <array>
#include <limits>
#include <utility>

#include <fmt/format.h>

namespace orvo_compiler::onnx_import {
namespace {

constexpr std::array<std::string_view, 17> type_names = {
    "UNDEFINED", "FLOAT",  "UINT8",  "INT8",   "UINT16",    "INT16",      "INT32",       "INT64",   "STRING",
    "BOOL",      "FLOAT16", "DOUBLE", "UINT32", "UINT64", "COMPLEX64", "COMPLEX128", "BFLOAT16"};

template <class T>
const T* attribute_of(const Node& node, std::string_view name, bool& present) {
  const auto found = node.attributes.find(std::string(name));
  present = found != node.attributes.end();
  return present ? std::get_if<T>(&found->second) : nullptr;
}

CompileError attribute_error(const Node& node, std::string_view name, std::string_view kind) {
  return node_error(node, fmt::format("attribute {} must be {}", name, kind));
}

}  // namespace

std::string data_type_name(std::int32_t code) {
  if (code >= 0 && static_cast<std::size_t>(code) < type_names.size()) {
    return std::string(type_names[static_cast<std::size_t>(code)]);
  }
  return fmt::format("type {}", code);
}

bool is_integer_type(std::int32_t code) {
  switch (code) {
    case 2:  // UINT8
    case 3:  // INT8
    case 4:  // UINT16
    case 5:  // INT16
    case int32_type:
    case int64_type:
    case bool_type:
    case 12:  // UINT32
      return true;
    default:
      return false;
  }
}

std::optional<DType> graph_dtype(std::int32_t code) {
  if (code == float_type) {
    return DType::F32;
  }
  if (code == bool_type) {
    return DType::Bool;
  }
  if (is_integer_type(code)) {
    return DType::I64;
  }
  return std::nullopt;
}

std::string node_label(const Node& node) {
  if (!node.name.empty()) {
    return node.name;
  }
  for (const std::string& output : node.outputs) {
    if (!output.empty()) {
      return output;
    }
  }
  return "(unnamed)";
}

CompileError node_error(const Node& node, std::string_view what) {
  return CompileError::graph(fmt::format("onnx: {} node {}: {}", node.op_type, node_label(node), what));
}

CompileError model_error(std::string_view what) { return CompileError::graph(fmt::format("onnx: {}", what)); }

std::unexpected<CompileError> fail(const Node& node, std::string_view what) {
  return std::unexpected(node_error(node, what));
}

CompileError joined_errors(const std::vector<CompileError>& errors) {
  CompileError joined = errors.front();
  for (std::size_t index = 1; index < errors.size() && index < listed_refusals; ++index) {
    joined.message += "\n" + errors[index].message;
  }
  if (errors.size() > listed_refusals) {
    joined.message += fmt::format("\nonnx: and {} more refusals", errors.size() - listed_refusals);
  }
  return joined;
}

std::string_view input_name(const Node& node, std::size_t index) {
  return index < node.inputs.size() ? std::string_view(node.inputs[index]) : std::string_view();
}

Result<std::int64_t> int_attribute(const Node& node, std::string_view name, std::int64_t fallback) {
  bool present = false;
  const auto* value = attribute_of<std::int64_t>(node, name, present);
  if (!present) {
    return fallback;
  }
  if (value == nullptr) {
    return std::unexpected(attribute_error(node, name, "an integer"));
  }
  return *value;
}

Result<float> float_attribute(const Node& node, std::string_view name, float fallback) {
  bool present = false;
  const auto* value = attribute_of<float>(node, name, present);
  if (!present) {
    return fallback;
  }
  if (value == nullptr) {
    return std::unexpected(attribute_error(node, name, "a float"));
  }
  return *value;
}

Result<std::optional<std::vector<std::int64_t>>> ints_attribute(const Node& node, std::string_view name) {
  bool present = false;
  const auto* value = attribute_of<std::vector<std::int64_t>>(node, name, present);
  if (!present) {
    return std::optional<std::vector<std::int64_t>>{};
  }
  if (value == nullptr) {
    return std::unexpected(attribute_error(node, name, "a list of integers"));
  }
  return std::optional<std::vector<std::int64_t>>{*value};
}

std::optional<std::uint64_t> element_count(const std::vector<std::int64_t>& dims) {
  constexpr auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t count = 1;
  for (const std::int64_t dim : dims) {
    if (dim < 0) {
      return std::nullopt;
    }
    const auto size = static_cast<std::uint64_t>(dim);
    if (size != 0 && count > limit / size) {
      return std::nullopt;
    }
    count *= size;
  }
  return count;
}

Shape to_shape(const std::vector<std::int64_t>& dims) {
  Shape shape;
  shape.reserve(dims.size());
  for (const std::int64_t dim : dims) {
    shape.push_back(static_cast<std::uint64_t>(dim));
  }
  return shape;
}

std::vector<std::int64_t> to_dims(const Shape& shape) {
  std::vector<std::int64_t> dims;
  dims.reserve(shape.size());
  for (const std::uint64_t dim : shape) {
    dims.push_back(static_cast<std::int64_t>(dim));
  }
  return dims;
}

std::string dims_text(const std::vector<std::int64_t>& dims) { return fmt::format("[{}]", fmt::join(dims, ", ")); }

}  // namespace orvo_compiler::onnx_import
