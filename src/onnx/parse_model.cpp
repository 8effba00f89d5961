// Parsing: protobuf bytes to the importer's model records. The only pass that
// touches protobuf and ONNX's own library; everything after it reads `Model`.
//
// The ONNX checker reports a fault by throwing, so `run_checker` holds the one
// try/catch of the importer, turning the exception into a Graph error before
// it can leave this file.
#include "onnx/parse_model.hpp"

#include <bit>
#include <cstring>
#include <exception>
#include <limits>
#include <set>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <onnx/checker.h>
#include <onnx/onnx_pb.h>

#include "onnx/map_operators.hpp"

namespace orvo_compiler::onnx_import {
namespace {

constexpr std::int64_t lowest_opset = 13;
constexpr std::int64_t highest_opset = 17;

// ONNX stores raw_data little-endian; the reads below copy bytes as they are.
static_assert(std::endian::native == std::endian::little, "reading raw_data on a big-endian host needs byte swaps");

// Reads `count` values of type Wire from `raw` into `values`: one copy.
template <class Wire, class Stored>
void read_raw(const std::string& raw, std::vector<Stored>& values, std::size_t count) {
  values.resize(count);
  if constexpr (std::is_same_v<Wire, Stored>) {
    std::memcpy(values.data(), raw.data(), count * sizeof(Wire));
  } else {
    for (std::size_t index = 0; index < count; ++index) {
      Wire wire{};
      std::memcpy(&wire, raw.data() + index * sizeof(Wire), sizeof(Wire));
      values[index] = static_cast<Stored>(wire);
    }
  }
}

template <class Field, class Stored>
void read_field(const Field& field, std::vector<Stored>& values) {
  values.reserve(static_cast<std::size_t>(field.size()));
  for (const auto value : field) {
    values.push_back(static_cast<Stored>(value));
  }
}

// The width in bytes of one raw value of an integer type.
std::size_t integer_width(std::int32_t data_type) {
  switch (data_type) {
    case 2:  // UINT8
    case 3:  // INT8
    case bool_type:
      return 1;
    case 4:  // UINT16
    case 5:  // INT16
      return 2;
    case int32_type:
    case 12:  // UINT32
      return 4;
    default:
      return 8;
  }
}

void read_raw_integers(const std::string& raw, std::int32_t data_type, std::vector<std::int64_t>& values,
                       std::size_t count) {
  switch (data_type) {
    case 2:  // UINT8
    case bool_type:
      return read_raw<std::uint8_t>(raw, values, count);
    case 3:  // INT8
      return read_raw<std::int8_t>(raw, values, count);
    case 4:  // UINT16
      return read_raw<std::uint16_t>(raw, values, count);
    case 5:  // INT16
      return read_raw<std::int16_t>(raw, values, count);
    case int32_type:
      return read_raw<std::int32_t>(raw, values, count);
    case 12:  // UINT32
      return read_raw<std::uint32_t>(raw, values, count);
    default:
      return read_raw<std::int64_t>(raw, values, count);
  }
}

// The values of `tensor`; `what` names it in errors ("initializer w").
Result<Constant> read_tensor(const onnx::TensorProto& tensor, std::string_view what) {
  if (tensor.data_location() == onnx::TensorProto_DataLocation_EXTERNAL) {
    return std::unexpected(
        model_error(fmt::format("{} keeps its data in an external file, which the importer does not read", what)));
  }
  if (tensor.has_segment()) {
    return std::unexpected(model_error(fmt::format("{} is split into segments, which the importer does not read", what)));
  }
  Constant constant{tensor.data_type(), {tensor.dims().begin(), tensor.dims().end()}, {}, {}};
  const std::optional<std::uint64_t> elements = element_count(constant.dims);
  if (!elements) {
    return std::unexpected(model_error(fmt::format("{} has invalid dims {}", what, dims_text(constant.dims))));
  }
  if (!constant.is_float() && !constant.is_integer()) {
    return constant;
  }
  const auto count = static_cast<std::size_t>(*elements);
  const std::size_t width = constant.is_float() ? sizeof(float) : integer_width(constant.data_type);
  std::size_t held = 0;
  if (tensor.has_raw_data()) {
    held = tensor.raw_data().size() / width;
    if (tensor.raw_data().size() % width == 0 && held == count) {
      if (constant.is_float()) {
        read_raw<float>(tensor.raw_data(), constant.floats, count);
      } else {
        read_raw_integers(tensor.raw_data(), constant.data_type, constant.integers, count);
      }
      return constant;
    }
  } else if (constant.is_float()) {
    read_field(tensor.float_data(), constant.floats);
    held = constant.floats.size();
  } else if (constant.data_type == int64_type) {
    read_field(tensor.int64_data(), constant.integers);
    held = constant.integers.size();
  } else if (constant.data_type == 12) {  // UINT32
    read_field(tensor.uint64_data(), constant.integers);
    held = constant.integers.size();
  } else {
    read_field(tensor.int32_data(), constant.integers);
    held = constant.integers.size();
  }
  if (held != count || (tensor.has_raw_data() && tensor.raw_data().size() % width != 0)) {
    return std::unexpected(model_error(fmt::format("{} holds {} bytes of data where its dims {} need {}", what,
                                                   tensor.has_raw_data() ? tensor.raw_data().size() : held * width,
                                                   dims_text(constant.dims), count * width)));
  }
  return constant;
}

Result<Attribute> read_attribute(const onnx::AttributeProto& attribute, const Node& node) {
  switch (attribute.type()) {
    case onnx::AttributeProto_AttributeType_FLOAT:
      return Attribute{attribute.f()};
    case onnx::AttributeProto_AttributeType_INT:
      return Attribute{static_cast<std::int64_t>(attribute.i())};
    case onnx::AttributeProto_AttributeType_STRING:
      return Attribute{attribute.s()};
    case onnx::AttributeProto_AttributeType_FLOATS:
      return Attribute{std::vector<float>(attribute.floats().begin(), attribute.floats().end())};
    case onnx::AttributeProto_AttributeType_INTS:
      return Attribute{std::vector<std::int64_t>(attribute.ints().begin(), attribute.ints().end())};
    case onnx::AttributeProto_AttributeType_TENSOR: {
      Result<Constant> value =
          read_tensor(attribute.t(), fmt::format("attribute {} of node {}", attribute.name(), node_label(node)));
      if (!value) {
        return std::unexpected(value.error());
      }
      return Attribute{std::move(*value)};
    }
    default:
      return Attribute{};
  }
}

Result<Node> read_node(const onnx::NodeProto& proto) {
  Node node{proto.name(),
            proto.op_type(),
            proto.domain() == "ai.onnx" ? std::string() : proto.domain(),
            {proto.input().begin(), proto.input().end()},
            {proto.output().begin(), proto.output().end()},
            {}};
  for (const onnx::AttributeProto& attribute : proto.attribute()) {
    Result<Attribute> value = read_attribute(attribute, node);
    if (!value) {
      return std::unexpected(value.error());
    }
    node.attributes.insert_or_assign(attribute.name(), std::move(*value));
  }
  return node;
}

ValueInfo read_value_info(const onnx::ValueInfoProto& proto) {
  ValueInfo info{proto.name(), 0, std::nullopt};
  if (!proto.type().has_tensor_type()) {
    return info;
  }
  const onnx::TypeProto_Tensor& tensor = proto.type().tensor_type();
  info.data_type = tensor.elem_type();
  if (!tensor.has_shape()) {
    return info;
  }
  std::vector<Dimension>& dims = info.shape.emplace();
  for (const onnx::TensorShapeProto_Dimension& dim : tensor.shape().dim()) {
    if (dim.has_dim_value()) {
      dims.push_back(Dimension{dim.dim_value(), {}});
    } else {
      dims.push_back(Dimension{std::nullopt, dim.has_dim_param() ? dim.dim_param() : std::string()});
    }
  }
  return info;
}

Result<std::int64_t> default_opset(const onnx::ModelProto& proto) {
  for (const onnx::OperatorSetIdProto& opset : proto.opset_import()) {
    if (opset.domain().empty() || opset.domain() == "ai.onnx") {
      if (opset.version() < lowest_opset || opset.version() > highest_opset) {
        return std::unexpected(model_error(fmt::format("opset {} of the default domain is not supported ({} to {} are)",
                                                       opset.version(), lowest_opset, highest_opset)));
      }
      return opset.version();
    }
  }
  return std::unexpected(model_error("the model imports no opset of the default domain"));
}

Result<void> read_graph(const onnx::GraphProto& graph, Model& model) {
  for (const onnx::TensorProto& tensor : graph.initializer()) {
    Result<Constant> value = read_tensor(tensor, fmt::format("initializer {}", tensor.name()));
    if (!value) {
      return std::unexpected(value.error());
    }
    if (!model.initializers.emplace(tensor.name(), std::move(*value)).second) {
      return std::unexpected(model_error(fmt::format("tensor name {} is defined twice", tensor.name())));
    }
  }
  for (const onnx::ValueInfoProto& input : graph.input()) {
    // Older models list initializers among the inputs too; those are constants.
    if (!model.initializers.contains(input.name())) {
      model.inputs.push_back(read_value_info(input));
    }
  }
  for (const onnx::ValueInfoProto& output : graph.output()) {
    model.outputs.push_back(read_value_info(output));
  }
  model.nodes.reserve(static_cast<std::size_t>(graph.node_size()));
  for (const onnx::NodeProto& proto : graph.node()) {
    Result<Node> node = read_node(proto);
    if (!node) {
      return std::unexpected(node.error());
    }
    model.nodes.push_back(std::move(*node));
  }
  return {};
}

// Every name defined once (inputs, initializers, node outputs), every node
// input defined before its node, every graph output defined somewhere.
Result<void> check_names(const Model& model) {
  std::set<std::string> defined;
  for (const auto& [name, constant] : model.initializers) {
    defined.insert(name);
  }
  const auto define = [&defined](const std::string& name) -> Result<void> {
    if (!defined.insert(name).second) {
      return std::unexpected(model_error(fmt::format("tensor name {} is defined twice", name)));
    }
    return {};
  };
  for (const ValueInfo& input : model.inputs) {
    if (Result<void> added = define(input.name); !added) {
      return added;
    }
  }
  for (const Node& node : model.nodes) {
    for (const std::string& input : node.inputs) {
      if (!input.empty() && !defined.contains(input)) {
        return std::unexpected(node_error(
            node, fmt::format("input {} is not a graph input, an initializer or an output of an earlier node", input)));
      }
    }
    for (const std::string& output : node.outputs) {
      if (!output.empty()) {
        if (Result<void> added = define(output); !added) {
          return added;
        }
      }
    }
  }
  if (model.outputs.empty()) {
    return std::unexpected(model_error("the graph has no outputs"));
  }
  for (const ValueInfo& output : model.outputs) {
    if (!defined.contains(output.name)) {
      return std::unexpected(model_error(fmt::format("graph output {} is computed by no node", output.name)));
    }
  }
  return {};
}

Result<void> run_checker(const onnx::ModelProto& proto) {
  try {
    onnx::checker::check_model(proto);
  } catch (const std::exception& error) {
    return std::unexpected(model_error(fmt::format("the ONNX checker rejects the model: {}", error.what())));
  }
  return {};
}

}  // namespace

Result<Model> parse_model(std::span<const std::uint8_t> bytes) {
  onnx::ModelProto proto;
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return std::unexpected(model_error(fmt::format("cannot parse model: {} bytes is past protobuf's 2 GiB limit",
                                                   bytes.size())));
  }
  if (!proto.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    return std::unexpected(
        model_error(fmt::format("cannot parse model: {} bytes that are not an ONNX ModelProto", bytes.size())));
  }
  Result<std::int64_t> opset = default_opset(proto);
  if (!opset) {
    return std::unexpected(opset.error());
  }
  Model model{*opset, {}, {}, {}, {}, {}};
  if (!proto.producer_name().empty()) {
    model.producer = proto.producer_version().empty()
                         ? proto.producer_name()
                         : fmt::format("{} {}", proto.producer_name(), proto.producer_version());
  }
  if (Result<void> read = read_graph(proto.graph(), model); !read) {
    return std::unexpected(read.error());
  }
  if (Result<void> names = check_names(model); !names) {
    return std::unexpected(names.error());
  }
  if (Result<void> operators = check_operators(model.nodes); !operators) {
    return std::unexpected(operators.error());
  }
  if (Result<void> checked = run_checker(proto); !checked) {
    return std::unexpected(checked.error());
  }
  return model;
}

}  // namespace orvo_compiler::onnx_import
